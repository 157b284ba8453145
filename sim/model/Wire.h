// The byte values a module's firmware puts on and expects from its packet
// link. Kept here, apart from the device library, so that the simulated
// module is written from the wire formats alone.
#ifndef QBSIM_MODEL_WIRE_H
#define QBSIM_MODEL_WIRE_H

#include <cstdint>

namespace qbsim::wire {

// Framing: address byte, length byte, up to 28 data bytes.
inline constexpr uint8_t kMaxData = 28;

// Reserved odd addresses.
inline constexpr uint8_t kAddrMagic = 173;      // address query / synchronisation
inline constexpr uint8_t kAddrForceRoute = 175; // route host traffic through this link

// Command codes (data byte 0).
inline constexpr uint8_t kCmdHeartbeat = 0;
inline constexpr uint8_t kCmdSystem = 3;
inline constexpr uint8_t kCmdSlot = 4;
inline constexpr uint8_t kCmdI2C = 8;
inline constexpr uint8_t kCmdDebug = 23;
inline constexpr uint8_t kCmdDescribe = 73;
inline constexpr uint8_t kCmdStream = 93;
inline constexpr uint8_t kCmdFactory = 94;
inline constexpr uint8_t kCmdUpgrade = 95;

// Commands whose packets do not follow the entity layout.
inline bool isNonEntityCommand(uint8_t command) {
    switch (command) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

// Entity packets: [command, option | flags, index | flags, value...].
inline constexpr uint8_t kOptionMask = 0x3F;
inline constexpr uint8_t kOptionGet = 0x40;
inline constexpr uint8_t kOptionSet = 0x80;
inline constexpr uint8_t kOptionAck = 0xC0;
inline constexpr uint8_t kIndexMask = 0x1F;
inline constexpr uint8_t kIndexRequest = 0x20;
inline constexpr uint8_t kIndexStream = 0x40;
inline constexpr uint8_t kIndexError = 0x80;

// System entity options.
inline constexpr uint8_t kSysModule = 1;
inline constexpr uint8_t kSysRouter = 2;
inline constexpr uint8_t kSysVersion = 7;
inline constexpr uint8_t kSysModel = 8;
inline constexpr uint8_t kSysSerial = 9;
inline constexpr uint8_t kSysReset = 11;
inline constexpr uint8_t kSysRouteToMe = 20;
inline constexpr uint8_t kSysUniqueId = 39;

// Description queries (command 73).
inline constexpr uint8_t kDescribeHasEntity = 1;
inline constexpr uint8_t kDescribeClassQuantity = 4;
inline constexpr uint8_t kDescribeSubClassQuantity = 5;
inline constexpr uint8_t kDescribeEntityGroup = 6;
inline constexpr uint8_t kDescribeBuild = 255;

// Upgrade sub-commands (command 95).
inline constexpr uint8_t kUpInit = 0;
inline constexpr uint8_t kUpData = 1;
inline constexpr uint8_t kUpLoad = 2;
inline constexpr uint8_t kUpPrepare = 3;
inline constexpr uint8_t kUpSum = 4;
inline constexpr uint8_t kUpWrite = 5;
inline constexpr uint8_t kUpReboot = 6;
inline constexpr uint8_t kUpStatus = 7;
inline constexpr uint8_t kUpMaxData = 26;

// Serial number a freshly started loader may present instead of its own.
inline constexpr uint32_t kDefaultLoaderSerial = 0xCDCAACCF;

// Error codes as they travel in error replies and status bytes.
inline constexpr uint8_t kErrNone = 0;
inline constexpr uint8_t kErrNotFound = 3;
inline constexpr uint8_t kErrBusy = 5;
inline constexpr uint8_t kErrNotReady = 11;
inline constexpr uint8_t kErrPermission = 12;
inline constexpr uint8_t kErrRange = 13;
inline constexpr uint8_t kErrSize = 14;
inline constexpr uint8_t kErrShortCommand = 27;
inline constexpr uint8_t kErrInvalidEntity = 28;
inline constexpr uint8_t kErrInvalidOption = 29;

// Packed firmware versions: the current layout carries the marker 0x2F in
// its top byte, then major, minor and patch; the legacy layout packs major
// and minor in one nibble each and the patch in 24 bits.
inline constexpr uint8_t kVersionMarker = 0x2F;

} // namespace qbsim::wire

#endif
