// The device library's own diagnostic trace to the standard output stream.
// Two process-wide settings govern it: aQuorbitalDebuggingEnable (off) and
// the bit mask aQuorbitalDebuggingLevel, one bit per area. Nothing in the
// tool switches them on; tests and developers may.
#ifndef QB_ADEBUGGING_H
#define QB_ADEBUGGING_H

#include <atomic>
#include <cstdint>

// Areas of aQuorbitalDebuggingLevel.
constexpr uint32_t aQB_DEBUG_LINK = 0x01;      // link life cycle
constexpr uint32_t aQB_DEBUG_PACKETS = 0x02;   // packet traffic and heartbeats
constexpr uint32_t aQB_DEBUG_SERVER = 0x04;    // local link server
constexpr uint32_t aQB_DEBUG_MULTICAST = 0x08; // multicast sockets
constexpr uint32_t aQB_DEBUG_DISCOVERY = 0x10; // discovery
constexpr uint32_t aQB_DEBUG_CLIENT = 0x20;    // local-server client streams
constexpr uint32_t aQB_DEBUG_ADDRESS = 0x40;   // module address learning
constexpr uint32_t aQB_DEBUG_BEACON = 0x200;   // beacon interface lock
constexpr uint32_t aQB_DEBUG_USB = 0x400;      // USB transport errors

extern std::atomic<bool> aQuorbitalDebuggingEnable;
extern std::atomic<uint32_t> aQuorbitalDebuggingLevel;

// Whether trace lines of `area` are printed now.
inline bool aQuorbitalDebugging(uint32_t area) {
    return aQuorbitalDebuggingEnable.load(std::memory_order_relaxed) &&
           (aQuorbitalDebuggingLevel.load(std::memory_order_relaxed) & area) != 0;
}

// Prints one trace line of `area` to the standard output stream and flushes
// it, when that area is switched on. The text carries its own line end.
void aQuorbitalDebug(uint32_t area, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
