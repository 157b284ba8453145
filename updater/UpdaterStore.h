// The tool's store on disk: one directory per device under a base
// directory, named by the serial number as "%08X", holding the device's
// attribute file ".settings" and the BIRD files fetched for it, named
// "<build>.bird".
#ifndef UPDATER_UPDATERSTORE_H
#define UPDATER_UPDATERSTORE_H

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the store (a device directory, or a file in one) with the
// attribute file path/name/.settings. A plain value.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    // Loads (or, when missing, creates) path/name/.settings.
    UpdaterStoreItem(const std::string& path, const std::string& name, store_item_t kind);

    bool IsValid() const { return !path.empty() && !name.empty(); }

    // Writes path/name/fileName as a whole, replacing any file of that name:
    // aErrNotFound for no data or a file that cannot be opened for writing,
    // aErrIO when the bytes could not all be written (the old file then
    // stays), else aErrNone.
    aErr WriteFile(const std::string& fileName, const void* data, size_t length);

    // Loads path/name/fileName. Raises std::runtime_error "Invalid bird
    // <path>" when the header is not a BIRD header, and "Failed to load bird
    // data" when loading fails.
    BirdFile ReadBirdFile(const std::string& fileName) const;

    // Whether path/name holds an entry of exactly that name.
    bool FileExists(const std::string& fileName) const;

    std::string path; // the directory holding the entry
    std::string name; // the entry's own name
    store_item_t kind;
    KeyValueStore attributes;
};

// The search record of a lookup.
struct result_t {
    bool found = false;
    std::string name;                 // the entry name sought
    UpdaterStoreItem* item = nullptr; // filled on a match when given
};

class UpdaterStore {
public:
    // Creates the base directory with its missing parents (0755). Raises
    // std::runtime_error when it cannot be had or is a file.
    explicit UpdaterStore(const std::string& basePath);

    const std::string& BasePath() const { return base; }

    // The device's directory, created when missing (errors as above).
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string& name);

    // Looks for the entry named exactly "%08X" of the serial (or `name`) in
    // the base directory and fills `item` when given and found.
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item = nullptr) const;
    bool FindDevice(uint32_t serial, UpdaterStoreItem& item) const;
    bool FindDevice(const std::string& name, UpdaterStoreItem* item = nullptr) const;
    bool FindDevice(const std::string& name, UpdaterStoreItem& item) const;

    // Appends one item per entry of the device's directory, dot files
    // excepted, in listing order. Always true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const;

    static std::string SerialText(uint32_t serial);

private:
    std::string base;
};

#endif
