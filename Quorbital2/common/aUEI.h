// The universal entity interface (UEI): the record of one entity request or
// reply, and the byte-order and packet helpers for UEI payloads.
//
// Data bytes of a UEI packet: 0 command, 1 option byte (code and the
// ueiOption* flags), 2 index byte (index and the ueiIndex* flags), then the
// value: none, one byte, two or four bytes most significant first; in an error
// reply byte 3 is the aErr code; in a byte-array packet a chunk followed by a
// sequence byte. A request with a sub-index carries it at byte 3, before the
// value.
#ifndef QB_AUEI_H
#define QB_AUEI_H

#include "aDefs.h"
#include "aPacket.h"

#include <cstddef>
#include <cstdint>

// Kinds of value (uei.valueType); 3 is not used.
typedef enum : int32_t {
    ueiVoid = 0,  // no value bytes
    ueiByte = 1,  // one byte
    ueiShort = 2, // two bytes, most significant first
    ueiInt = 4,   // four bytes, most significant first
    ueiBytes = 5, // a byte array in chunks of at most 24 bytes, each followed by a sequence byte
} ueiValueType;

// One entity request or reply.
struct uei {
    uint8_t moduleAddress; // where the request goes, or where the reply came from
    uint8_t command;       // command code
    uint8_t option;        // option byte as on the wire (code plus flags)
    uint8_t index;         // index byte as on the wire; after a reply ueiIndexError marks an error
    union {
        uint8_t byteValue; // after an error reply: the aErr code
        uint16_t shortValue;
        uint32_t intValue;
        uint8_t* bytes; // byte-array transfers: the caller's buffer
    } value;
    uint8_t sequence;      // byte-array transfers: sequence number expected next
    uint8_t more;          // byte-array transfers: continuation bit of the last packet
    size_t bytesSize;      // bytes to send, or capacity of the receive buffer
    size_t* bytesReceived; // byte-array receives: running count of bytes copied
    int32_t valueType;     // ueiValueType
};

// Most significant byte first, whatever the host.
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Converts count 32-bit words in place from most-significant-byte-first to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Byte-array packets: bits 6..0 of the last data byte, and its bit 7 as 1 or 0
// (both 0 without a packet), and whether the packet carries a full chunk (27 or 28 data bytes).
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Whether the command code is one whose packets do not follow the UEI layout
// (0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175); true without a packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// The negation of aUEI_isNotUEIPayload for a present packet.
bool aUEI_isUEIPayload(const aPacket* packet);
// A stream sample: more than 4 data bytes, a UEI payload, neither request
// flag in the option byte and ueiIndexStream in the index byte.
bool aUEI_isStreamPacket(const aPacket* packet);

#endif
