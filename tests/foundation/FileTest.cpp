// The file layer: handles, modes, reads, lines, seeks and deletion.
#include "TempDir.h"
#include "aFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using qbtest::TempDir;

namespace {

std::string write(const TempDir& dir, const std::string& name, const std::string& content) {
    std::string path = dir / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

TEST(File, OpenRefusals) {
    TempDir dir;
    std::string path = write(dir, "f", "abcd");
    EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open((dir / "missing").c_str(), aFileModeRead), nullptr);
    std::string longPath(aFILE_MAX_PATH + 1, 'a');
    EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWrite), nullptr);
    EXPECT_FALSE(aFile_Exists(longPath.c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str())); // a directory is not a file
    EXPECT_TRUE(aFile_Exists(path.c_str()));
}

TEST(File, ModesAndReads) {
    TempDir dir;
    std::string path = write(dir, "f", "abcd");
    aFileRef w = aFile_Open((dir / "w").c_str(), aFileModeWrite);
    ASSERT_NE(w, nullptr);
    char buffer[16];
    size_t count = 99;
    EXPECT_EQ(aFile_Read(w, buffer, 1, &count), aErrMode);
    EXPECT_EQ(aFile_Write(w, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Close(&w), aErrNone);
    EXPECT_EQ(w, nullptr);
    EXPECT_EQ(aFile_Close(&w), aErrParam); // the variable was cleared

    aFileRef r = aFile_Open(path.c_str(), aFileModeRead);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(aFile_Write(r, "x", 1, &count), aErrMode);
    EXPECT_EQ(aFile_Read(r, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
    EXPECT_EQ(aFile_Printf(r, "%d", 1), aErrMode);
    EXPECT_EQ(aFile_Read(r, buffer, 10, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(aFile_Read(r, buffer, 10, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Close(&r), aErrNone);
}

TEST(File, WriteAppendAndPrintf) {
    TempDir dir;
    std::string path = dir / "a";
    aFileRef f = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(f, nullptr);
    size_t count = 0;
    EXPECT_EQ(aFile_Write(f, "ab", 2, &count), aErrNone);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(aFile_SetUnbuffered(f), aErrNone);
    EXPECT_EQ(aFile_Printf(f, "%s=%d\n", "k", 7), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    // Reopened for appending and reading: positioned at the end.
    f = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(f, nullptr);
    size_t position = 0;
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, 6u);
    char none = 0;
    EXPECT_NE(aFile_Read(f, &none, 1, &count), aErrNone);
    EXPECT_EQ(aFile_Write(f, "z", 1, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "abk=7\nz");
}

TEST(File, ReadLine) {
    TempDir dir;
    std::string path = write(dir, "lines", "abcdefg\nabcdef\nlast");
    aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr);
    char buffer[8];
    size_t length = 99;
    struct Step {
        aErr result;
        std::string text;
    };
    const Step steps[] = {
        {aErrOverrun, "abcdefg"}, // fills the buffer without its newline
        {aErrNone, "\n"},         // the rest of that line
        {aErrNone, "abcdef\n"},   // exactly seven characters fit
        {aErrNone, "last"},       // a last line without newline
        {aErrEOF, ""},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof buffer, &length), s.result) << s.text;
        EXPECT_EQ(std::string(buffer), s.text);
        EXPECT_EQ(length, s.text.size());
    }
    EXPECT_EQ(aFile_ReadLine(f, buffer, 1, &length), aErrParam);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST(File, SizeSeekAndPosition) {
    TempDir dir;
    std::string path = write(dir, "s", "0123456789");
    aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr);
    size_t size = 0;
    size_t position = 99;
    EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
    char c;
    ASSERT_EQ(aFile_Read(f, &c, 1, nullptr), aErrNone);
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, 1u); // the size query keeps the position

    struct Case {
        uint64_t offset;
        int origin;
        aErr result;
        size_t position; // after the call
    };
    const Case cases[] = {
        {0, aSeekEnd, aErrNone, 10},
        {1, aSeekEnd, aErrRange, 10},
        {3, aSeekStart, aErrNone, 3},
        {2, aSeekCurrent, aErrNone, 5},
        {static_cast<uint64_t>(-1), aSeekEnd, aErrNone, 9}, // wraps back by one
        {static_cast<uint64_t>(-20), aSeekCurrent, aErrRange, 9},
        {11, aSeekStart, aErrRange, 9},
        {0, 7, aErrParam, 9},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(aFile_Seek(f, k.offset, k.origin), k.result) << k.offset << " " << k.origin;
        EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
        EXPECT_EQ(position, k.position);
    }
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 0, aSeekStart), aErrParam);
}

TEST(File, Delete) {
    TempDir dir;
    std::string path = write(dir, "d", "x");
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete(std::string(aFILE_MAX_PATH + 1, 'a').c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Delete((dir / "missing").c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO); // a directory is not a file
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));

    if (geteuid() != 0) {
        std::string locked = dir / "locked";
        ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
        std::string inner = write(dir, "locked/f", "x");
        ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
        EXPECT_EQ(aFile_Delete(inner.c_str()), aErrPermission);
    }
}

} // namespace
