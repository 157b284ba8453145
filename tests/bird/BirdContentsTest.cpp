// What a loaded BIRD file tells about itself, and the in-place patching
// that prepares it for one device.
#include "BirdFile.h"
#include "BirdWriter.h"
#include "FileFixtures.h"
#include "RunProgram.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>

namespace bird = qbsim::bird;
using qbtest::LogCapture;
using qbtest::TempDir;

namespace {

BirdFile load(const TempDir& dir, const bird::Description& d) {
    std::string path = dir / "contents.bird";
    bird::WriteFile(path, d);
    return BirdFile(path);
}

std::vector<uint8_t> buffer(const BirdFile& file) {
    return std::vector<uint8_t>(file.GetData(), file.GetData() + file.GetDataSize());
}

// Positions in the stream: 4 bytes of count, then per block 5 bytes of
// header before its payload.
const uint8_t* image(const BirdFile& file, size_t index) {
    return file.GetBlocks().at(index).data + 4;
}

} // namespace

TEST(BirdFileInfo, FieldsOfTheInformationBlock) {
    TempDir dir;
    bird::Description d;
    d.Info("12345", "1.4.2", "40F5849A", "QB-ROUTER").Info("999", "9.9.9", "00000001", "OTHER");
    BirdFile file = load(dir, d);
    EXPECT_EQ(file.GetBuild(), 12345u);
    EXPECT_EQ(file.GetVersion(), "1.4.2");
    EXPECT_EQ(file.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(file.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(file.ValidateSerialNumber(0x00000001));
}

TEST(BirdFileInfo, FieldsAreReadLikeTheCLibraryConversions) {
    TempDir dir;
    struct Case {
        std::string build, version, serial;
        uint32_t wantBuild;
        std::string wantVersion;
        uint32_t wantSerial;
    } cases[] = {
        {" 42x", "1.4.2-rc1 extra", "40f5849a", 42, "1.4.2-rc1", 0x40F5849A},
        {"99999999999", "ABCDEFGHIJKLMNOP", "40F5849A99", 1215752191, "ABCDEFGHIJKLMNO",
         0x40F5849A},
        {"", " leading", "xyz", 0, "", 0},
        {"123456789012345", "v2", "  00AB", 2249056121u, "v2", 0xAB},
    };
    for (const Case& c : cases) {
        bird::Description d;
        d.Info(c.build, c.version, c.serial, "M");
        BirdFile file = load(dir, d);
        EXPECT_EQ(file.GetBuild(), c.wantBuild) << c.build;
        EXPECT_EQ(file.GetVersion(), c.wantVersion) << c.version;
        EXPECT_EQ(file.GetSerialNumber(), c.wantSerial) << c.serial;
    }
}

TEST(BirdFileInfo, WithoutInformationBlockEverythingIsEmpty) {
    TempDir dir;
    bird::Description d;
    d.Firmware(0, {1, 2, 3});
    BirdFile file = load(dir, d);
    EXPECT_EQ(file.GetBuild(), 0u);
    EXPECT_EQ(file.GetVersion(), "");
    EXPECT_EQ(file.GetSerialNumber(), 0u);
    EXPECT_TRUE(file.ValidateSerialNumber(0));
    EXPECT_FALSE(file.ValidateSerialNumber(1));
    EXPECT_FALSE(file.ValidateModel("QB-ROUTER"));
    EXPECT_FALSE(file.ValidateModel(""));

    BirdFile empty;
    EXPECT_EQ(empty.GetBuild(), 0u);
    EXPECT_FALSE(empty.ValidateModel("X"));
}

TEST(BirdFileInfo, ShortInformationBlockReadsOnlyItsOwnBytes) {
    TempDir dir;
    bird::Description d;
    d.Info("77", "2.0", "40F5849A", "QB-ROUTER");
    d.blocks.back().cut = 20; // the build field and four bytes of the version
    d.Other(3, {'9', '9', '9', '9'});
    BirdFile file = load(dir, d);
    ASSERT_EQ(file.GetBlocks().at(0).length, 20u);
    EXPECT_EQ(file.GetBuild(), 77u);
    EXPECT_EQ(file.GetVersion(), "2.0");
    EXPECT_EQ(file.GetSerialNumber(), 0u);
    EXPECT_FALSE(file.ValidateModel("QB"));
}

TEST(BirdFileModel, NameMatchesTheBeginningOfTheTrimmedField) {
    TempDir dir;
    bird::Description d;
    d.Info("1", "1", "1", "QB-ROUTER");
    BirdFile file = load(dir, d);
    struct Case {
        const char* name;
        bool match;
    } cases[] = {
        {"QB-ROUTER", true},   {"QB-ROU", true},     {"QB-ROUTERX", false},
        {"QB-ROUTER ", false}, {"qb-router", false}, {"QB-SENSOR", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(file.ValidateModel(c.name), c.match) << c.name;
    }
    LogCapture log(DEBUG_BirdFile);
    file.ValidateModel("QB-ROU");
    EXPECT_EQ(log.text(), "Model matches model number ([QB-ROUTER] == [QB-ROU])\n");

    bird::Description full;
    full.Info("1", "1", "1", "ABCDEFGHIJKLMNOP");
    BirdFile sixteen = load(dir, full);
    EXPECT_TRUE(sixteen.ValidateModel("ABCDEFGHIJKLMNOP"));
    EXPECT_FALSE(sixteen.ValidateModel("ABCDEFGHIJKLMNOPQ"));
}

TEST(BirdFileSerial, GenericBuildGetsTheSerialNumberWrittenIn) {
    TempDir dir;
    bird::Description d;
    d.Info("5", "1.0", "00000000", "QB")
        .SerialOffsets(0x1010, 0x1040)
        .Firmware(0x1000, bird::Generate(bird::Fill::Counter, 256, 0))
        .Other(3, {0xAA, 0xBB});

    LogCapture log(DEBUG_BirdFile);
    BirdFile file = load(dir, d);
    EXPECT_TRUE(file.HasSerialOffsets());
    EXPECT_EQ(file.GetSerialNumberOffset(), 0x1010u);
    EXPECT_EQ(file.GetDescriptorOffset(), 0x1040u);
    EXPECT_NE(log.text().find("BIRDFILE: Offsets: Serial number: 4112, Descriptor: 4160\n"),
              std::string::npos);

    std::vector<uint8_t> before = buffer(file);
    EXPECT_TRUE(file.ReplaceSerialNumber(0x0000ABCD));
    EXPECT_NE(log.text().find("BIRDFILE: updating serial number from 13121110 ==> 0000ABCD\n"),
              std::string::npos);

    const uint8_t* img = image(file, 2);
    EXPECT_EQ(std::vector<uint8_t>(img + 0x10, img + 0x14),
              (std::vector<uint8_t>{0xCD, 0xAB, 0x00, 0x00}));
    const char* digits = "0000ABCD";
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(img[0x40 + 2 * i], digits[i]) << i;
        EXPECT_EQ(img[0x40 + 2 * i + 1], 0x40 + 2 * i + 1) << i; // high bytes kept
    }
    // Nothing else changed.
    std::vector<uint8_t> after = buffer(file);
    size_t base = static_cast<size_t>(img - file.GetData());
    for (size_t i = 0; i < after.size(); ++i) {
        bool word = i >= base + 0x10 && i < base + 0x14;
        bool text = i >= base + 0x40 && i < base + 0x50 && (i - base) % 2 == 0;
        if (!word && !text) {
            ASSERT_EQ(after[i], before[i]) << i;
        }
    }
}

TEST(BirdFileSerial, WhereTheFieldsLieDecidesWriteAndResult) {
    TempDir dir;
    // One firmware image of 64 bytes at device address 0x1000..0x1040.
    struct Case {
        const char* name;
        uint32_t serial, descriptor;
        bool result, wordWritten, textWritten;
    } cases[] = {
        {"both inside", 0x1000, 0x1030, true, true, true},
        {"serial below the image", 0x0FFE, 0, true, false, false},
        {"serial outside every image", 0x9000, 0, true, false, false},
        {"serial straddling the image end", 0x103E, 0, true, false, false},
        {"serial in the last four bytes", 0x103C, 0, true, true, false},
        {"descriptor only, inside", 0, 0x1000, true, false, true},
        {"descriptor only, outside", 0, 0x2000, false, false, false},
        {"descriptor straddling the end", 0, 0x1038, false, false, false},
        {"no offsets", 0, 0, false, false, false},
    };
    for (const Case& c : cases) {
        bird::Description d;
        d.SerialOffsets(c.serial, c.descriptor)
            .Firmware(0x1000, std::vector<uint8_t>(64, 0xEE))
            .Other(3, std::vector<uint8_t>(32, 0xEE));
        BirdFile file = load(dir, d);
        std::vector<uint8_t> before = buffer(file);
        EXPECT_EQ(file.ReplaceSerialNumber(0x12345678), c.result) << c.name;
        std::vector<uint8_t> after = buffer(file);
        const uint8_t* img = image(file, 1);
        if (c.wordWritten) {
            EXPECT_EQ(GetInt(img + (c.serial - 0x1000)), 0x78563412u) << c.name;
        }
        if (c.textWritten) {
            EXPECT_EQ(img[c.descriptor - 0x1000], '1') << c.name;
            EXPECT_EQ(img[c.descriptor - 0x1000 + 14], '8') << c.name;
        }
        if (!c.wordWritten && !c.textWritten) {
            EXPECT_EQ(after, before) << c.name;
        }
        // The block after the image is never touched.
        const BirdBlock& other = file.GetBlocks().at(2);
        EXPECT_EQ(std::vector<uint8_t>(other.data, other.data + other.length),
                  std::vector<uint8_t>(32, 0xEE))
            << c.name;
    }

    bird::Description noFirmware;
    noFirmware.SerialOffsets(0x1000, 0x1000).Loader(0x1000, std::vector<uint8_t>(64, 0));
    BirdFile loaderOnly = load(dir, noFirmware);
    EXPECT_FALSE(loaderOnly.ReplaceSerialNumber(1));

    bird::Description twice;
    twice.SerialOffsets(0x1004, 0)
        .Firmware(0x1000, std::vector<uint8_t>(16, 0))
        .Firmware(0x1000, std::vector<uint8_t>(16, 0));
    BirdFile both = load(dir, twice);
    EXPECT_TRUE(both.ReplaceSerialNumber(0xA1B2C3D4));
    EXPECT_EQ(GetInt(image(both, 1) + 4), 0xD4C3B2A1u);
    EXPECT_EQ(GetInt(image(both, 2) + 4), 0xD4C3B2A1u);
}

TEST(BirdFileSerial, ShortOffsetsBlockReadsMissingBytesAsNone) {
    TempDir dir;
    bird::Description d;
    d.SerialOffsets(0x1010, 0x11223344).Firmware(0x1000, std::vector<uint8_t>(64, 0));
    d.blocks.front().cut = 5;
    BirdFile file = load(dir, d);
    EXPECT_TRUE(file.HasSerialOffsets());
    EXPECT_EQ(file.GetSerialNumberOffset(), 0x1010u);
    EXPECT_EQ(file.GetDescriptorOffset(), 0x11000000u);
}

TEST(BirdFileVectorChecksum, SeventhWordBalancesTheTable) {
    TempDir dir;
    // w0..w4 and w6 sum to 0x12345678; w5 stays out of the sum.
    std::vector<uint8_t> table = {
        0x00, 0x00, 0x00, 0x10, // w0 0x10000000
        0x78, 0x56, 0x34, 0x02, // w1 0x02345678
        0x00, 0x00, 0x00, 0x00, // w2
        0x00, 0x00, 0x00, 0x00, // w3
        0x00, 0x00, 0x00, 0x00, // w4
        0xEF, 0xBE, 0xAD, 0xDE, // w5
        0x00, 0x00, 0x00, 0x00, // w6
        0x11, 0x22, 0x33, 0x44, // w7, replaced
        0x99, 0x99,             // code after the table
    };
    bird::Description d;
    d.Firmware(0, table).Firmware(0x8000, table).Firmware(0, std::vector<uint8_t>(28, 0));
    LogCapture log(DEBUG_BirdFile);
    BirdFile file = load(dir, d);
    std::vector<uint8_t> before = buffer(file);
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    EXPECT_NE(log.text().find("BIRDFILE: updating vector checksum from 44332211 ==> EDCBA988\n"),
              std::string::npos);

    const uint8_t* img = image(file, 0);
    EXPECT_EQ(std::vector<uint8_t>(img + 28, img + 34),
              (std::vector<uint8_t>{0x88, 0xA9, 0xCB, 0xED, 0x99, 0x99}));
    // The image at 0x8000 and the one too short for a table are left alone.
    std::vector<uint8_t> after = buffer(file);
    size_t changed = static_cast<size_t>(img + 28 - file.GetData());
    for (size_t i = 0; i < after.size(); ++i) {
        if (i < changed || i >= changed + 4) {
            ASSERT_EQ(after[i], before[i]) << i;
        }
    }
}

TEST(BirdFileDecode, KeyedImagesAreRestoredAndNothingElseChanges) {
    TempDir dir;
    const bird::Key key = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    std::vector<uint8_t> plainA = bird::Generate(bird::Fill::Code, 1000, 11);
    std::vector<uint8_t> plainB = bird::Generate(bird::Fill::Random, 37, 12);
    std::vector<uint8_t> loader = bird::Generate(bird::Fill::Counter, 40, 0);
    bird::Description d;
    d.key = key;
    d.Firmware(0x00010000, plainA).Loader(0x20000000, loader).Firmware(0x00020000, plainB);
    d.Other(3, {1, 2, 3});

    BirdFile file = load(dir, d);
    ASSERT_NE(memcmp(image(file, 0), plainA.data(), plainA.size()), 0);
    std::vector<uint8_t> before = buffer(file);
    const uint32_t words[4] = {key[0], key[1], key[2], key[3]};
    EXPECT_TRUE(file.DecodeFirmwareBlocks(words));

    EXPECT_EQ(memcmp(image(file, 0), plainA.data(), plainA.size()), 0);
    EXPECT_EQ(memcmp(image(file, 2), plainB.data(), plainB.size()), 0);
    // Addresses, the loader, the other block and the checksum are untouched.
    std::vector<uint8_t> after = buffer(file);
    for (size_t i = 0; i < after.size(); ++i) {
        const uint8_t* at = file.GetData() + i;
        bool inImage = false;
        for (size_t b : {0u, 2u}) {
            const BirdBlock& block = file.GetBlocks()[b];
            inImage = inImage || (at >= block.data + 4 && at < block.data + block.length);
        }
        if (!inImage) {
            ASSERT_EQ(after[i], before[i]) << i;
        }
    }
}

TEST(BirdFileDecode, KnownAnswer) {
    // Stored 40 20 under a key starting 01 23: 'A' = 40^01^00, 'B' = 20^23^'A'.
    TempDir dir;
    bird::Description d;
    d.Firmware(0, {0x40, 0x20});
    BirdFile file = load(dir, d);
    const uint32_t key[4] = {0x01234567, 0, 0, 0};
    file.DecodeFirmwareBlocks(key);
    EXPECT_EQ(image(file, 0)[0], 'A');
    EXPECT_EQ(image(file, 0)[1], 'B');
}

TEST(BirdFileValidateData, EveryMatchInFirmwarePayloadsIsFound) {
    TempDir dir;
    bird::Description d;
    d.Firmware(0xCAFE0000, {0x55, 0xAA, 0x00, 0x55, 0xAA, 0x55, 0xAA})
        .Loader(0, {0x77, 0x77})
        .Other(3, {0x12, 0x34});
    BirdFile file = load(dir, d);

    LogCapture log(DEBUG_BirdFile);
    const uint8_t pattern[] = {0x55, 0xAA};
    EXPECT_TRUE(file.ValidateData(pattern, 2));
    // Positions count from the payload start, address included; the last
    // possible position is searched too.
    EXPECT_EQ(log.text(), "BIRDFILE: looking for data pattern in [" + file.GetPath() +
                              "]\nFound data at 4\nFound data at 7\nFound data at 9\n\n");

    const uint8_t address[] = {0xCA, 0xFE};
    EXPECT_TRUE(file.ValidateData(address, 2));
    const uint8_t loaderBytes[] = {0x77, 0x77};
    EXPECT_FALSE(file.ValidateData(loaderBytes, 2));
    const uint8_t otherBytes[] = {0x12, 0x34};
    EXPECT_FALSE(file.ValidateData(otherBytes, 2));
    std::vector<uint8_t> whole(file.GetBlocks()[0].data, file.GetBlocks()[0].data + 11);
    EXPECT_TRUE(file.ValidateData(whole.data(), 11));
    whole.push_back(0);
    EXPECT_FALSE(file.ValidateData(whole.data(), 12));
}

TEST(BirdFilePatching, BlocksTooShortForAnAddressAreHandledSafely) {
    TempDir dir;
    bird::Description d;
    d.SerialOffsets(0x00000000, 0x00000001).Firmware(0, {1, 2, 3}).Firmware(0, {}).Other(3, {9});
    d.blocks[1].cut = 2; // two bytes of address
    d.blocks[2].cut = 0;
    BirdFile file = load(dir, d);
    ASSERT_EQ(file.GetBlocks().size(), 4u);
    EXPECT_EQ(file.GetBlocks()[1].length, 2u);
    EXPECT_EQ(file.GetBlocks()[1].address, 0u);
    std::vector<uint8_t> before = buffer(file);
    const uint32_t key[4] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    EXPECT_FALSE(file.ReplaceSerialNumber(0x12345678));
    const uint8_t pattern[] = {0, 0, 0};
    EXPECT_FALSE(file.ValidateData(pattern, 3));
    EXPECT_EQ(buffer(file), before);
}
