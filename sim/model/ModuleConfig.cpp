#include "ModuleConfig.h"

#include "Wire.h"

namespace qbsim {

std::optional<uint32_t> packVersion(uint32_t major, uint32_t minor, uint32_t patch) {
    if (major > 2 || (major == 2 && minor > 14)) {
        if (major > 255 || minor > 255 || patch > 255) {
            return std::nullopt;
        }
        return (uint32_t(wire::kVersionMarker) << 24) | (major << 16) | (minor << 8) | patch;
    }
    if (minor > 15 || patch > 0xFFFFFF) {
        return std::nullopt;
    }
    return (major << 28) | (minor << 24) | patch;
}

VersionParts unpackVersion(uint32_t packed) {
    const uint32_t major = packed >> 28;
    const uint32_t minor = (packed >> 24) & 0x0F;
    if (major < 2 || (major == 2 && minor < 15)) {
        return {major, minor, packed & 0xFFFFFF};
    }
    return {(packed >> 16) & 0xFF, (packed >> 8) & 0xFF, packed & 0xFF};
}

} // namespace qbsim
