// The writer's text format and program: what fixtures and demos are made with.
#include "BirdFile.h"
#include "BirdWriter.h"
#include "FileFixtures.h"
#include "RunProgram.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <string>

namespace bird = qbsim::bird;
using qbtest::TempDir;

TEST(BirdWriterText, DescriptionGivesTheBlocksItNames) {
    TempDir dir;
    qbtest::WriteBytes(dir / "image.bin", {0xAB, 0xCD, 0xEF});
    bird::Description d = bird::Parse("# sample\n"
                                      "info build=12345 version=1.4.2 serial=40F5849A "
                                      "model=\"QB ROUTER\"  # padded to 16\n"
                                      "loader address=0x10 flags=2 hex=01:02\n"
                                      "firmware address=0x8000 file=image.bin length=99\n"
                                      "serial-offsets serial=0x8001 descriptor=16\n"
                                      "start-address 0x20001000\n"
                                      "block type=31 flags=7 fill=counter size=1K\n"
                                      "key 1 2 3 0xFFFFFFFF\n"
                                      "count 9\n",
                                      dir.path());
    ASSERT_EQ(d.blocks.size(), 6u);
    EXPECT_EQ(std::string(d.blocks[0].bytes.begin(), d.blocks[0].bytes.end()),
              "12345           1.4.2           40F5849A        QB ROUTER       ");
    EXPECT_EQ(d.blocks[1].type, bird::TYPE_LOADER);
    EXPECT_EQ(d.blocks[1].flags, 2);
    EXPECT_EQ(d.blocks[1].address, 0x10u);
    EXPECT_EQ(d.blocks[2].bytes, (std::vector<uint8_t>{0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(d.blocks[2].declaredLength, 99u);
    EXPECT_EQ(d.blocks[3].bytes, (std::vector<uint8_t>{0, 0, 0x80, 0x01, 0, 0, 0, 16}));
    EXPECT_EQ(d.blocks[4].bytes, (std::vector<uint8_t>{0x20, 0x00, 0x10, 0x00}));
    EXPECT_EQ(d.blocks[5].bytes.size(), 1024u);
    EXPECT_EQ(d.key, (bird::Key{1, 2, 3, 0xFFFFFFFF}));
    EXPECT_EQ(d.declaredCount, 9u);
}

TEST(BirdWriterText, MistakesNameTheirLine) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"version 0x0101\nbogus\n", "line 2: unknown directive 'bogus'"},
        {"info model=ABCDEFGHIJKLMNOPQ", "line 1: information field longer than 16"},
        {"block type=32", "line 1: type must be 0..31"},
        {"firmware address=0x100000000", "line 1: number '0x100000000' too large"},
        {"firmware address=0 flags=8", "line 1: flags must be 0..7"},
        {"loader address=0 hex=123", "line 1: odd number of hex digits"},
        {"loader address=0 hex=00 fill=zero size=4", "line 1: a block takes one of"},
        {"loader address=0 colour=red", "line 1: unknown argument 'colour'"},
        {"key 1 2 3", "line 1: key takes four"},
        {"firmware fill=sparse size=1", "line 1: unknown fill 'sparse'"},
        {"\n\nfirmware file=/nonexistent/x.bin", "line 3: cannot read /nonexistent/x.bin"},
        {"info model=\"open", "line 1: unterminated quote"},
    };
    for (const Case& c : cases) {
        try {
            bird::Parse(c.text);
            ADD_FAILURE() << c.text;
        } catch (const bird::WriterError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
    }
}

TEST(BirdWriterFill, SeededContentRepeatsAndVaries) {
    for (bird::Fill fill : {bird::Fill::Random, bird::Fill::Code, bird::Fill::Image}) {
        std::vector<uint8_t> a = bird::Generate(fill, 70000, 5);
        EXPECT_EQ(a.size(), 70000u);
        EXPECT_EQ(a, bird::Generate(fill, 70000, 5));
        EXPECT_NE(a, bird::Generate(fill, 70000, 6));
    }
}

TEST(BirdWriterProgram, WritesFilesTheToolLoads) {
    TempDir dir;
    qbtest::WriteText(dir / "desc.txt", "info build=7 version=2.1 serial=0000ABCD model=QB-HUB\n"
                                        "firmware address=0x4000 fill=code size=4K seed=3\n");
    const std::string tool = BIRDWRITER_PATH;
    qbtest::ProgramResult result = qbtest::RunProgram(
        {tool, "-o", dir / "out.bird", dir / "desc.txt", "-e", "block type=3 text=extra"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(BirdFile::VerifyFile(dir / "out.bird"));
    BirdFile file(dir / "out.bird");
    ASSERT_EQ(file.GetBlocks().size(), 3u);
    EXPECT_EQ(file.GetBuild(), 7u);
    EXPECT_EQ(file.GetVersion(), "2.1");
    EXPECT_EQ(file.GetSerialNumber(), 0xABCDu);
    EXPECT_EQ(file.GetBlocks()[1].address, 0x4000u);
    EXPECT_EQ(file.GetBlocks()[1].length, 4u + 4096);
    EXPECT_EQ(file.GetBlocks()[2].type, 3);

    // The same description as a stream, from standard input: what the file
    // inflates to.
    qbtest::ProgramOptions fromInput;
    fromInput.input = qbtest::ReadFile(dir / "desc.txt");
    result =
        qbtest::RunProgram({tool, "--stream", "-", "-e", "block type=3 text=extra"}, fromInput);
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(result.out.size(), file.GetDataSize());
    EXPECT_EQ(memcmp(result.out.data(), file.GetData(), result.out.size()), 0);

    result = qbtest::RunProgram({tool, "-e", "bogus", "-o", dir / "x.bird"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kestrane-birdwriter: line 1: unknown directive 'bogus'\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "x.bird"));
    result = qbtest::RunProgram({tool, "--frobnicate"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("usage: kestrane-birdwriter"), std::string::npos);
}
