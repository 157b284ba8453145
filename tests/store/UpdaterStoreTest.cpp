// The store on disk: directories, device lookup, stored builds.
#include "BirdWriter.h"
#include "FileFixtures.h"
#include "RunProgram.h"
#include "TempDir.h"
#include "UpdaterStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace bird = qbsim::bird;
namespace fs = std::filesystem;
using qbtest::LogCapture;
using qbtest::ReadFile;
using qbtest::TempDir;

namespace {

std::string raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing raised)";
}

std::vector<std::string> names(const std::vector<UpdaterStoreItem>& items) {
    std::vector<std::string> out;
    for (const UpdaterStoreItem& item : items) {
        out.push_back(item.name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(UpdaterStoreBase, CreatesTheBaseDirectoryWithItsParents) {
    TempDir dir;
    std::string base = dir / "one/two/three/updater";
    {
        LogCapture log(DEBUG_Updater);
        UpdaterStore store(base);
        EXPECT_EQ(store.BasePath(), base);
        EXPECT_EQ(log.text(), "UpdaterStore: Created directory [" + base + "].\n");
    }
    EXPECT_TRUE(fs::is_directory(base));
    EXPECT_EQ(fs::status(base).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    LogCapture log(DEBUG_Updater);
    UpdaterStore again(base);
    EXPECT_EQ(log.text(), "UpdaterStore: [" + base + "] already exists.\n");
}

TEST(UpdaterStoreBase, FileInTheWayIsAnError) {
    TempDir dir;
    qbtest::WriteText(dir / "file", "x");
    EXPECT_EQ(raised([&] { UpdaterStore store(dir / "file"); }),
              "UpdaterStore: " + (dir / "file") + " exists and is a file");
    EXPECT_EQ(raised([&] { UpdaterStore store(dir / "file/below"); }),
              "UpdaterStore: Could not create directory " + (dir / "file/below") + " error 12");

    UpdaterStore store(dir / "base");
    qbtest::WriteText(dir / "base/0000ABCD", "x");
    EXPECT_EQ(raised([&] { store.AddDevice(0x0000ABCD); }),
              "UpdaterStore: " + (dir / "base/0000ABCD") + " exists and is a file");
}

TEST(UpdaterStoreDevice, AddDeviceMakesTheDirectoryAndItsAttributeFile) {
    TempDir dir;
    UpdaterStore store(dir / "base");
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    EXPECT_EQ(item.path, dir / "base");
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    std::string settings = ReadFile(dir / "base/40F5849A/.settings");
    EXPECT_EQ(std::count(settings.begin(), settings.end(), '\n'), 2);
    EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u);
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);

    // A second time the existing attributes are loaded, not made anew.
    item.attributes.Add("LATEST_DOWNLOAD", "12345.bird");
    item.attributes.Save();
    UpdaterStoreItem again = store.AddDevice(0x40F5849A);
    EXPECT_EQ(again.attributes.GetString("LATEST_DOWNLOAD"), "12345.bird");
    EXPECT_EQ(again.attributes.GetString("CREATED_TIME"),
              item.attributes.GetString("CREATED_TIME"));

    UpdaterStoreItem none;
    EXPECT_EQ(none.kind, STORE_ITEM_NONE);
    EXPECT_FALSE(none.IsValid());
    EXPECT_TRUE(none.attributes.Entries().empty());
}

// The name sought must be the entry's own name: neither a longer name that
// contains it nor a base path that happens to contain it may match.
TEST(UpdaterStoreDevice, FindDeviceMatchesTheWholeEntryName) {
    TempDir dir;
    std::string base = dir / "store-0000ABCD";
    UpdaterStore store(base);
    fs::create_directory(base + "/0000ABCD.old");
    fs::create_directory(base + "/10000ABCD");

    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x0000ABCD, &item));
    EXPECT_FALSE(item.IsValid());
    EXPECT_FALSE(store.FindDevice(std::string("."), nullptr));

    store.AddDevice(0x0000ABCD);
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(store.FindDevice(0x0000ABCD, item));
    EXPECT_EQ(item.path, base);
    EXPECT_EQ(item.name, "0000ABCD");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.attributes["CREATED_TIME"].has_value());
    std::string text = log.text();
    EXPECT_NE(text.find("_find_item([" + base + "/0000ABCD], 1, "), std::string::npos) << text;
    EXPECT_NE(text.find(") searching for 0000ABCD\n"), std::string::npos);
    EXPECT_NE(text.find("UpdaterStore: FindDevice Found 0000ABCD.\n"), std::string::npos);

    EXPECT_TRUE(store.FindDevice(0x0000ABCD));
    LogCapture missing(DEBUG_Updater);
    EXPECT_FALSE(store.FindDevice(0x12345678));
    EXPECT_NE(missing.text().find("UpdaterStore: FindDevice Not Found 12345678.\n"),
              std::string::npos);
}

TEST(UpdaterStoreDevice, FindLocalBuildsListsTheStoredFiles) {
    TempDir dir;
    UpdaterStore store(dir / "base");
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    EXPECT_TRUE(items.empty());

    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const uint8_t bytes[] = {1, 2, 3};
    ASSERT_EQ(device.WriteFile("12345.bird", bytes, sizeof bytes), aErrNone);
    ASSERT_EQ(device.WriteFile("12350.bird", bytes, sizeof bytes), aErrNone);
    qbtest::WriteText(dir / "base/40F5849A/.12360.bird.tmp999-0", "left by a crash");

    LogCapture log(DEBUG_Updater | DEBUG_Attributes);
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    EXPECT_EQ(names(items), (std::vector<std::string>{"12345.bird", "12350.bird"}));
    for (const UpdaterStoreItem& item : items) {
        EXPECT_EQ(item.path, dir / "base/40F5849A");
        EXPECT_EQ(item.kind, STORE_ITEM_FILE);
        EXPECT_TRUE(item.attributes["CREATED_TIME"].has_value());
    }
    std::string text = log.text();
    EXPECT_NE(text.find("_find_items([" + (dir / "base/40F5849A/12345.bird") + "], 0, 3)\n"),
              std::string::npos)
        << text;
    // The attribute path runs through a file: both attribute errors, no file.
    EXPECT_NE(text.find("Attibutes: Error - cannot open attributes file: '" +
                        (dir / "base/40F5849A/12345.bird/.settings") + "' (20)\n"),
              std::string::npos);
    EXPECT_NE(text.find("Attibutes: Error - cannot open attributes file for writting: '" +
                        (dir / "base/40F5849A/12345.bird/.settings") + "' (20)\n"),
              std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(dir / "base/40F5849A/12345.bird"));
}

TEST(UpdaterStoreFiles, ReadBirdFileChecksTheHeaderFirst) {
    TempDir dir;
    UpdaterStore store(dir / "base");
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    std::string folder = dir / "base/40F5849A";

    bird::Description d;
    d.Info("12345", "1.4.2", "40F5849A", "QB").Firmware(0, {1, 2, 3, 4});
    bird::WriteFile(folder + "/12345.bird", d);
    BirdFile file = device.ReadBirdFile("12345.bird");
    EXPECT_EQ(file.GetBuild(), 12345u);
    EXPECT_EQ(file.GetPath(), folder + "/12345.bird");

    qbtest::WriteText(folder + "/text.bird", "<html>not a bird</html>");
    EXPECT_EQ(raised([&] { device.ReadBirdFile("text.bird"); }),
              "Invalid bird " + folder + "/text.bird");
    EXPECT_EQ(raised([&] { device.ReadBirdFile("none.bird"); }),
              "Invalid bird " + folder + "/none.bird");
    d.fileCut = 20;
    bird::WriteFile(folder + "/cut.bird", d);
    EXPECT_EQ(raised([&] { device.ReadBirdFile("cut.bird"); }), "Failed to load bird data");
}

TEST(UpdaterStoreFiles, WriteFileReplacesTheWholeFile) {
    TempDir dir;
    UpdaterStore store(dir / "base");
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    std::string folder = dir / "base/40F5849A";

    EXPECT_EQ(device.WriteFile("1.bird", nullptr, 10), aErrNotFound);
    EXPECT_FALSE(fs::exists(folder + "/1.bird"));

    const std::string longer = "a longer first content";
    ASSERT_EQ(device.WriteFile("1.bird", longer.data(), longer.size()), aErrNone);
    ASSERT_EQ(device.WriteFile("1.bird", "short", 5), aErrNone);
    EXPECT_EQ(ReadFile(folder + "/1.bird"), "short");
    ASSERT_EQ(device.WriteFile("empty.bird", "", 0), aErrNone);
    EXPECT_EQ(fs::file_size(folder + "/empty.bird"), 0u);

    fs::create_directory(folder + "/sub");
    EXPECT_EQ(device.WriteFile("sub", "x", 1), aErrNotFound);
    UpdaterStoreItem gone(dir / "base", "FFFFFFFF", STORE_ITEM_DIRECTORY);
    fs::remove_all(folder + "/../FFFFFFFF");
    EXPECT_EQ(gone.WriteFile("1.bird", "x", 1), aErrNotFound);

    std::vector<std::string> entries = qbtest::ListNames(dir / "base/40F5849A");
    EXPECT_EQ(entries, (std::vector<std::string>{".settings", "1.bird", "empty.bird", "sub"}));
}

// A full disk while a build is stored must leave the earlier file whole.
TEST(UpdaterStoreFiles, FailedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    UpdaterStore store(dir / "base");
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    std::string path = dir / "base/40F5849A/12345.bird";
    std::vector<uint8_t> old = bird::BuildFile(bird::Description().Firmware(0, {1, 2, 3}));
    ASSERT_EQ(device.WriteFile("12345.bird", old.data(), old.size()), aErrNone);

    std::vector<uint8_t> big = bird::Generate(bird::Fill::Random, 256 * 1024, 1);
    {
        qbtest::FileSizeLimit full(64 * 1024);
        EXPECT_EQ(device.WriteFile("12345.bird", big.data(), big.size()), aErrIO);
    }
    EXPECT_EQ(qbtest::ReadBytes(path), old);
    std::vector<std::string> entries = qbtest::ListNames(dir / "base/40F5849A");
    EXPECT_EQ(entries, (std::vector<std::string>{".settings", "12345.bird"}));
}

TEST(UpdaterStoreFiles, FileExistsMatchesWholeNames) {
    TempDir dir;
    UpdaterStore store(dir / "base");
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    ASSERT_EQ(device.WriteFile("12345.bird", "x", 1), aErrNone);
    EXPECT_TRUE(device.FileExists("12345.bird"));
    EXPECT_TRUE(device.FileExists(".settings"));
    EXPECT_FALSE(device.FileExists("12345"));
    EXPECT_FALSE(device.FileExists("2345.bird"));
    EXPECT_FALSE(device.FileExists("40F5849A"));
}
