#include "aPacket.h"

#include <cstring>
#include <new>

aPacket* aPacket_Create() {
    auto* packet = new (std::nothrow) aPacket;
    if (packet == nullptr) {
        return nullptr;
    }
    memset(packet, 0, sizeof *packet);
    packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (data == nullptr || length > aPACKET_MAXDATA) {
        return nullptr;
    }
    aPacket* packet = aPacket_Create();
    if (packet == nullptr) {
        return nullptr;
    }
    packet->address = address;
    packet->length = length;
    memcpy(packet->data, data, length);
    packet->received = static_cast<uint8_t>(length + 2);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!aVALIDPACKET(packet) || packet->length > aPACKET_MAXDATA) {
        return nullptr;
    }
    return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

namespace {

aErr sDataByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask) {
    if (out == nullptr) {
        return aErrParam;
    }
    if (!aVALIDPACKET(packet) || packet->length <= position) {
        return aErrPacket;
    }
    *out = packet->data[position] & mask;
    return aErrNone;
}

} // namespace

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
    return sDataByte(packet, command, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return sDataByte(packet, option, 1, ueiOptionMask);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return sDataByte(packet, index, 2, ueiIndexMask);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    packet->received = 0;
    packet->address = 0;
    packet->length = 0;
    memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    if (packet->received >= aPACKET_MAXBYTES) {
        // Counting stops at 31; the packet stays overrun until it is reset.
        packet->received = aPACKET_MAXBYTES + 1;
        return aErrOverrun;
    }
    packet->received++;
    if (packet->address == 0) {
        if (byte == 0 || (byte & 1) != 0) {
            return aErrPacket;
        }
        packet->address = byte;
        return aErrNone;
    }
    if (packet->length == 0) {
        // A length byte of 0 leaves the length at 0: the packet is complete.
        packet->length = byte;
        return byte > aPACKET_MAXDATA ? aErrPacket : aErrNone;
    }
    if (packet->received > packet->length + 2) {
        return aErrPacket;
    }
    packet->data[packet->received - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->received == packet->length + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (packet == nullptr || *packet == nullptr) {
        return aErrParam;
    }
    (*packet)->check = 0;
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}
