// Shared definitions: link specifiers as wire bytes, model names, firmware
// version packing, the library version and the UEI helpers.
#include "aDefs.h"
#include "aPacket.h"
#include "aUEI.h"
#include "aVersion.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytesOf(const linkSpec& spec) {
    const auto* p = reinterpret_cast<const uint8_t*>(&spec);
    return std::vector<uint8_t>(p, p + sizeof spec);
}

TEST(LinkSpec, CreateIsZeroFilledWithItsType) {
    linkSpec* spec = aLinkSpec_Create(TETHRA);
    ASSERT_NE(spec, nullptr);
    std::vector<uint8_t> expected(128, 0);
    expected[0] = 4;
    EXPECT_EQ(bytesOf(*spec), expected);
    EXPECT_EQ(spec->type, TETHRA);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

// The in-memory record is the wire form: little-endian integers, the IPv4
// address in network byte order, whatever the host.
TEST(LinkSpec, WireLayout) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    spec->serialNumber = 0x40F5849Au;
    spec->moduleAddress = 6;
    spec->routerAddress = 2;
    spec->routerSerialNumber = 0x01020304u;
    spec->model = 17;
    spec->ipAddress = inet_addr("127.0.0.1");
    spec->ipPort = 9888;
    std::vector<uint8_t> bytes = bytesOf(*spec);
    std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 32);
    EXPECT_EQ(head, (std::vector<uint8_t>{0x02, 0, 0,    0, 0x9A, 0x84, 0xF5, 0x40, 6,    0,  0,
                                          0,    2, 0,    0, 0,    0x04, 0x03, 0x02, 0x01, 17, 0,
                                          0,    0, 0x7F, 0, 0,    1,    0xA0, 0x26, 0,    0}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 32, bytes.end()), std::vector<uint8_t>(96, 0));
    // Read back as host values.
    EXPECT_EQ(spec->serialNumber.get(), 0x40F5849Au);
    EXPECT_EQ(spec->ipAddress.get(), inet_addr("127.0.0.1"));
    EXPECT_EQ(spec->ipPort.get(), 9888u);
    EXPECT_EQ(spec->type.get(), TCPIP);

    // The same bytes, received from the network, read as the same record.
    linkSpec received;
    memcpy(&received, bytes.data(), sizeof received);
    EXPECT_EQ(received.model.get(), 17u);
    EXPECT_EQ(received.routerSerialNumber.get(), 0x01020304u);
    aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, TransportParts) {
    linkSpec usb{};
    usb.type = USB;
    usb.usbId = 0xCDCAACCFu;
    EXPECT_EQ(bytesOf(usb)[24], 0xCF);
    EXPECT_EQ(bytesOf(usb)[27], 0xCD);

    linkSpec serial{};
    serial.type = SERIAL;
    serial.baudRate = 115200;
    strcpy(serial.portName, "/dev/ttyUSB0");
    std::vector<uint8_t> bytes = bytesOf(serial);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 24, bytes.begin() + 28),
              (std::vector<uint8_t>{0x00, 0xC2, 0x01, 0x00}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 28)), "/dev/ttyUSB0");
    EXPECT_EQ(sizeof serial.portName, 100u);
}

TEST(LinkSpec, CopyIsByteForByte) {
    linkSpec source;
    for (size_t i = 0; i < sizeof source; i++) {
        reinterpret_cast<uint8_t*>(&source)[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    linkSpec* copy = aLinkSpec_Copy(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(bytesOf(*copy), bytesOf(source));
    aLinkSpec_Destroy(&copy);
}

TEST(Defs, ModelNames) {
    const std::vector<std::pair<uint32_t, std::string>> known = {
        {4, "Arvel"},    {5, "Brisk"},    {13, "Calder"},  {14, "Dovran"},
        {15, "Elmtor"},  {16, "Fenwyn"},  {17, "Galbrek"}, {18, "Hestrin"},
        {19, "Istven"},  {20, "Jorvath"}, {21, "Kelmora"}, {22, "Lunvar"},
        {23, "Morwick"}, {24, "Nalvek"},  {25, "Orthane"}, {26, "Pellix"}};
    for (const auto& [model, name] : known) {
        EXPECT_EQ(aDefs_GetModelName(model), name) << model;
    }
    for (uint32_t model : {0u, 1u, 2u, 3u, 6u, 9u, 12u, 27u, 255u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(aDefs_GetModelName(model), "Unknown") << model;
    }
}

TEST(Defs, CommandCodesAndReservedAddresses) {
    EXPECT_EQ(cmdMAGIC, 0xAD);
    EXPECT_EQ(cmdFORCEROUTE, 0xAF);
    const uint8_t codes[] = {cmdHEARTBEAT, cmdSYSTEM, cmdSLOT,    cmdI2C,    cmdDEBUG,
                             cmdDESCRIBE,  cmdSTREAM, cmdFACTORY, cmdUPGRADE};
    EXPECT_EQ(std::vector<uint8_t>(std::begin(codes), std::end(codes)),
              (std::vector<uint8_t>{0, 3, 4, 8, 23, 73, 93, 94, 95}));
}

struct PackCase {
    uint8_t major, minor, patch;
    uint32_t packed;
    bool legacy;
};

TEST(Version, PackAndParse) {
    const PackCase cases[] = {
        {2, 14, 5, 0x2E000005, true},       {2, 15, 5, 0x2F020F05, false},
        {3, 0, 1, 0x2F030001, false},       {1, 3, 200, 0x130000C8, true},
        {0, 0, 0, 0x00000000, true},        {2, 10, 8, 0x2A000008, true},
        {255, 255, 255, 0x2FFFFFFF, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
        uint32_t v = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(v, c.packed);
        EXPECT_EQ(aVersion_IsLegacyFormat(v), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(v), c.major);
        EXPECT_EQ(aVersion_ParseMinor(v), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(v), c.patch);
    }
    // Legacy minor is cut to 4 bits.
    EXPECT_EQ(aVersion_Pack(1, 0x13, 1), 0x13000001u);
    // A legacy patch above 255 exists on modules although packing never makes one.
    EXPECT_EQ(aVersion_ParseMajor(0x1300012C), 1);
    EXPECT_EQ(aVersion_ParseMinor(0x1300012C), 3);
    EXPECT_EQ(aVersion_ParsePatch(0x1300012C), 300u);
    char text[16];
    EXPECT_EQ(aVersion_ParseString(0x1300012C, text, sizeof text), 7);
    EXPECT_STREQ(text, "1.3.300");
    EXPECT_EQ(aVersion_ParseString(0x2F030001, text, 4), 5); // cut to the buffer
    EXPECT_STREQ(text, "3.0");
}

TEST(Version, Compare) {
    struct {
        uint8_t a[3], b[3];
        bool atLeast;
    } cases[] = {
        {{2, 10, 8}, {2, 10, 8}, true},   {{2, 10, 7}, {2, 10, 8}, false},
        {{3, 0, 0}, {2, 99, 99}, true},   {{2, 9, 200}, {2, 10, 0}, false},
        {{2, 11, 0}, {2, 10, 200}, true}, {{1, 255, 255}, {2, 0, 0}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]),
                  c.atLeast)
            << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs " << int(c.b[0])
            << "." << int(c.b[1]) << "." << int(c.b[2]);
    }
    EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 8));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 10, 9));
}

TEST(Version, LibraryVersionAndFeatures) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 10);
    EXPECT_EQ(aVersion_GetPatch(), 8u);
    const char* text = aVersion_GetString();
    EXPECT_STREQ(text, "2.10.8");
    EXPECT_EQ(aVersion_GetString(), text); // built once

    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
}

TEST(UEI, ByteOrder) {
    const uint8_t be[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(be), 0x12345678u);
    EXPECT_EQ(aUEI_RetrieveShort(be), 0x1234);
    uint8_t out[4] = {};
    aUEI_StoreInt(out, 0xCAFEF00D);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0xCA, 0xFE, 0xF0, 0x0D}));
    aUEI_StoreShort(out, 0xBEEF);
    EXPECT_EQ(out[0], 0xBE);
    EXPECT_EQ(out[1], 0xEF);

    uint32_t words[2];
    const uint8_t wire[8] = {0, 0, 0, 1, 0x26, 0x01, 0x3F, 0x37};
    memcpy(words, wire, sizeof words);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0x26013F37u);
}

aPacket* packet(std::vector<uint8_t> data) {
    return aPacket_CreateWithData(6, static_cast<uint8_t>(data.size()), data.data());
}

TEST(UEI, PayloadKinds) {
    for (int cmd = 0; cmd < 256; cmd++) {
        aPacket* p = packet({static_cast<uint8_t>(cmd), 1, 0});
        bool notUEI = cmd == 0 || cmd == 1 || cmd == 2 || cmd == 4 || cmd == 8 || cmd == 9 ||
                      cmd == 23 || cmd == 24 || cmd == 73 || cmd == 94 || cmd == 95 || cmd == 173 ||
                      cmd == 175;
        EXPECT_EQ(aUEI_isNotUEIPayload(p), notUEI) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(p), !notUEI) << cmd;
        aPacket_Destroy(&p);
    }
    EXPECT_TRUE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));

    struct {
        std::vector<uint8_t> data;
        bool stream;
    } cases[] = {
        {{3, 9, 0x40, 1, 2}, true},         // a sample of option 9, index 0
        {{3, 9, 0x40, 1}, false},           // four data bytes are not enough
        {{3, 9 | 0x40, 0x40, 1, 2}, false}, // a get request
        {{3, 9 | 0x80, 0x40, 1, 2}, false}, // a set request
        {{3, 9, 0x20, 1, 2}, false},        // no stream flag
        {{95, 9, 0x40, 1, 2}, false},       // not a UEI payload
    };
    for (const auto& c : cases) {
        aPacket* p = packet(c.data);
        EXPECT_EQ(aUEI_isStreamPacket(p), c.stream) << testing::PrintToString(c.data);
        aPacket_Destroy(&p);
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(UEI, ByteArraySequence) {
    std::vector<uint8_t> data(27, 0xAA);
    data.back() = 0x80 | 5;
    aPacket* p = packet(data);
    EXPECT_EQ(aUEI_getBytesSequence(p), 5);
    EXPECT_EQ(aUEI_getBytesContinue(p), 1);
    EXPECT_TRUE(aUEI_getBytesFullPacket(p));
    aPacket_Destroy(&p);

    p = packet({3, 4, 0x20, 1, 2, 0x03});
    EXPECT_EQ(aUEI_getBytesSequence(p), 3);
    EXPECT_EQ(aUEI_getBytesContinue(p), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(p));
    aPacket_Destroy(&p);

    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

} // namespace
