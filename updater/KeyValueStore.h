// An attribute file: key=value lines kept in memory as a sorted map, with
// typed getters and setters and time stamps of creation and last change.
//
// Reading: lines shorter than three characters (newline counted) and lines
// whose first character is "#" are skipped; white space is trimmed around
// the key and the value; the key ends at the first "=", the value may hold
// more; a line without "=" or with an empty key is skipped; a later line
// wins over an earlier one with the same key; a line may hold at most 2047
// characters, and reading stops at a longer one. Writing: "key=value\n" in
// ascending byte order of the keys, nothing else.
#ifndef UPDATER_KEYVALUESTORE_H
#define UPDATER_KEYVALUESTORE_H

#include "aError.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";
    // Line buffer of the reader: a line holds at most LINE_BUFFER - 1
    // characters with its newline.
    static constexpr size_t LINE_BUFFER = 2048;

    // An empty store; with a path, loaded from that file.
    KeyValueStore() = default;
    explicit KeyValueStore(const std::string& path);

    // The value, or nothing when the key is absent. Adds nothing.
    std::optional<std::string> operator[](const std::string& key) const;

    // The typed getters answer `def` for an empty value. Like a map's
    // subscript, they add an absent key with an empty value (without marking
    // the store changed); it is written as "KEY=" by the next save.
    int32_t GetInt(const std::string& key, int32_t def = 0);
    uint32_t GetHex(const std::string& key, uint32_t def = 0);
    bool GetBOOL(const std::string& key, bool def = false);
    double GetDouble(const std::string& key, double def = 0.0);
    // The value when present (even empty), else `def`, else "". Adds nothing.
    std::string GetString(const std::string& key, const char* def = nullptr) const;

    // Setters mark the store changed only when the text differs.
    bool Add(const std::string& key, int value);         // "%d"
    bool Add(const std::string& key, double value);      // "%f"
    bool AddHex(const std::string& key, uint32_t value); // "0x%08X"
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    // Copies every entry of another store, replacing equal keys.
    bool Add(const KeyValueStore& other);
    bool Clear();

    // Reads a file into the entries (keeping entries it does not name). A
    // missing file is created at once holding the entries, CREATED_TIME and
    // UPDATED_TIME; the answer is then aErrParam, else aErrNone.
    aErr Load(const std::string& path);
    // Writes all entries to `path`, or to the store's path, or to
    // DEFAULT_FILENAME; stamps UPDATED_TIME first when something changed.
    // The file is replaced as a whole or, on failure, left as it was.
    void Save(const std::string& path = std::string());

    const std::string& GetPath() const { return path; }
    bool IsDirty() const { return dirty; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // The local time as the 24-character calendar text, for example
    // "Wed Dec  9 18:19:03 2026".
    static std::string TimeText();

private:
    bool set(const std::string& key, const std::string& text);
    // The value for the typed getters, adding the key when absent.
    const std::string& lookup(const std::string& key);
    void parseLine(const char* line, size_t length);
    void save(const std::string& target, const std::string& now);

    std::string path;
    std::map<std::string, std::string> entries;
    bool dirty = false;
};

#endif
