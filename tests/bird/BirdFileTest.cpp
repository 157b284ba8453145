// Loading and scanning BIRD files made by the writer, well-formed and broken.
#include "BirdFile.h"
#include "BirdWriter.h"
#include "FileFixtures.h"
#include "RunProgram.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>

namespace bird = qbsim::bird;
using qbtest::LogCapture;
using qbtest::TempDir;

namespace {

std::string write(const TempDir& dir, const std::string& name, const bird::Description& d) {
    std::string path = dir / name;
    bird::WriteFile(path, d);
    return path;
}

// Seven blocks of every kind, with flags and addresses.
bird::Description sampleDescription() {
    bird::Description d;
    d.Loader(0x10000000, bird::Generate(bird::Fill::Counter, 100, 1), 2)
        .Info("12345", "1.4.2", "40F5849A", "QB-ROUTER")
        .Firmware(0x00000000, bird::Generate(bird::Fill::Code, 300, 7))
        .Other(3, {0xDE, 0xAD, 0xBE, 0xEF})
        .Firmware(0x00008000, bird::Generate(bird::Fill::Random, 50, 3), 1)
        .StartAddress(0x20001000)
        .Other(31, {}, 7);
    return d;
}

} // namespace

TEST(BirdFileVerify, AcceptsOnlyTheSignatureWithNonZeroVersionBytes) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool accepted;
    } cases[] = {
        {"version 0101", {'b', 'i', 'r', 'd', 0x01, 0x01, 0x78}, true},
        {"header only", {'b', 'i', 'r', 'd', 0x01, 0x01}, true},
        {"version 0100", {'b', 'i', 'r', 'd', 0x01, 0x00, 0x78}, false},
        {"version 0001", {'b', 'i', 'r', 'd', 0x00, 0x01, 0x78}, false},
        {"five bytes", {'b', 'i', 'r', 'd', 0x01}, false},
        {"empty", {}, false},
        {"upper case", {'B', 'I', 'R', 'D', 0x01, 0x01, 0x78}, false},
    };
    for (const Case& c : cases) {
        std::string path = dir / "verify.bird";
        qbtest::WriteBytes(path, c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path), c.accepted) << c.name;
    }

    LogCapture log(DEBUG_BirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile(dir / "missing.bird"));
    EXPECT_EQ(log.text(),
              "BIRDFILE: Error - cannot open bird file: '" + (dir / "missing.bird") + "'\n");
}

TEST(BirdFileLoad, WellFormedFileGivesEveryBlockInFileOrder) {
    TempDir dir;
    bird::Description d = sampleDescription();
    std::string path = write(dir, "sample.bird", d);
    std::vector<uint8_t> stream = bird::BuildStream(d);

    LogCapture log(DEBUG_BirdFile);
    BirdFile file(path);
    EXPECT_EQ(file.GetPath(), path);
    EXPECT_EQ(file.GetSignature(), BIRD_FILE_SIGNATURE);
    EXPECT_EQ(file.GetFileVersion(), 0x0101u);
    EXPECT_EQ(file.GetDataSize(), stream.size());
    ASSERT_EQ(memcmp(file.GetData(), stream.data(), stream.size()), 0);
    EXPECT_EQ(file.GetChecksum(), GetInt(stream.data() + stream.size() - 4));
    EXPECT_FALSE(file.HasSerialOffsets());

    ASSERT_EQ(file.GetBlockCount(), 7u);
    const std::vector<BirdBlock>& blocks = file.GetBlocks();
    ASSERT_EQ(blocks.size(), 7u);
    struct Expect {
        uint8_t type, flags;
        uint32_t address;
    } expect[] = {{0, 2, 0x10000000}, {4, 0, 0}, {1, 0, 0}, {3, 0, 0},
                  {1, 1, 0x8000},     {5, 0, 0}, {31, 7, 0}};
    for (size_t i = 0; i < blocks.size(); ++i) {
        std::vector<uint8_t> payload = bird::Payload(d.blocks[i], d.key);
        EXPECT_EQ(blocks[i].type, expect[i].type) << i;
        EXPECT_EQ(blocks[i].flags, expect[i].flags) << i;
        EXPECT_EQ(blocks[i].address, expect[i].address) << i;
        ASSERT_EQ(blocks[i].length, payload.size()) << i;
        EXPECT_GE(blocks[i].data, file.GetData());
        EXPECT_LE(blocks[i].data + blocks[i].length, file.GetData() + file.GetDataSize());
        EXPECT_EQ(std::vector<uint8_t>(blocks[i].data, blocks[i].data + blocks[i].length), payload)
            << i;
    }
    // The start-address block is not read as a load address.
    EXPECT_EQ(GetInt(blocks[5].data), 0x20001000u);

    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(firmware[0].data, blocks[2].data);
    EXPECT_EQ(firmware[1].data, blocks[4].data);
    EXPECT_TRUE(file.FindBlocks(9).empty());

    std::string text = log.text();
    EXPECT_NE(text.find("BIRDFILE: Loading File [" + path + "]\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t File reports 7 blocks\n"
                        "BIRDFILE: Bird file objects:\n"
                        "BIRDFILE: \t\tType Flags Length\n"
                        "BIRDFILE:\t\t 00   02   104\n"
                        "BIRDFILE:\t\t 04   00   64\n"
                        "BIRDFILE:\t\t \t[12345           ]\n"
                        "BIRDFILE:\t\t \t[1.4.2           ]\n"
                        "BIRDFILE:\t\t \t[40F5849A        ]\n"
                        "BIRDFILE:\t\t \t[QB-ROUTER       ]\n"
                        "BIRDFILE:\t\t 01   00   304\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("BIRDFILE:\t\t 1F   07   0\n"), std::string::npos);
    char checksum[64];
    snprintf(checksum, sizeof checksum, "BIRDFILE:\t\t File checksum %08X\n", file.GetChecksum());
    EXPECT_NE(text.find(checksum), std::string::npos);
    EXPECT_EQ(text.find("mismatch"), std::string::npos);
}

TEST(BirdFileLoad, TypeByteSplitsIntoTypeAndFlags) {
    bird::Description d;
    d.Firmware(0x100, {1, 2, 3, 4}, 1).Info("1", "v", "0", "M", 7);
    std::vector<uint8_t> stream = bird::BuildStream(d);
    ASSERT_EQ(stream[4], 0x21); // as written
    ASSERT_EQ(stream[4 + 5 + 8], 0xE4);

    BirdFile file;
    EXPECT_TRUE(file.ScanBlocks(stream.data(), static_cast<uint32_t>(stream.size())));
    ASSERT_EQ(file.GetBlocks().size(), 2u);
    EXPECT_EQ(file.GetBlocks()[0].type, 1);
    EXPECT_EQ(file.GetBlocks()[0].flags, 1);
    EXPECT_EQ(file.GetBlocks()[0].address, 0x100u);
    EXPECT_EQ(file.GetBlocks()[1].type, 4);
    EXPECT_EQ(file.GetBlocks()[1].flags, 7);
}

// Every fault is scanned from an allocation of exactly the stream's size, so
// that the sanitizer build sees any read past its end.
TEST(BirdFileScan, StreamFaultsAreReportedWithoutReadingPastTheEnd) {
    auto base = [] {
        bird::Description d;
        d.Loader(0x2000, {1, 2, 3, 4, 5, 6}).Other(3, {7, 8}).Firmware(0, {9, 10, 11});
        return d;
    };
    struct Case {
        const char* name;
        void (*change)(bird::Description&);
        bool result;
        size_t recorded;
        const char* logged;
    } cases[] = {
        {"well formed", [](bird::Description&) {}, true, 3, nullptr},
        {"count one more", [](bird::Description& d) { d.declaredCount = 4; }, false, 3,
         "mismatch in number of blocks. (3 != 4)"},
        {"count one less", [](bird::Description& d) { d.declaredCount = 2; }, false, 3,
         "mismatch in number of blocks. (3 != 2)"},
        // With more than four bytes left the checksum reads as a block header
        // whose length runs past the end: checksum and extra bytes are left.
        {"bytes after the checksum",
         [](bird::Description& d) {
             d.trailing = {0, 0, 0};
         },
         false, 3, "mismatch in data size. (7 bytes remaining)"},
        {"no checksum", [](bird::Description& d) { d.omitChecksum = true; }, false, 3,
         "mismatch in data size. (-4 bytes remaining)"},
        {"half a checksum", [](bird::Description& d) { d.streamCut = 4 + 15 + 7 + 12 + 2; }, false,
         3, "mismatch in data size. (-2 bytes remaining)"},
        {"length past the end", [](bird::Description& d) { d.blocks[1].declaredLength = 100; },
         false, 1, "mismatch in data size."},
        {"length wrapping with the header",
         [](bird::Description& d) { d.blocks[0].declaredLength = 0xFFFFFFFB; }, false, 0,
         "mismatch in data size."},
        {"largest length", [](bird::Description& d) { d.blocks[2].declaredLength = 0xFFFFFFFF; },
         false, 2, "mismatch in data size."},
        {"cut inside a block header", [](bird::Description& d) { d.streamCut = 4 + 15 + 3; }, false,
         1, "mismatch in data size."},
        {"cut inside a payload", [](bird::Description& d) { d.streamCut = 4 + 15 + 5 + 1; }, false,
         1, "mismatch in data size."},
        {"three bytes", [](bird::Description& d) { d.streamCut = 3; }, false, 0,
         "mismatch in data size."},
        {"empty", [](bird::Description& d) { d.streamCut = 0; }, false, 0,
         "mismatch in data size."},
        {"no blocks", [](bird::Description& d) { d.blocks.clear(); }, true, 0, nullptr},
    };
    for (const Case& c : cases) {
        bird::Description d = base();
        c.change(d);
        std::vector<uint8_t> stream = bird::BuildStream(d);
        std::unique_ptr<uint8_t[]> exact(new uint8_t[stream.size() + (stream.empty() ? 1 : 0)]);
        std::copy(stream.begin(), stream.end(), exact.get());

        LogCapture log(DEBUG_BirdFile);
        BirdFile file;
        EXPECT_EQ(file.ScanBlocks(exact.get(), static_cast<uint32_t>(stream.size())), c.result)
            << c.name;
        EXPECT_EQ(file.GetBlocks().size(), c.recorded) << c.name;
        EXPECT_EQ(file.GetBlockCount(), c.recorded) << c.name;
        std::string text = log.text();
        if (c.logged != nullptr) {
            EXPECT_NE(text.find(c.logged), std::string::npos) << c.name << "\n" << text;
        } else {
            EXPECT_EQ(text.find("mismatch"), std::string::npos) << c.name << "\n" << text;
        }
        for (const BirdBlock& block : file.GetBlocks()) {
            EXPECT_LE(block.data + block.length, exact.get() + stream.size()) << c.name;
        }
    }
}

TEST(BirdFileLoad, InconsistentStreamStillLoads) {
    TempDir dir;
    bird::Description d = sampleDescription();
    d.declaredCount = 8;
    std::string path = write(dir, "lying.bird", d);
    LogCapture log(DEBUG_BirdFile);
    BirdFile file(path);
    EXPECT_EQ(file.GetBlocks().size(), 7u);
    EXPECT_NE(log.text().find("BIRDFILE: Block parsing mismatch in number of blocks. (7 != 8)\n"),
              std::string::npos);

    bird::Description past = sampleDescription();
    past.blocks.back().declaredLength = 1000;
    BirdFile overrun(write(dir, "overrun.bird", past));
    EXPECT_EQ(overrun.GetBlocks().size(), 6u);
}

TEST(BirdFileLoad, StreamInflatingBeyondEightTimesIsRefused) {
    TempDir dir;
    bird::Description d;
    d.Firmware(0, bird::Generate(bird::Fill::Zero, 64 * 1024, 0));
    std::string path = write(dir, "zeros.bird", d);
    ASSERT_LT(qbtest::ReadBytes(path).size() * 8, 64u * 1024);

    LogCapture log(DEBUG_BirdFile);
    BirdFile file;
    EXPECT_THROW(
        {
            try {
                BirdFile rejected(path);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Failed to load bird data");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"),
              std::string::npos);
}

TEST(BirdFileLoad, FilesTooShortForAPayloadFail) {
    TempDir dir;
    const std::vector<uint8_t> header = {'b', 'i', 'r', 'd', 0x01, 0x01};
    for (size_t size : {0, 5, 6}) {
        std::string path = dir / ("short" + std::to_string(size) + ".bird");
        qbtest::WriteBytes(path, std::vector<uint8_t>(header.begin(), header.begin() + size));
        LogCapture log(DEBUG_BirdFile);
        BirdFile file;
        EXPECT_THROW(file = BirdFile(path), std::runtime_error) << size;
        EXPECT_NE(log.text().find("decompressing bird file"), std::string::npos) << size;
    }
}

TEST(BirdFileLoad, BrokenPayloadsFailToLoad) {
    TempDir dir;
    struct Case {
        const char* name;
        void (*change)(bird::Description&);
    } cases[] = {
        {"corrupt zlib byte",
         [](bird::Description& d) {
             d.corruptions = {{40, 0x55}};
         }},
        {"corrupt zlib header",
         [](bird::Description& d) {
             d.corruptions = {{0, 0xFF}};
         }},
        {"file cut short", [](bird::Description& d) { d.fileCut = 100; }},
        {"stream stored raw", [](bird::Description& d) { d.uncompressed = true; }},
    };
    for (const Case& c : cases) {
        bird::Description d = sampleDescription();
        c.change(d);
        std::string path = write(dir, "broken.bird", d);
        LogCapture log(DEBUG_BirdFile);
        BirdFile file;
        EXPECT_THROW(file = BirdFile(path), std::runtime_error) << c.name;
        EXPECT_NE(log.text().find("decompressing bird file.\n"), std::string::npos) << c.name;
        EXPECT_TRUE(file.GetBlocks().empty());
        EXPECT_EQ(file.GetData(), nullptr);
    }
}

TEST(BirdFileLoad, MissingFileIsReported) {
    TempDir dir;
    LogCapture log(DEBUG_BirdFile);
    BirdFile file;
    EXPECT_THROW(file = BirdFile(dir / "none.bird"), std::runtime_error);
    EXPECT_EQ(log.text(), "BIRDFILE: Loading File [" + (dir / "none.bird") +
                              "]\nBIRDFILE: BIRD file not found [" + (dir / "none.bird") + "]\n");
}

TEST(BirdFileLoad, WrongVersionStillLoadsButFailsTheHeaderCheck) {
    TempDir dir;
    bird::Description d = sampleDescription();
    d.version = 0x0100;
    std::string path = write(dir, "old.bird", d);
    EXPECT_FALSE(BirdFile::VerifyFile(path));
    BirdFile file(path);
    EXPECT_EQ(file.GetFileVersion(), 0x0100u);
    EXPECT_EQ(file.GetBlocks().size(), 7u);
}

TEST(BirdFileMove, BlockPointersStayValid) {
    static_assert(!std::is_copy_constructible_v<BirdFile>);
    static_assert(!std::is_copy_assignable_v<BirdFile>);
    static_assert(std::is_nothrow_move_constructible_v<BirdFile>);

    TempDir dir;
    std::string path = write(dir, "move.bird", sampleDescription());
    BirdFile first(path);
    const uint8_t* data = first.GetData();
    std::vector<BirdBlock> before = first.GetBlocks();

    BirdFile second(std::move(first));
    BirdFile third;
    third = std::move(second);
    std::vector<BirdFile> kept;
    kept.push_back(std::move(third));
    kept.emplace_back();

    const BirdFile& moved = kept.front();
    EXPECT_EQ(moved.GetData(), data);
    EXPECT_EQ(moved.GetPath(), path);
    ASSERT_EQ(moved.GetBlocks().size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(moved.GetBlocks()[i].data, before[i].data);
    }
    EXPECT_EQ(moved.FindBlocks(BirdFile::BLOCK_INFO).front().data, before[1].data);
    EXPECT_EQ(moved.GetSerialNumber(), 0x40F5849Au);

    for (const BirdFile* left : {&first, &second, &third}) {
        EXPECT_EQ(left->GetData(), nullptr);
        EXPECT_TRUE(left->GetBlocks().empty());
        EXPECT_EQ(left->GetDataSize(), 0u);
    }
}

TEST(BirdFileDump, BlockOf120BytesIsShownInLinesOf50) {
    std::vector<uint8_t> payload;
    for (int i = 0x20; i < 0x20 + 100; ++i) {
        payload.push_back(static_cast<uint8_t>(i));
    }
    for (int i = 0; i < 4; ++i) {
        payload.insert(payload.end(), {0x00, 0x0A, 0x7F, 0x80, 0xFF});
    }
    ASSERT_EQ(payload.size(), 120u);
    TempDir dir;
    bird::Description d;
    d.Other(6, payload).Other(7, {0x41}).Other(6, {});
    std::string path = write(dir, "dump.bird", d);
    BirdFile file(path);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(file.DumpBlocks(6));
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected =
        "BIRDFILE: BLOCK DUMP [" + path +
        "]\n"
        " \r\n"
        "000000: 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 31 32 33 34 35 36 37 38 39 "
        "3A 3B 3C 3D 3E 3F 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51   "
        "!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQ\r\n"
        "000050: 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E 5F 60 61 62 63 64 65 66 67 68 69 6A 6B "
        "6C 6D 6E 6F 70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E 7F 80 81 82 83  "
        "RSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~     \r\n"
        "000100: 00 0A 7F 80 FF 00 0A 7F 80 FF 00 0A 7F 80 FF 00 0A 7F 80 FF " +
        std::string(1 + 20, ' ') + "\n" +
        // the empty block of the same type: the closing column alone
        " \n"
        "\n";
    EXPECT_EQ(out, expected);
}
