#include "aVersion.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

struct sFeature {
    const char* name;
    const char* description;
};

const sFeature sFeatures[] = {
    {"VERSION", "Version Query API"},
};

// Legacy when the top two nibbles, as major.minor, come before 2.15.
bool sIsLegacy(uint32_t version) {
    uint32_t major = version >> 28;
    uint32_t minor = (version >> 24) & 0xF;
    return major < 2 || (major == 2 && minor < 15);
}

} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14)) {
        return aVERSION_MARKER << 24 | static_cast<uint32_t>(major) << 16 |
               static_cast<uint32_t>(minor) << 8 | patch;
    }
    return static_cast<uint32_t>(major) << 28 | static_cast<uint32_t>(minor & 0xF) << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    return sIsLegacy(version);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    return static_cast<uint8_t>(sIsLegacy(version) ? version >> 28 : (version >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    return static_cast<uint8_t>(sIsLegacy(version) ? (version >> 24) & 0xF : (version >> 8) & 0xFF);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    return sIsLegacy(version) ? version & 0xFFFFFF : version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    return snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(version),
                    aVersion_ParseMinor(version), static_cast<int>(aVersion_ParsePatch(version)));
}

uint8_t aVersion_GetMajor() {
    return aVERSION_MAJOR;
}
uint8_t aVersion_GetMinor() {
    return aVERSION_MINOR;
}
uint32_t aVersion_GetPatch() {
    return aVERSION_PATCH;
}

const char* aVersion_GetString() {
    static char text[15];
    // Built once; the static initialisation is thread-safe.
    static const bool built = [] {
        snprintf(text, sizeof text, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, ".",
                 aVERSION_PATCH);
        return true;
    }();
    (void)built;
    return text;
}

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2) {
    if (major1 != major2) {
        return major1 > major2;
    }
    if (minor1 != minor2) {
        return minor1 > minor2;
    }
    return patch1 >= patch2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (name == nullptr) {
        return false;
    }
    for (const auto& feature : sFeatures) {
        if (strcmp(feature.name, name) == 0) {
            return true;
        }
    }
    return false;
}

char* aVersion_GetFeatureList() {
    std::string text;
    for (const auto& feature : sFeatures) {
        if (!text.empty()) {
            text += '\n';
        }
        text += feature.name;
        text += " - ";
        text += feature.description;
    }
    auto* list = new (std::nothrow) char[text.size() + 1];
    if (list != nullptr) {
        memcpy(list, text.c_str(), text.size() + 1);
    }
    return list;
}

aErr aVersion_DestroyFeatureList(char** list) {
    if (list == nullptr || *list == nullptr) {
        return aErrParam;
    }
    delete[] * list;
    *list = nullptr;
    return aErrNone;
}
