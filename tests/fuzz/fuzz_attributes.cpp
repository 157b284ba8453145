// Attribute files as a person may have edited them: read, typed getters,
// and a save that must read back to the same entries.
#include "FuzzSupport.h"
#include "KeyValueStore.h"

#include <filesystem>
#include <stdexcept>

namespace {

qbfuzz::InputFile* input = nullptr;
std::string scratch;

void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

// Keys beginning with "#" read back as comments; everything else must
// survive a save and a load unchanged.
std::map<std::string, std::string> kept(const KeyValueStore& store) {
    std::map<std::string, std::string> out;
    for (const auto& [key, value] : store.Entries()) {
        if (key[0] != '#') {
            out.emplace(key, value);
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input = new qbfuzz::InputFile();
    qbfuzz::quietLogging(DEBUG_Attributes);
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/qbfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        abort();
    }
    scratch = pattern;
    atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KeyValueStore store;
    qbfuzz::check(store.Load(input->set(data, size)) == aErrNone);
    qbfuzz::check(!store.IsDirty());
    for (const auto& [key, value] : store.Entries()) {
        qbfuzz::check(!key.empty() && value.find('\n') == std::string::npos);
    }
    std::map<std::string, std::string> before = kept(store);

    std::string saved = scratch + "/.settings";
    store.Save(saved);
    qbfuzz::check(!store.IsDirty());
    KeyValueStore reread(saved);
    qbfuzz::check(kept(reread) == before);

    if (!before.empty()) {
        const std::string& key = before.begin()->first;
        store.GetInt(key, 1);
        store.GetHex(key, 2);
        store.GetBOOL(key, true);
        store.GetDouble(key, 0.5);
        store.GetString(key, "x");
        qbfuzz::check(!store.IsDirty());
        store.Add(key, std::string("changed"));
        store.Save();
        qbfuzz::check(!store.IsDirty());
    }
    return 0;
}
