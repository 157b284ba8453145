// What a simulated module is: its identity, its personality, its timing and
// the faults it is told to show. ModuleDescription.h reads and writes the
// one-line text form of this record.
#ifndef QBSIM_MODEL_MODULE_CONFIG_H
#define QBSIM_MODEL_MODULE_CONFIG_H

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qbsim {

enum class Personality {
    Module, // an ordinary module running its firmware
    Router, // a module that also routes the host's traffic to modules on its bus
    Loader, // a recovery loader: no firmware yet, answers the unique identifier
};

// Which requests a fault applies to.
struct RequestMatch {
    enum class Kind {
        Any,     // every request that gets a reply, address queries included
        Sync,    // the address query (an empty packet to address 173)
        Command, // a command, and optionally its second byte
    };
    Kind kind = Kind::Any;
    uint8_t command = 0;
    // The second byte: the option code (low six bits) for entity commands,
    // the byte itself for the others (the upgrade sub-command, 255 of the
    // build query). Absent: any.
    std::optional<uint8_t> sub;

    bool operator==(const RequestMatch&) const = default;
};

// How many matching occasions a fault hits: it lets `skip` of them pass,
// then hits the next `times` (0 = every one from then on).
struct FaultCount {
    uint32_t skip = 0;
    uint32_t times = 1;

    bool always() const { return times == 0; }
    bool operator==(const FaultCount&) const = default;
};

struct DropReplyFault {
    RequestMatch match;
    FaultCount count;
    bool operator==(const DropReplyFault&) const = default;
};

struct DelayReplyFault {
    RequestMatch match;
    std::chrono::milliseconds delay{0};
    FaultCount count{0, 0}; // every matching reply unless told otherwise
    bool operator==(const DelayReplyFault&) const = default;
};

struct TruncateReplyFault {
    RequestMatch match;
    uint8_t length = 0; // data bytes kept
    FaultCount count;
    bool operator==(const TruncateReplyFault&) const = default;
};

struct Faults {
    std::vector<DropReplyFault> dropReplies;
    std::vector<DelayReplyFault> delayReplies;
    std::vector<TruncateReplyFault> truncateReplies;
    // DATA packets answered with a count one short (their bytes are not taken).
    std::optional<FaultCount> wrongDataCount;
    // SUM replies carrying the right sum plus one.
    std::optional<FaultCount> wrongSum;
    // PREPARE answered with a non-zero status.
    std::optional<FaultCount> refusePrepare;
    // Behind a router: the router's I2C entity does not acknowledge this
    // module's bus address, although the module answers routed requests.
    bool ignoreI2CProbe = false;
    // After REBOOT the module stays off its transport for good.
    bool neverReturnAfterReboot = false;
    // After this many bytes from the host the module drops off its transport
    // (the bytes after it are lost) and comes back after its restart time.
    std::optional<uint64_t> disconnectAfterBytes;

    bool operator==(const Faults&) const = default;
};

// How a router decides to carry the host's traffic to the modules behind it.
enum class RouteGate {
    ForceRouteOrRouteToMe, // once the link asked for it (175 with 1) or routeToMe(1) was set
    RouteToMe,             // only while routeToMe(1) is set
};

struct ModuleConfig {
    uint32_t serialNumber = 0;
    uint8_t model = 0;
    uint8_t address = 2;           // even, 2..254
    uint8_t routerAddress = 0;     // system option 2; behind a router: the router's address
    uint32_t version = 0x2F020F00; // packed (2.15.0)
    uint32_t build = 0;
    Personality personality = Personality::Module;

    // Router: the modules on its bus, each with an address of its own.
    std::vector<ModuleConfig> downstream;
    RouteGate routeGate = RouteGate::ForceRouteOrRouteToMe;

    // Loader: the chip's unique identifier in the order a fingerprint shows
    // it; sub-index j of option 39 answers word 3 - j.
    std::array<uint32_t, 4> uniqueId{};
    // A started loader presents 0xCDCAACCF instead of its own serial number.
    bool loaderUsesDefaultSerial = false;

    // Upgrade command set.
    uint32_t loadBase = 0x20000000;      // INIT reply
    uint16_t blockSize = 512;            // PREPARE reply
    std::optional<uint32_t> nextVersion; // after REBOOT from the loader
    std::optional<uint32_t> nextBuild;

    // System options this module does not have (answered with an error).
    std::set<uint8_t> withoutOptions;

    // Heartbeats [0, x] sent at this interval while a host talks to the
    // module (0 = none); x alternates 0, 1 unless fixed here.
    std::chrono::milliseconds heartbeatInterval{0};
    std::optional<uint8_t> heartbeatValue;

    // Off the transport for this long on a restart (reset, LOAD, REBOOT).
    std::chrono::milliseconds restartTime{300};
    // Between a restarting reply leaving the module (or REBOOT arriving) and
    // the module going off its transport.
    std::chrono::milliseconds restartDelay{0};
    // A partly received packet older than this is thrown away.
    std::chrono::milliseconds frameTimeout{500};

    Faults faults;

    bool operator==(const ModuleConfig&) const = default;
};

// Packs a version the way a module reports it: the current layout from
// 2.15 on, the legacy layout before. Returns nothing for a version the
// layout cannot hold.
std::optional<uint32_t> packVersion(uint32_t major, uint32_t minor, uint32_t patch);

// The three parts of a packed version.
struct VersionParts {
    uint32_t major, minor, patch;
};
VersionParts unpackVersion(uint32_t packed);

} // namespace qbsim

#endif
