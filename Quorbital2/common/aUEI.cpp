#include "aUEI.h"

#include <cstring>

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
    return static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
    return static_cast<uint32_t>(buffer[0]) << 24 | static_cast<uint32_t>(buffer[1]) << 16 |
           static_cast<uint32_t>(buffer[2]) << 8 | buffer[3];
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (words == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; i++) {
        uint8_t bytes[4];
        memcpy(bytes, &words[i], sizeof bytes);
        words[i] = aUEI_RetrieveInt(bytes);
    }
}

namespace {

// The last data byte of a byte-array packet.
uint8_t sLastByte(const aPacket* packet) {
    if (packet == nullptr || packet->length == 0 || packet->length > aPACKET_MAXDATA) {
        return 0;
    }
    return packet->data[packet->length - 1];
}

} // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return sLastByte(packet) & ueiBytesSequenceMask;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    return (sLastByte(packet) & ueiBytesContinue) != 0 ? 1 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return packet != nullptr && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (packet == nullptr) {
        return true;
    }
    switch (packet->data[0]) {
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

bool aUEI_isUEIPayload(const aPacket* packet) {
    return packet != nullptr && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return packet != nullptr && packet->length > 4 && aUEI_isUEIPayload(packet) &&
           packet->data[1] < 64 && (packet->data[2] & ueiIndexStream) != 0;
}
