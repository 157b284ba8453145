#include "UpdaterStore.h"

#include "FileReplacement.h"
#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"
#include "path.h"

#include <cstdio>
#include <stdexcept>

namespace {

constexpr mode_t STORE_PERMISSIONS = 0755;

// The entry's own name: what follows the last "/" of its full path.
std::string sEntryName(const std::string& full) {
    size_t slash = full.rfind('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

std::string sEntryDirectory(const std::string& full) {
    size_t slash = full.rfind('/');
    return slash == std::string::npos ? std::string() : full.substr(0, slash);
}

store_item_t sKind(const aDirectoryListData* entry) {
    return entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

void sEnsureDirectory(const std::string& path) {
    if (aFile_Exists(path.c_str())) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    }
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    aErr err = aDirectory_Ensure(path.c_str(), STORE_PERMISSIONS);
    if (err != aErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(static_cast<int>(err)));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// The entry's own name must equal the name sought; "." and ".." are no
// entries of the store.
bool sFindItem(const aDirectoryListData* entry, void* context) {
    auto* result = static_cast<result_t*>(context);
    std::string full(entry->path);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", full.c_str(),
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size),
             result->name.c_str());
    std::string name = sEntryName(full);
    if (name == "." || name == ".." || name != result->name) {
        return true;
    }
    result->found = true;
    if (result->item != nullptr) {
        *result->item = UpdaterStoreItem(sEntryDirectory(full), name, sKind(entry));
    }
    return false;
}

struct BuildList {
    std::vector<UpdaterStoreItem>* items;
};

bool sFindItems(const aDirectoryListData* entry, void* context) {
    auto* list = static_cast<BuildList*>(context);
    std::string full(entry->path);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", full.c_str(),
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size));
    std::string name = sEntryName(full);
    if (name.empty() || name[0] == '.') {
        return true; // ".", "..", ".settings" and other dot files
    }
    list->items->push_back(UpdaterStoreItem(sEntryDirectory(full), name, sKind(entry)));
    return true;
}

bool sLookup(const std::string& directory, result_t& result) {
    aDirectory_List(directory.c_str(), sFindItem, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", result.name.c_str());
    return result.found;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() : kind(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string& itemPath, const std::string& itemName,
                                   store_item_t itemKind)
    : path(itemPath), name(itemName), kind(itemKind) {
    attributes.Load(BuildPath(path, name, KeyValueStore::DEFAULT_FILENAME));
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const void* data, size_t length) {
    if (data == nullptr) {
        return aErrNotFound;
    }
    FileReplacement replacement(BuildPath(path, name, fileName));
    aFileRef file = replacement.Open();
    if (file == nullptr) {
        return aErrNotFound;
    }
    size_t count = 0;
    aErr err = aFile_Write(file, data, length, &count);
    if (err != aErrNone) {
        return err;
    }
    if (count != length) {
        return aErrIO;
    }
    return replacement.Commit();
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    std::string full = BuildPath(path, name, fileName);
    if (!BirdFile::VerifyFile(full)) {
        throw std::runtime_error("Invalid bird " + full);
    }
    return BirdFile(full);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
    result_t result;
    result.name = fileName;
    return sLookup(BuildPath(path, name), result);
}

UpdaterStore::UpdaterStore(const std::string& basePath) : base(basePath) {
    sEnsureDirectory(base);
}

std::string UpdaterStore::SerialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return std::string(text);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(SerialText(serial));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    sEnsureDirectory(BuildPath(base, name));
    return UpdaterStoreItem(base, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) const {
    return FindDevice(SerialText(serial), item);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem& item) const {
    return FindDevice(SerialText(serial), &item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem& item) const {
    return FindDevice(name, &item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
    result_t result;
    result.name = name;
    result.item = item;
    return sLookup(base, result);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) const {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) {
        return true;
    }
    BuildList list{&items};
    aDirectory_List(BuildPath(device.path, device.name).c_str(), sFindItems, &list);
    return true;
}
