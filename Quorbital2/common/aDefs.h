// Definitions shared by every layer of the device library: transport kinds,
// the link specifier, model names, command codes, reserved addresses and the
// flag bits of entity (UEI) packets.
#ifndef QB_ADEFS_H
#define QB_ADEFS_H

#include "aError.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// Transport kinds. Stored as a 32-bit value in a linkSpec.
typedef enum : uint32_t {
    INVALID = 0, // no transport
    USB = 1,     // local USB bus, by serial number
    TCPIP = 2,   // module with its own network interface, by IPv4 address and port
    SERIAL = 3,  // serial port, by port name and baud rate
    TETHRA = 4,  // through a local link server, by the server's address and port
} linkType;

// A 32-bit little-endian integer kept as its four wire bytes, so that a record
// made of them has the same bytes in memory on every host. Reads and writes
// convert to and from the host's integers.
template <typename T>
struct aLE32 {
    uint8_t bytes[4];

    T get() const {
        return static_cast<T>(
            static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
    }
    void set(T value) {
        uint32_t v = static_cast<uint32_t>(value);
        bytes[0] = static_cast<uint8_t>(v);
        bytes[1] = static_cast<uint8_t>(v >> 8);
        bytes[2] = static_cast<uint8_t>(v >> 16);
        bytes[3] = static_cast<uint8_t>(v >> 24);
    }
    operator T() const { return get(); }
    aLE32& operator=(T value) {
        set(value);
        return *this;
    }
};

// A 32-bit IPv4 address kept in network byte order (127.0.0.1 is the bytes
// 7F 00 00 01). Reads and writes take the address in network byte order, as
// in_addr.s_addr holds it.
struct aNetAddr32 {
    uint8_t bytes[4];

    uint32_t get() const {
        uint32_t v;
        memcpy(&v, bytes, sizeof v);
        return v;
    }
    void set(uint32_t networkOrder) { memcpy(bytes, &networkOrder, sizeof bytes); }
    operator uint32_t() const { return get(); }
    aNetAddr32& operator=(uint32_t networkOrder) {
        set(networkOrder);
        return *this;
    }
};

constexpr size_t aLINKSPEC_SIZE = 128;
constexpr size_t aLINKSPEC_TRANSPORT_SIZE = 104;
constexpr size_t aLINKSPEC_PORTNAME_SIZE = 100;

// Names one module and the transport that reaches it. Exactly 128 bytes whose
// memory is the wire form used by network discovery: every integer is 32-bit
// little-endian on every host. Create it zero-filled; copy it by value.
struct linkSpec {
    aLE32<linkType> type;
    aLE32<uint32_t> serialNumber;
    aLE32<uint32_t> moduleAddress;      // even, 2..254; 0 when absent
    aLE32<uint32_t> routerAddress;      // module this one is routed through; 0 when absent
    aLE32<uint32_t> routerSerialNumber; // serial number of that module; 0 when absent
    aLE32<uint32_t> model;              // 0 when absent
    // The transport part, by type; unused bytes stay zero.
    union {
        uint8_t transport[aLINKSPEC_TRANSPORT_SIZE];
        struct {                   // USB
            aLE32<uint32_t> usbId; // a copy of the serial number
        };
        struct { // TCPIP and TETHRA
            aNetAddr32 ipAddress;
            aLE32<uint32_t> ipPort; // the port number itself, not byte-swapped
        };
        struct { // SERIAL
            aLE32<uint32_t> baudRate;
            char portName[aLINKSPEC_PORTNAME_SIZE]; // NUL-terminated
        };
    };
};

static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "linkSpec is 128 bytes on the wire");
static_assert(alignof(linkSpec) == 1, "linkSpec has no padding and no alignment needs");
static_assert(offsetof(linkSpec, type) == 0);
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, moduleAddress) == 8);
static_assert(offsetof(linkSpec, routerAddress) == 12);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, transport) == 24);
static_assert(offsetof(linkSpec, usbId) == 24);
static_assert(offsetof(linkSpec, ipAddress) == 24);
static_assert(offsetof(linkSpec, ipPort) == 28);
static_assert(offsetof(linkSpec, baudRate) == 24);
static_assert(offsetof(linkSpec, portName) == 28);

// A new zero-filled linkSpec of the given type, or null when memory is short.
linkSpec* aLinkSpec_Create(linkType type);
// A newly allocated copy of spec, or null when memory is short.
linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees the record and clears the caller's pointer; aErrParam without one.
aErr aLinkSpec_Destroy(linkSpec** spec);

// Name of a model number ("Arvel", ...), or "Unknown". Constant text.
const char* aDefs_GetModelName(uint32_t model);

// Command codes: the first data byte of a packet.
constexpr uint8_t cmdHEARTBEAT = 0; // link heartbeat between module and host
constexpr uint8_t cmdSYSTEM = 3;    // system entity
constexpr uint8_t cmdSLOT = 4;      // store-slot transfers
constexpr uint8_t cmdI2C = 8;       // I2C entity
constexpr uint8_t cmdDEBUG = 23;    // echo test
constexpr uint8_t cmdDESCRIBE = 73; // description queries and firmware build number
constexpr uint8_t cmdSTREAM = 93;   // enabling value streams
constexpr uint8_t cmdFACTORY = 94;  // factory data
constexpr uint8_t cmdUPGRADE = 95;  // firmware upgrade

// Reserved values of a packet's address byte (module addresses are even).
// To 173 with no data: "which module is there?"; the module answers with an
// empty packet from its own address.
constexpr uint8_t cmdMAGIC = 173;
// To 175 with one data byte (1 on, 0 off): route host traffic through this link.
constexpr uint8_t cmdFORCEROUTE = 175;

// Entity (UEI) packets: data byte 1 is the option byte, data byte 2 the index byte.
constexpr uint8_t ueiOptionMask = 0x3F;   // option code 0..63
constexpr uint8_t ueiOptionGet = 0x40;    // a get request
constexpr uint8_t ueiOptionSet = 0x80;    // a set or call request; with Get: its acknowledgement
constexpr uint8_t ueiIndexMask = 0x1F;    // entity index 0..31
constexpr uint8_t ueiIndexRequest = 0x20; // sent by the host
constexpr uint8_t ueiIndexStream = 0x40;  // a stream sample
constexpr uint8_t ueiIndexError = 0x80;   // an error reply; data byte 3 is the aErr code
// Byte-array transfers: each chunk is followed by a sequence byte.
constexpr uint8_t ueiBytesSequenceMask = 0x7F; // packet count of the transfer, from 0
constexpr uint8_t ueiBytesContinue = 0x80;     // more packets follow
constexpr size_t ueiBytesChunk = 24;           // most data bytes per packet

#endif
