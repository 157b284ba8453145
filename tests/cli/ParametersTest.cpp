// The option scanner and the parameter record, without running the program.
#include "Log.h"
#include "Parameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class RecordingDisplay final : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
    std::vector<std::string> info;
    std::vector<std::string> errors;
};

struct Parsed {
    int result = -1;
    Parameters params;
    std::vector<std::string> errors;
    std::vector<std::string> argv; // after the scan rearranged it
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "/usr/bin/kestrane-updater");
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    Parsed p;
    RecordingDisplay display;
    uint32_t savedMask = Log::package_bitmask;
    p.result = _get_params(display, static_cast<int>(argv.size()), argv.data(), p.params);
    Log::package_bitmask = savedMask;
    p.errors = display.errors;
    for (char* a : argv) {
        p.argv.emplace_back(a);
    }
    return p;
}

TEST(OptionTable, HasTwentyNineEntriesAndAnEndMarker) {
    int count = 0;
    while (g_rgOptions[count].id != OPT_END) {
        ++count;
    }
    EXPECT_EQ(count, 29);
    EXPECT_STREQ(g_rgOptions[6].text, "-OVERRIDE");
    EXPECT_STREQ(g_rgOptions[28].text, "--help");
}

TEST(OptionScanner, PrefixesAmbiguityAndArguments) {
    struct Case {
        std::string word;
        int error;
        const char* option;
    };
    const Case cases[] = {
        {"-OVERRIDE", SCAN_OK, "-OVERRIDE"},
        {"-OVER", SCAN_OK, "-OVERRIDE"},
        {"-O", SCAN_OK, "-OVERRIDE"},
        {"--h", SCAN_OK, "--help"},
        {"--hel", SCAN_OK, "--help"},
        {"-help", SCAN_UNRECOGNISED, nullptr}, // one hyphen never matches "--help"
        {"-OVERRIDEX", SCAN_UNRECOGNISED, nullptr},
        {"-x", SCAN_UNRECOGNISED, nullptr},
        {"-", SCAN_AMBIGUOUS, nullptr},
        {"--", SCAN_OK, "--help"},
        {"-U=1", SCAN_UNEXPECTED_ARGUMENT, "-U"},
        {"-d", SCAN_MISSING_ARGUMENT, "-d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        std::string prog = "p";
        std::string word = c.word;
        char* argv[] = {prog.data(), word.data(), nullptr};
        OptionScanner scanner(2, argv, g_rgOptions);
        ScannedOption opt;
        ASSERT_TRUE(scanner.Next(opt));
        EXPECT_EQ(opt.error, c.error);
        if (c.option != nullptr) {
            EXPECT_STREQ(opt.option, c.option);
        }
        EXPECT_FALSE(scanner.Next(opt));
    }
}

TEST(OptionScanner, PlainWordsMoveBehindTheOptions) {
    Parsed p = parse({"one", "-d", "5", "two", "-U", "three", "-b=7"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.argv, (std::vector<std::string>{"/usr/bin/kestrane-updater", "-d", "5", "-U",
                                                "-b=7", "one", "two", "three"}));
    EXPECT_EQ(p.params.serialNumber, 5u);
    EXPECT_EQ(p.params.build, "7");
    EXPECT_EQ(p.params.appName, "kestrane-updater");
}

TEST(Parameters, Defaults) {
    Parsed p = parse({});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.commands.Get(), 0u);
    EXPECT_EQ(p.params.transport, TRANSPORT_USB);
    EXPECT_FALSE(p.params.transportGiven);
    EXPECT_EQ(p.params.baudRate, 115200u);
    EXPECT_EQ(p.params.logMode, "a+");
    EXPECT_EQ(p.params.logFile, "Updater.log");
    EXPECT_NE(p.params.serverUrl.find("/cgi/u"), std::string::npos);
    EXPECT_NE(p.params.serverUrl.find(".example"), std::string::npos);
}

TEST(Parameters, CommandBits) {
    Parsed p = parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "x"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.commands.Get(), 0x3FFu);
    EXPECT_FALSE(p.params.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(parse({"-OVER"}).params.override);
    EXPECT_EQ(parse({"-OVER"}).params.commands.Get(), 0u);
    Parsed help = parse({"--he", "-D"});
    EXPECT_TRUE(help.params.helpRequested);
    EXPECT_EQ(help.params.commands.Get(), static_cast<uint32_t>(CMD_HELP));
}

TEST(Parameters, TransportForms) {
    struct Case {
        const char* text;
        uint32_t transport;
        int result;
    };
    const Case cases[] = {
        {"USB", TRANSPORT_USB, 0},         {"USBX", TRANSPORT_USB, 0},
        {"TCP", TRANSPORT_TCPIP, 0},       {"TCPIP", TRANSPORT_TCPIP, 0},
        {"RECOVER", TRANSPORT_RECOVER, 0}, {"RECOVERY", TRANSPORT_RECOVER, 0},
        {"tcpip", TRANSPORT_INVALID, 1},   {"US", TRANSPORT_INVALID, 1},
        {"RECOV", TRANSPORT_INVALID, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = parse({"-t", c.text});
        EXPECT_EQ(p.result, c.result);
        EXPECT_EQ(p.params.transport, c.transport);
        EXPECT_TRUE(p.params.transportGiven);
    }
}

TEST(Parameters, NumbersAndTexts) {
    Parsed p = parse({"-o", "9600",   "-b",        "0012", "-s", "/dev/ttyS1",
                      "-f", "x.bird", "-i",        "/d",   "-u", "http://h/cgi/u",
                      "-k", "k.log",  "-l",        "msg",  "-e", "y",
                      "-n", "-r",     "0xD272031D"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.baudRate, 9600u);
    EXPECT_EQ(p.params.build, "12");
    EXPECT_EQ(p.params.serialPort, "/dev/ttyS1");
    EXPECT_EQ(p.params.birdFile, "x.bird");
    EXPECT_EQ(p.params.storeDirectory, "/d");
    EXPECT_EQ(p.params.serverUrl, "http://h/cgi/u");
    EXPECT_EQ(p.params.logFile, "k.log");
    EXPECT_EQ(p.params.historyMessage, "msg");
    EXPECT_TRUE(p.params.echo);
    EXPECT_TRUE(p.params.flagN);
    EXPECT_EQ(p.params.routerSerialNumber, 0xD272031Du);
    EXPECT_EQ(parse({"-o", "fast"}).params.baudRate, 0u);
    EXPECT_EQ(parse({"-b", "-5"}).params.build, ""); // hyphen-led: skipped
    EXPECT_EQ(parse({"-b=-5"}).params.build, "0");
}

TEST(Parameters, TraceMasks) {
    Parsed p = parse({"-X", "0X10", "-X", "020"});
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.params.debugMaskGiven);
    EXPECT_EQ(p.params.debugMask, 20u); // decimal: a leading 0 is not octal
    Parsed bad = parse({"-X", "12z"});
    EXPECT_EQ(bad.result, 0);
    EXPECT_EQ(bad.params.debugMask, 12u);
    ASSERT_EQ(bad.errors.size(), 1u);
}

TEST(Parameters, TraceMasksAccumulateInTheLog) {
    uint32_t saved = Log::package_bitmask;
    Log::package_bitmask = 0;
    std::string prog = "p", x1 = "-X", v1 = "0x4", x2 = "-X", v2 = "8", bad = "-X", v3 = "16q";
    char* argv[] = {prog.data(), x1.data(), v1.data(), x2.data(), v2.data(), bad.data(), v3.data()};
    RecordingDisplay display;
    Parameters params;
    EXPECT_EQ(_get_params(display, 7, argv, params), 0);
    EXPECT_EQ(Log::package_bitmask, 0xCu);
    Log::package_bitmask = saved;
}

TEST(Parameters, ConversionHelpers) {
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg("40f5849A", &end), 0x40F5849Aul);
    EXPECT_EQ(_get_hex_arg("12g", &end), 0ul);
    EXPECT_EQ(_get_hex_arg("", &end), 0ul);
    EXPECT_EQ(_get_int_arg("123", &end), 123ul);
    EXPECT_EQ(_get_int_arg("12a", &end), 0ul);
    EXPECT_EQ(_get_int_arg(" 12", &end), 0ul);
    char* untouched = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(_get_int_arg("x", &untouched), 0ul);
    EXPECT_EQ(untouched, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(_get_int_arg("123", nullptr), 0ul);
}

} // namespace
