// The built program, run as a user would: standard output, standard error
// and exit status checked separately.
#include "RunProgram.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using qbtest::ProgramOptions;
using qbtest::ProgramResult;
using qbtest::ReadFile;
using qbtest::RunProgram;
using qbtest::TempDir;

namespace {

const std::string kVersion = "Updater (Version: 2.10.8 Sep 13 2024)\n";
const std::string kNotice = "Quorbital module firmware maintenance for Linux.\n";

std::string expected(const std::string& name) {
    return ReadFile(std::string(QB_CLI_EXPECTED) + "/" + name);
}

ProgramResult run(std::vector<std::string> args, const ProgramOptions& options = {}) {
    args.insert(args.begin(), qbtest::ToolPath());
    return RunProgram(args, options);
}

class CommandLine : public ::testing::Test {
protected:
    // Commands that reach the storage directory keep it here.
    ProgramResult runStored(std::vector<std::string> args) {
        args.push_back("-i");
        args.push_back(store.path());
        return run(args);
    }
    TempDir store;
};

TEST_F(CommandLine, NoArgumentsShowsVersionNoticeAndShortUsage) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{}, {"-help"}, {"-x"}, {"word"}, {"-X", "1"}}) {
        SCOPED_TRACE(args.empty() ? "no arguments" : args[0]);
        ProgramResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kVersion + kNotice);
        EXPECT_EQ(r.err, expected("usage_short.txt"));
    }
}

TEST_F(CommandLine, HelpForms) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string full = expected("usage_full.txt");
    const std::string extended = expected("usage_full_extended.txt");
    const Case cases[] = {
        {{"-h"}, full},
        {{"-H"}, full},
        {{"--help"}, full},
        {{"--he"}, full},
        {{"-h", "-Y"}, full},
        {{"-X", "1", "-h"}, extended},
        {{"-h", "-X", "1"}, full}, // words after the help option are not looked at
        {{"-Y", "-h"}, "Unhandled command: [-Y]\n" + full},
        {{"-d", "0", "--help"}, "Invalid serial number obtained from argument [0]\n" + full},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ProgramResult r = run(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kVersion + kNotice);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(CommandLine, ParseFailuresShowTheErrorAndShortUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"-d", "0", "-G"}, "Invalid serial number obtained from argument [0]"},
        {{"-d", "0x", "-G"}, "Invalid serial number obtained from argument []"},
        {{"-d", "0X", "-G"}, "Invalid serial number obtained from argument []"},
        {{"-d", "xyz", "-G"}, "Invalid serial number obtained from argument [xyz]"},
        {{"-d", "123456789", "-G"}, "Invalid serial number obtained from argument [123456789]"},
        {{"-r", "0x0", "-D"}, "Invalid router serial number obtained from argument [0]"},
        {{"-Y"}, "Unhandled command: [-Y]"},
        {{"-t", "tcpip", "-D"},
         "Invalid transport type:[tcpip]\nMust be one of the following: USB, TCPIP, RECOVER"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ProgramResult r = run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kVersion + kNotice);
        EXPECT_EQ(r.err, c.error + "\n" + expected("usage_short.txt"));
    }
}

TEST_F(CommandLine, SerialNumberFormsNameTheSameDevice) {
    for (const char* form : {"0x40F5849A", "0X40F5849A", "40f5849a", "40F5849A"}) {
        for (bool attached : {false, true}) {
            std::vector<std::string> args{"-G"};
            if (attached) {
                args.push_back(std::string("-d=") + form);
            } else {
                args.push_back("-d");
                args.push_back(form);
            }
            SCOPED_TRACE(::testing::PrintToString(args));
            ProgramResult r = runStored(args);
            EXPECT_EQ(r.out, kVersion +
                                 "Retrieving firmware for device with serial number 40F5849A\n"
                                 "No build specified\nUsing Latest build\n");
        }
    }
}

TEST_F(CommandLine, HyphenLedOrMissingValuesAreSkipped) {
    // -d takes nothing from a following option: -U still runs, without a device.
    ProgramResult r = runStored({"-d", "-U"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, "Must specify the specific device to be updated\n");

    // -d as the last word is dropped silently.
    r = runStored({"-G", "-d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "-G must specify a specific device via -d\n--help for usage information\n");

    // -e would take -U as its argument: it is skipped and -U runs.
    r = runStored({"-e", "-U", "-d", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err.find("Must specify"), std::string::npos);
    EXPECT_NE(r.err.find("Firmware update (-U)"), std::string::npos);
}

TEST_F(CommandLine, BuildTextThatIsNotANumberRetrievesBuildZero) {
    ProgramResult r = runStored({"-b", "abc", "-G", "-d", "1"});
    EXPECT_EQ(r.out, kVersion + "Retrieving firmware for device with serial number 00000001\n"
                                "Retrieving firmware build 0\n");
}

TEST_F(CommandLine, TraceMaskShowsTheParsedCommandLine) {
    ProgramResult r = runStored({"-X", "0x10000", "-I", "-d", "1", "loose"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
    // Plain words are moved behind the options.
    EXPECT_EQ(r.err, "\nApplication parameters:[kestrane-updater]\n\t[-X]\n\t[0x10000]\n\t[-I]\n"
                     "\t[-d]\n\t[1]\n\t[-i]\n\t[" +
                         store.path() + "]\n\t[loose]\n");
}

TEST_F(CommandLine, TraceMaskWithLeftoverCharactersActivatesNothing) {
    ProgramResult r = runStored({"-X", "12z", "-I", "-d", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, "Invalid format for \"-X\" parameter, unprocessed characters [z]\n");
}

TEST_F(CommandLine, InfoCommandPrintsOnlyTheVersionLine) {
    ProgramResult r = runStored({"-I", "-d", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, "");
}

TEST_F(CommandLine, CommandsNeedingADevice) {
    struct Case {
        std::string option;
        std::string error;
    };
    const Case cases[] = {
        {"-B", "Error must supply a serial number for the List Builds command"},
        {"-L", "Error must supply a serial number for the List Local Builds command"},
        {"-J", "Error must supply a serial number for the Get JWT command"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        ProgramResult r = runStored({c.option});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, c.error + "\n" + expected("usage_short.txt"));
    }
    ProgramResult r = runStored({"-N"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Must specify the serial port used for connecting\n");
}

TEST_F(CommandLine, OperationsNotInThisBuildFail) {
    // Nothing pretends to succeed: each of these ends with an error and 1.
    const std::vector<std::vector<std::string>> cases = {
        {"-D"},
        {"-D", "-r", "D272031D"},
        {"-U", "-d", "1"},
        {"-U", "-t", "RECOVER"},
        {"-B", "-d", "1"},
        {"-L", "-d", "1"},
        {"-J", "-d", "1"},
        {"-N", "-s", "/dev/null", "-I"},
        {"-G", "-d", "1"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        ProgramResult r = runStored(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("is not available in this build"), std::string::npos) << r.err;
    }
}

TEST_F(CommandLine, StorageDirectoryIsCreatedWithItsParents) {
    std::string root = store / "a/b/c";
    ProgramResult r = run({"-I", "-d", "1", "-i", root});
    EXPECT_EQ(r.status, 0);
    struct stat st;
    ASSERT_EQ(stat((root + "/updater").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(CommandLine, UncreatableStorageDirectoryFails) {
    std::string blocker = store / "file";
    ASSERT_TRUE(std::ofstream(blocker).good());
    for (const std::string& root : {blocker, blocker + "/deeper"}) {
        ProgramResult r = run({"-I", "-d", "1", "-i", root});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, "Could not find updater directory at " + root + "/updater\n");
    }
}

TEST_F(CommandLine, DefaultStorageDirectoryIsUnderTheHomeDirectory) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run as a user without a password entry";
    }
    // A user the password database does not know falls back on HOME.
    ProgramOptions options;
    options.uid = 54321;
    options.environment["HOME"] = store.path();
    ASSERT_EQ(chmod(store.path().c_str(), 0777), 0);
    ProgramResult r = run({"-I", "-d", "1"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_directory(store / ".kestrane/updater"));

    // Without HOME there is no home directory: only the trace says so.
    options.environment.clear();
    options.unset.push_back("HOME");
    r = run({"-I", "-d", "1", "-X", "0x10000"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_NE(r.err.find("Updater: FailedaDirectory_GetHomeDirectory()==> 3\n"), std::string::npos)
        << r.err;
}

} // namespace
