// One link packet: an address byte, a length byte (0..28) and the data bytes.
// Packets are allocated by the functions here and freed only by
// aPacket_Destroy; whoever receives one from a FIFO or a link owns it.
#ifndef QB_APACKET_H
#define QB_APACKET_H

#include "aDefs.h"
#include "aError.h"

#include <cstdint>

constexpr uint16_t aPACKET_CHECK = 0xBEEF;
// Most data bytes in one packet.
constexpr uint8_t aPACKET_MAXDATA = 28;
// Most stream bytes of one packet: address, length and data.
constexpr uint8_t aPACKET_MAXBYTES = aPACKET_MAXDATA + 2;

struct aPacket {
    uint16_t check;                // aPACKET_CHECK in every live packet
    uint8_t received;              // stream bytes taken in so far; length + 2 when complete
    uint8_t address;               // even module address 2..254, or cmdMAGIC / cmdFORCEROUTE
    uint8_t length;                // data bytes, 0..28
    uint8_t data[aPACKET_MAXDATA]; // unused bytes are 0
};
typedef aPacket* aPacketRef;

inline bool aVALIDPACKET(const aPacket* packet) {
    return packet != nullptr && packet->check == aPACKET_CHECK;
}

// A packet filter answers non-zero when it wants the packet. The reference is
// the caller's and is passed through unchanged; a filter may write into it.
typedef int (*aPacketFilter)(const aPacket* packet, void* reference);

// A new empty packet, or null when memory is short.
aPacket* aPacket_Create();
// A complete packet with length bytes copied from data; null when data is
// missing, length is above 28 or memory is short.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A complete copy of a valid packet; null for an invalid one.
aPacket* aPacket_Copy(const aPacket* packet);

// Data byte 0; data byte 1 masked to 6 bits; data byte 2 masked to 5 bits.
// aErrParam without an output, aErrPacket for an invalid or too short packet.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Empties the packet for a new assembly.
aErr aPacket_Reset(aPacket* packet);
// Feeds one stream byte into a packet under assembly: aErrOverrun past 30
// bytes, aErrPacket for an odd or zero address, a length above 28 or a byte
// beyond the packet's length, aErrParam for an invalid packet.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// Whether the packet is valid and has taken in its address, length and data.
bool aPacket_IsComplete(const aPacket* packet);
// Frees the packet and clears the caller's pointer; aErrParam without one.
aErr aPacket_Destroy(aPacket** packet);

#endif
