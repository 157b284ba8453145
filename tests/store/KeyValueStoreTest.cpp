// Attribute files: reading, typed access, change tracking and saving.
#include "KeyValueStore.h"
#include "FileFixtures.h"
#include "RunProgram.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <unistd.h>

using qbtest::LogCapture;
using qbtest::ReadFile;
using qbtest::TempDir;
using qbtest::WriteText;

namespace {

const std::regex
    TIME_TEXT("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
              "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    EXPECT_EQ(start, text.size()) << "file does not end in a newline";
    return out;
}

} // namespace

TEST(KeyValueStoreRead, LineSyntax) {
    TempDir dir;
    WriteText(dir / "a.settings", " LATEST_DOWNLOAD =  12345.bird  \n"
                                  "A=\n"
                                  "#COMMENT=1\n"
                                  " #NOT_COMMENT=1\n"
                                  "x\n"
                                  "=novalue\n"
                                  "no equals sign here\n"
                                  "EXPR=a=b  c \n"
                                  "DUP=1\n"
                                  "\tTAB\t=\tv\r\n"
                                  "DUP=2\n"
                                  "\n"
                                  "END=last line without newline");
    KeyValueStore store;
    store.Add("KEPT", "from before");
    EXPECT_EQ(store.Load(dir / "a.settings"), aErrNone);
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(store.GetPath(), dir / "a.settings");
    const std::map<std::string, std::string> expected = {
        {"LATEST_DOWNLOAD", "12345.bird"},
        {"A", ""},
        {"#NOT_COMMENT", "1"},
        {"EXPR", "a=b  c"},
        {"DUP", "2"},
        {"TAB", "v"},
        {"END", "last line without newline"},
        {"KEPT", "from before"},
    };
    EXPECT_EQ(store.Entries(), expected);
    EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 12345);
    EXPECT_EQ(store.GetInt("A", 7), 7);
}

TEST(KeyValueStoreRead, LineTooLongForTheBufferEndsTheReading) {
    TempDir dir;
    std::string fits = "FITS=" + std::string(2047 - 6, 'v') + "\n"; // 2047 with its newline
    std::string tooLong = "LONG=" + std::string(2048 - 6, 'v') + "\n";
    WriteText(dir / "long", "FIRST=1\n" + fits + tooLong + "AFTER=1\n");
    KeyValueStore store(dir / "long");
    EXPECT_EQ(store["FIRST"], "1");
    EXPECT_EQ(store["FITS"]->size(), 2047u - 6);
    EXPECT_FALSE(store["LONG"].has_value());
    EXPECT_FALSE(store["AFTER"].has_value());
}

TEST(KeyValueStoreGet, TypedGettersAndTheirDefaults) {
    KeyValueStore store;
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"WORD", "true"},
             {"TWO", "2"},
             {"ZERO", "0"},
             {"EMPTY", ""},
             {"HEX", "0x1F"},
             {"BAREHEX", "ff"},
             {"NEG", " -12abc"},
             {"REAL", "2.5"},
             {"HUGE", "99999999999"},
         }) {
        store.Add(key, value);
    }
    EXPECT_FALSE(store.GetBOOL("WORD", true));
    EXPECT_TRUE(store.GetBOOL("TWO", false));
    EXPECT_FALSE(store.GetBOOL("ZERO", true));
    EXPECT_TRUE(store.GetBOOL("EMPTY", true));
    EXPECT_FALSE(store.GetBOOL("EMPTY", false));
    EXPECT_EQ(store.GetHex("HEX", 0), 0x1Fu);
    EXPECT_EQ(store.GetHex("BAREHEX", 0), 0xFFu);
    EXPECT_EQ(store.GetHex("EMPTY", 0xABC), 0xABCu);
    EXPECT_EQ(store.GetInt("NEG", 0), -12);
    EXPECT_EQ(store.GetInt("HUGE", 0), INT32_MAX);
    EXPECT_EQ(store.GetInt("WORD", 5), 0);
    EXPECT_DOUBLE_EQ(store.GetDouble("REAL", 0), 2.5);
    EXPECT_DOUBLE_EQ(store.GetDouble("EMPTY", 1.25), 1.25);
    EXPECT_EQ(store.GetString("EMPTY", "default"), "");
    EXPECT_EQ(store.GetString("ABSENT", "default"), "default");
    EXPECT_EQ(store.GetString("ABSENT"), "");
    EXPECT_FALSE(store["ABSENT"].has_value());
    EXPECT_EQ(store.Entries().count("ABSENT"), 0u);
}

TEST(KeyValueStoreGet, TypedGettersAddAnAbsentKeyThatIsSavedEmpty) {
    TempDir dir;
    KeyValueStore store(dir / "s");
    store.Save();
    ASSERT_FALSE(store.IsDirty());
    EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 0);
    EXPECT_EQ(store.GetHex("H", 3), 3u);
    EXPECT_FALSE(store.GetBOOL("B", false));
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 0), 0);
    EXPECT_FALSE(store.IsDirty());
    store.Save();
    std::string text = "\n" + ReadFile(dir / "s");
    for (const char* line : {"\nB=\n", "\nD=\n", "\nH=\n", "\nLATEST_DOWNLOAD=\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    }
}

TEST(KeyValueStoreSet, SettersFormatTheirValuesAndMarkOnlyRealChanges) {
    KeyValueStore store;
    store.Add("I", -5);
    store.Add("D", 2.5);
    store.AddHex("X", 0xAB);
    store.Add("T", "text");
    store.Add("S", std::string("string"));
    EXPECT_EQ(
        store.Entries(),
        (std::map<std::string, std::string>{
            {"I", "-5"}, {"D", "2.500000"}, {"X", "0x000000AB"}, {"T", "text"}, {"S", "string"}}));

    TempDir dir;
    KeyValueStore clean(dir / "clean");
    clean.Save();
    ASSERT_FALSE(clean.IsDirty());
    clean.Add("N", 5);
    EXPECT_TRUE(clean.IsDirty());
    clean.Save();
    clean.Add("N", 5);
    clean.Add("N", std::string("5"));
    EXPECT_FALSE(clean.IsDirty());
    clean.Add(KeyValueStore());
    EXPECT_FALSE(clean.IsDirty());
    clean.Add(store);
    EXPECT_TRUE(clean.IsDirty());
    EXPECT_EQ(clean["T"], "text");
    clean.Save();
    clean.Clear();
    EXPECT_TRUE(clean.IsDirty());
    EXPECT_TRUE(clean.Entries().empty());
}

TEST(KeyValueStoreFile, MissingFileIsCreatedWithTwoEqualStamps) {
    TempDir dir;
    std::string path = dir / ".settings";
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store;
    EXPECT_NE(store.Load(path), aErrNone);
    EXPECT_EQ(log.text(), "Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n");
    EXPECT_FALSE(store.IsDirty());
    std::vector<std::string> got = lines(ReadFile(path));
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(got[0].rfind("CREATED_TIME=", 0), 0u);
    ASSERT_EQ(got[1].rfind("UPDATED_TIME=", 0), 0u);
    std::string created = got[0].substr(13);
    EXPECT_EQ(created, got[1].substr(13));
    EXPECT_TRUE(std::regex_match(created, TIME_TEXT)) << created;
    EXPECT_EQ(store["CREATED_TIME"], created);
}

TEST(KeyValueStoreFile, SaveWritesSortedLinesAndStampsOnlyChanges) {
    TempDir dir;
    std::string path = dir / "s";
    const std::string original = "UPDATED_TIME=Mon Jan  1 00:00:00 2024\n"
                                 "LATEST_DOWNLOAD=12345.bird\n"
                                 "CREATED_TIME=Sun Dec 31 23:59:59 2023\n"
                                 "LAST_DOWNLOAD_DATE=Mon Jan  1 00:00:00 2024\n"
                                 "a=lower case after upper case\n";
    WriteText(path, original);
    KeyValueStore store(path);
    store.Save();
    const std::string sorted = "CREATED_TIME=Sun Dec 31 23:59:59 2023\n"
                               "LAST_DOWNLOAD_DATE=Mon Jan  1 00:00:00 2024\n"
                               "LATEST_DOWNLOAD=12345.bird\n"
                               "UPDATED_TIME=Mon Jan  1 00:00:00 2024\n"
                               "a=lower case after upper case\n";
    EXPECT_EQ(ReadFile(path), sorted);

    store.Add("LATEST_DOWNLOAD", "12350.bird");
    store.Save();
    std::vector<std::string> got = lines(ReadFile(path));
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "CREATED_TIME=Sun Dec 31 23:59:59 2023");
    EXPECT_EQ(got[1], "LAST_DOWNLOAD_DATE=Mon Jan  1 00:00:00 2024");
    EXPECT_EQ(got[2], "LATEST_DOWNLOAD=12350.bird");
    EXPECT_TRUE(std::regex_match(got[3].substr(13), TIME_TEXT)) << got[3];
    EXPECT_NE(got[3], "UPDATED_TIME=Mon Jan  1 00:00:00 2024");
    EXPECT_FALSE(store.IsDirty());
}

TEST(KeyValueStoreFile, TimeTextIsTheCalendarFormWithoutNewline) {
    time_t now = time(nullptr);
    std::string text = KeyValueStore::TimeText();
    char reference[32];
    ctime_r(&now, reference);
    ASSERT_EQ(text.size(), 24u);
    EXPECT_TRUE(std::regex_match(text, TIME_TEXT)) << text;
    // Equal unless the second turned in between.
    EXPECT_EQ(text.substr(0, 10), std::string(reference, 10));
}

TEST(KeyValueStoreFile, SaveWithoutAnyPathUsesTheDefaultName) {
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    {
        LogCapture log(DEBUG_Attributes);
        KeyValueStore store;
        store.Add("K", "v");
        store.Save();
        EXPECT_EQ(store.GetPath(), ".settings");
        EXPECT_EQ(log.text(),
                  "Attibutes: no filename given for attributes, using default:[.settings]\n");
    }
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_NE(ReadFile(dir / ".settings").find("K=v\n"), std::string::npos);
}

TEST(KeyValueStoreFile, UnwritableFileKeepsTheStoreChanged) {
    TempDir dir;
    std::string path = dir / "missing-dir/s";
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store;
    store.Add("K", "v");
    store.Save(path);
    EXPECT_TRUE(store.IsDirty());
    EXPECT_EQ(store.GetPath(), path);
    EXPECT_EQ(log.text(),
              "Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n");
}

// A full disk half-way through a save must not cost the file its old lines.
TEST(KeyValueStoreFile, FailedSaveLeavesTheOldFileWhole) {
    TempDir dir;
    std::string path = dir / ".settings";
    const std::string original = "CREATED_TIME=Sun Dec 31 23:59:59 2023\nLATEST_DOWNLOAD=1.bird\n";
    WriteText(path, original);
    KeyValueStore store(path);
    store.Add("BIG", std::string(64 * 1024, 'x'));
    {
        qbtest::FileSizeLimit full(4096);
        LogCapture log(DEBUG_Attributes);
        store.Save();
        EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                                  path + "' (27)\n"),
                  std::string::npos)
            << log.text();
    }
    EXPECT_TRUE(store.IsDirty());
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(qbtest::ListNames(dir.path()), std::vector<std::string>{".settings"});

    store.Save();
    EXPECT_FALSE(store.IsDirty());
    EXPECT_NE(ReadFile(path).find("BIG=xxx"), std::string::npos);
    EXPECT_EQ(qbtest::ListNames(dir.path()), std::vector<std::string>{".settings"});
}

// A person may keep the attribute file elsewhere and link to it; saving
// writes through the link instead of putting a plain file in its place.
TEST(KeyValueStoreFile, SaveThroughASymbolicLinkKeepsTheLink) {
    TempDir dir;
    std::filesystem::create_directory(dir / "kept");
    std::string real = dir / "kept/settings.txt";
    std::string link = dir / ".settings";
    WriteText(real, "LATEST_DOWNLOAD=1.bird\n");
    std::filesystem::create_symlink(real, link);

    KeyValueStore store(link);
    store.Add("LATEST_DOWNLOAD", "2.bird");
    store.Save();

    EXPECT_FALSE(store.IsDirty());
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_NE(ReadFile(real).find("LATEST_DOWNLOAD=2.bird\n"), std::string::npos);
    EXPECT_EQ(qbtest::ListNames(dir / "kept"), std::vector<std::string>{"settings.txt"});
}
