#include "KeyValueStore.h"

#include "FileReplacement.h"
#include "Log.h"
#include "aFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool sIsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Decimal reading as the C library does it, kept within 32 bits.
int32_t sDecimal(const std::string& text) {
    long value = strtol(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

} // namespace

KeyValueStore::KeyValueStore(const std::string& filePath) {
    if (!filePath.empty()) {
        Load(filePath);
    }
}

std::string KeyValueStore::TimeText() {
    time_t now = time(nullptr);
    char text[64] = {};
    if (ctime_r(&now, text) == nullptr) {
        return std::string();
    }
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        text[--length] = '\0';
    }
    return std::string(text, length);
}

std::optional<std::string> KeyValueStore::operator[](const std::string& key) const {
    auto it = entries.find(key);
    if (it == entries.end()) {
        return std::nullopt;
    }
    return it->second;
}

const std::string& KeyValueStore::lookup(const std::string& key) {
    return entries[key];
}

int32_t KeyValueStore::GetInt(const std::string& key, int32_t def) {
    const std::string& value = lookup(key);
    return value.empty() ? def : sDecimal(value);
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t def) {
    const std::string& value = lookup(key);
    return value.empty() ? def : static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool def) {
    const std::string& value = lookup(key);
    return value.empty() ? def : sDecimal(value) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double def) {
    const std::string& value = lookup(key);
    return value.empty() ? def : strtod(value.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* def) const {
    auto it = entries.find(key);
    if (it != entries.end()) {
        return it->second;
    }
    return def != nullptr ? std::string(def) : std::string();
}

bool KeyValueStore::set(const std::string& key, const std::string& text) {
    auto it = entries.find(key);
    if (it == entries.end()) {
        entries.emplace(key, text);
        dirty = true;
    } else if (it->second != text) {
        it->second = text;
        dirty = true;
    }
    return true;
}

bool KeyValueStore::Add(const std::string& key, int value) {
    return set(key, std::to_string(value));
}

bool KeyValueStore::Add(const std::string& key, double value) {
    char text[512];
    snprintf(text, sizeof text, "%f", value);
    return set(key, text);
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return set(key, text);
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return set(key, value != nullptr ? std::string(value) : std::string());
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    return set(key, value);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& [key, value] : other.entries) {
        entries[key] = value;
        dirty = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    dirty = true;
    return true;
}

void KeyValueStore::parseLine(const char* line, size_t length) {
    if (length < 3 || line[0] == '#') {
        return;
    }
    const char* end = line + length;
    const char* key = line;
    while (key < end && sIsSpace(*key)) {
        ++key;
    }
    const char* equals = static_cast<const char*>(memchr(key, '=', static_cast<size_t>(end - key)));
    if (equals == nullptr) {
        return;
    }
    const char* keyEnd = equals;
    while (keyEnd > key && sIsSpace(keyEnd[-1])) {
        --keyEnd;
    }
    if (keyEnd == key) {
        return;
    }
    const char* value = equals + 1;
    while (value < end && sIsSpace(*value)) {
        ++value;
    }
    const char* valueEnd = end;
    while (valueEnd > value && sIsSpace(valueEnd[-1])) {
        --valueEnd;
    }
    entries[std::string(key, keyEnd)] = std::string(value, valueEnd);
}

aErr KeyValueStore::Load(const std::string& filePath) {
    errno = 0;
    aFileRef file = aFile_Open(filePath.c_str(), aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 filePath.c_str(), errno);
        // Both stamps carry the same moment.
        std::string now = TimeText();
        Add(KEY_CREATED_TIME, now);
        path = filePath;
        save(path, now);
    }
    path = filePath;
    dirty = false;

    if (file != nullptr) {
        char line[LINE_BUFFER];
        size_t length = 0;
        // Stops at the end, at a read error and at a line too long for the
        // buffer; what was read before stays.
        while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
            parseLine(line, length);
        }
    }
    return aFile_Close(&file);
}

void KeyValueStore::Save(const std::string& filePath) {
    if (!filePath.empty()) {
        path = filePath;
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
    }
    save(path, TimeText());
}

void KeyValueStore::save(const std::string& target, const std::string& now) {
    if (dirty) {
        entries[KEY_UPDATED_TIME] = now;
    }
    FileReplacement replacement(target);
    aFileRef file = replacement.Open();
    int error = replacement.Error();
    for (auto it = entries.begin(); file != nullptr && error == 0 && it != entries.end(); ++it) {
        errno = 0;
        if (aFile_Printf(file, "%s=%s\n", it->first.c_str(), it->second.c_str()) != aErrNone) {
            error = errno != 0 ? errno : EIO;
        }
    }
    if (error == 0) {
        if (replacement.Commit() == aErrNone) {
            dirty = false;
            return;
        }
        error = replacement.Error();
    }
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             target.c_str(), error);
}
