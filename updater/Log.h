// The tool's switchable diagnostic trace. A line is written only when one of
// its package bits has been activated (-X); mask 0 is always written.
#ifndef UPDATER_LOG_H
#define UPDATER_LOG_H

#include <cstdint>
#include <cstdio>

enum LogPackage : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network_Link = 0x00000100, // printed as DEBUG_Network in the usage
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    Log() {}
    ~Log() {}

    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(uint32_t mask) { package_bitmask |= mask; }
    static void DeactivatePackage(uint32_t mask) { package_bitmask &= ~mask; }

    // Writes the formatted text as it is: no prefix, no time, no newline.
    static void log(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

    static inline uint32_t package_bitmask = 0;
    static inline FILE* fh = nullptr;

    static constexpr int BUFFER_SIZE = 2048;
};

#endif
