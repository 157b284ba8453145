// Directory operations and path joining.
#include "TempDir.h"
#include "aDirectory.h"
#include "path.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <set>
#include <unistd.h>

using qbtest::TempDir;
namespace fs = std::filesystem;

namespace {

TEST(Directory, EnsureCreatesEveryMissingLevel) {
    TempDir dir;
    std::string deep = dir / "one/two/three";
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0700), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
    EXPECT_EQ(fs::status(dir / "one/two").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0700), aErrNone); // already there
    EXPECT_EQ(aDirectory_Ensure((deep + "/").c_str(), 0700), aErrNone);
    EXPECT_EQ(aDirectory_Ensure((dir / "x//y").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir / "x/y").c_str()));

    // A relative path none of whose components exist.
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    aErr relative = aDirectory_Ensure("r1/r2/r3", 0755);
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(relative, aErrNone);
    EXPECT_TRUE(fs::is_directory(dir / "r1/r2/r3"));
}

TEST(Directory, EnsureFailsOnAFile) {
    TempDir dir;
    std::ofstream(dir / "file") << "x";
    EXPECT_EQ(aDirectory_Ensure((dir / "file").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((dir / "file/below").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

TEST(Directory, BuildPath) {
    struct Case {
        size_t size;
        std::vector<const char*> parts;
        aErr result;
        const char* text;
    };
    const Case cases[] = {
        {64, {"a/", "/b"}, aErrNone, "a//b"}, // neither side gets another separator
        {64, {"a", "b"}, aErrNone, "a/b"},
        {64, {"a/", "b"}, aErrNone, "a/b"},
        {64, {"a", "/b"}, aErrNone, "a/b"},
        {64, {"/", "usr", "lib"}, aErrNone, "/usr/lib"},
        {64, {"", "b"}, aErrNone, "b"},
        {6, {"a", "bc"}, aErrNone, "a/bc"},
        {6, {"a", "bcd"}, aErrOverrun, "a/"},
        {4, {"abc"}, aErrOverrun, ""},
        {64, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, aErrNone, "1/2/3/4/5/6/7/8/9/10"},
        {64, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, aErrParam, ""},
    };
    for (const Case& c : cases) {
        char buffer[64];
        memset(buffer, 'Z', sizeof buffer);
        std::vector<const char*> rest(c.parts.begin() + 1, c.parts.end());
        rest.resize(11, nullptr);
        aErr r = aDirectory_BuildPath(buffer, c.size, c.parts[0], rest[0], rest[1], rest[2],
                                      rest[3], rest[4], rest[5], rest[6], rest[7], rest[8], rest[9],
                                      rest[10], nullptr);
        EXPECT_EQ(r, c.result) << c.text;
        EXPECT_STREQ(buffer, c.text);
    }
    char buffer[16] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer + 1, nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 16, "x", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "dir", "f"), aErrNone);
    EXPECT_STREQ(buffer, "dir/f");
}

TEST(Directory, StringBuildPathAlwaysInsertsTheSeparator) {
    EXPECT_EQ(BuildPath("a/", "b"), "a//b");
    EXPECT_EQ(BuildPath("base", "40F5849A", ".settings"), "base/40F5849A/.settings");
    EXPECT_EQ(BuildPath(std::string("x")), "x");
}

TEST(Directory, BackwardsSearch) {
    const char* text = "a/b/c";
    EXPECT_EQ(backwards_memcmp(text, "/"), text + 3);
    EXPECT_EQ(backwards_memcmp(text, ""), text);
    EXPECT_EQ(backwards_memcmp(text, "x"), nullptr);
    EXPECT_EQ(backwards_memcmp("ab", "abc"), nullptr);
    EXPECT_EQ(backwards_memcmp(text, "a/b/c"), text);
}

bool collect(const aDirectoryListData* entry, void* context) {
    auto* seen = static_cast<std::map<std::string, std::pair<uint32_t, int>>*>(context);
    (*seen)[fs::path(entry->path).filename().string()] = {entry->size, entry->isDirectory};
    return true;
}

bool stopAtOnce(const aDirectoryListData*, void* context) {
    ++*static_cast<int*>(context);
    return false;
}

TEST(Directory, List) {
    TempDir dir;
    std::ofstream(dir / "f") << "12345";
    fs::create_directory(dir / "sub");
    std::map<std::string, std::pair<uint32_t, int>> seen;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &seen), aErrNone);
    EXPECT_EQ(seen.size(), 4u); // ".", "..", "f", "sub"
    EXPECT_EQ(seen["f"], std::make_pair(5u, 0));
    EXPECT_EQ(seen["sub"].second, 1);
    EXPECT_EQ(seen["."].second, 1);

    int calls = 0;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), stopAtOnce, &calls), aErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), collect, &seen), aErrNotFound);
}

TEST(Directory, DeleteTreeNeverFollowsLinks) {
    TempDir dir;
    TempDir outside;
    std::ofstream(outside / "keep") << "x";
    fs::create_directories(dir / "t/a/b");
    std::ofstream(dir / "t/a/b/f") << "x";
    std::ofstream(dir / "t/g") << "x";
    fs::create_directory_symlink(outside.path(), dir / "t/link");
    EXPECT_EQ(aDirectory_DeleteTree((dir / "t").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(dir / "t"));
    EXPECT_TRUE(fs::exists(outside / "keep"));
    EXPECT_EQ(aDirectory_DeleteTree((dir / "t").c_str()), aErrNotFound);

    fs::create_directories(dir / "e");
    std::ofstream(dir / "e/f") << "x";
    EXPECT_EQ(aDirectory_Delete((dir / "e").c_str()), aErrUnknown); // not empty
    fs::remove(dir / "e/f");
    EXPECT_EQ(aDirectory_Delete((dir / "e").c_str()), aErrNone);
}

TEST(Directory, ProcessPaths) {
    char buffer[4096];
    EXPECT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer), fs::current_path());
    EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam);

    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer), fs::read_symlink("/proc/self/exe"));
    char tiny[5];
    EXPECT_EQ(aDirectory_ExecutableFilePath(tiny, sizeof tiny), aErrNone);
    EXPECT_EQ(strlen(tiny), 4u);

    struct passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, pw->pw_dir);
    EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrNone);
    EXPECT_EQ(strlen(tiny), 4u); // cut, but terminated
}

} // namespace
