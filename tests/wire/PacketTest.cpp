// Packets: creation, copies, the command/option/index accessors and the
// byte-by-byte assembly from a stream.
#include "aPacket.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Assembly {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<aErr> results; // one per byte
    bool complete;
};

TEST(Packet, Assembly) {
    std::vector<uint8_t> full = {2, 28};
    std::vector<aErr> fullResults(30, aErrNone);
    for (int i = 0; i < 28; i++) {
        full.push_back(static_cast<uint8_t>(0x40 + i));
    }
    std::vector<uint8_t> over = full;
    over.push_back(0xFF);
    std::vector<aErr> overResults = fullResults;
    overResults.push_back(aErrOverrun);

    const Assembly cases[] = {
        {"empty packet", {0x02, 0x00}, {aErrNone, aErrNone}, true},
        {"odd address", {0x03}, {aErrPacket}, false},
        {"zero address", {0x00}, {aErrPacket}, false},
        {"length 29", {0x04, 0x1D}, {aErrNone, aErrPacket}, false},
        {"two data bytes",
         {0x08, 0x02, 0x00, 0x01},
         {aErrNone, aErrNone, aErrNone, aErrNone},
         true},
        {"byte beyond length",
         {0x08, 0x01, 0x05, 0x06},
         {aErrNone, aErrNone, aErrNone, aErrPacket},
         false},
        {"28 data bytes", full, fullResults, true},
        {"a 31st byte", over, overResults, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        aPacket* p = aPacket_Create();
        ASSERT_NE(p, nullptr);
        for (size_t i = 0; i < c.bytes.size(); i++) {
            EXPECT_EQ(aPacket_AddByte(p, c.bytes[i]), c.results[i]) << "byte " << i;
        }
        EXPECT_EQ(aPacket_IsComplete(p), c.complete);
        aPacket_Destroy(&p);
    }
}

TEST(Packet, AssembledContent) {
    aPacket* p = aPacket_Create();
    for (uint8_t b : {0x06, 0x04, 0x03, 0x49, 0x20, 0x07}) {
        ASSERT_EQ(aPacket_AddByte(p, b), aErrNone);
    }
    ASSERT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(p->address, 6);
    EXPECT_EQ(p->length, 4);
    EXPECT_EQ(p->received, 6);
    EXPECT_EQ(std::vector<uint8_t>(p->data, p->data + 4), (std::vector<uint8_t>{3, 0x49, 0x20, 7}));
    EXPECT_EQ(p->data[4], 0);

    // Reset empties it for the next packet.
    EXPECT_EQ(aPacket_Reset(p), aErrNone);
    EXPECT_EQ(p->received, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->length, 0);
    EXPECT_EQ(p->data[0], 0);
    EXPECT_FALSE(aPacket_IsComplete(p));
    EXPECT_EQ(aPacket_AddByte(p, 0x02), aErrNone);
    aPacket_Destroy(&p);
}

TEST(Packet, CreateCopyDestroy) {
    uint8_t data[29];
    for (int i = 0; i < 29; i++) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    aPacket* p = aPacket_CreateWithData(2, 28, data);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aVALIDPACKET(p));
    EXPECT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(p->received, 30);
    EXPECT_EQ(aPacket_CreateWithData(2, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(2, 1, nullptr), nullptr);

    aPacket* copy = aPacket_Copy(p);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, p);
    EXPECT_EQ(memcmp(copy, p, sizeof *p), 0);
    aPacket_Destroy(&copy);

    aPacket* empty = aPacket_Create();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->check, aPACKET_CHECK);
    EXPECT_EQ(empty->received + empty->address + empty->length, 0);

    aPacket invalid = *p;
    invalid.check = 0;
    EXPECT_EQ(aPacket_Copy(&invalid), nullptr);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    EXPECT_EQ(aPacket_AddByte(&invalid, 2), aErrParam);
    EXPECT_EQ(aPacket_Reset(&invalid), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&invalid));

    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
    aPacket_Destroy(&empty);
}

TEST(Packet, CommandOptionIndex) {
    const uint8_t data[] = {3, 0xC9, 0xE5};
    uint8_t v = 0;
    for (uint8_t length = 0; length <= 3; length++) {
        aPacket* p = aPacket_CreateWithData(6, length, data);
        EXPECT_EQ(aPacket_GetCmd(p, &v), length >= 1 ? aErrNone : aErrPacket);
        if (length >= 1) {
            EXPECT_EQ(v, 3);
        }
        EXPECT_EQ(aPacket_GetOption(p, &v), length >= 2 ? aErrNone : aErrPacket);
        if (length >= 2) {
            EXPECT_EQ(v, 0x09); // request flags masked off
        }
        EXPECT_EQ(aPacket_GetIndex(p, &v), length >= 3 ? aErrNone : aErrPacket);
        if (length >= 3) {
            EXPECT_EQ(v, 0x05);
        }
        EXPECT_EQ(aPacket_GetCmd(p, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetOption(p, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetIndex(p, nullptr), aErrParam);
        aPacket_Destroy(&p);
    }
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

} // namespace
