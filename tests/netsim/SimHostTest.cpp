// kestrane-sim: its command line, its session with modules of a test's own
// making, and the program itself (exit codes, namespace, clean-up).
#include "HostClient.h"
#include "Janitor.h"
#include "Observe.h"
#include "RunProgram.h"
#include "ScriptedPeer.h"
#include "SimHost.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;
using qbsim::host::Kind;
using qbsim::host::Options;

namespace {

// A test's own module descriptions: "serial=HEX [model=N] [address=N]".
qbsim::host::MadePeer sScriptedPeer(const std::string& description) {
    std::istringstream words(description);
    std::string word;
    uint32_t serial = 0;
    uint16_t model = 0;
    qbsim::host::MadePeer made;
    while (words >> word) {
        const auto equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == word.npos ? "" : word.substr(equals + 1);
        if (key == "serial") {
            serial = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        } else if (key == "model") {
            model = static_cast<uint16_t>(std::stoul(value));
        } else if (key == "address") {
            made.moduleAddress = static_cast<uint8_t>(std::stoul(value));
        } else {
            throw std::invalid_argument("unknown key " + key);
        }
    }
    made.peer = std::make_unique<netsim::ScriptedPeer>(serial, model);
    return made;
}

std::string sRead(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> sLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string sSerialText(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

bool sGoneWithin(const std::string& path, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    struct stat info {};
    while (lstat(path.c_str(), &info) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST(SimHostArguments, ParsesModulesReportAndCommand) {
    const Options options = qbsim::host::parseArguments(
        {"--tcp", "serial=1 model=14", "--usb=serial=2", "--node", "serial=3", "--serial",
         "serial=4", "--tcp", "serial=5", "--report", "/tmp/r", "--", "prog", "--tcp", "x"});
    ASSERT_EQ(options.modules.size(), 5u);
    const std::pair<Kind, std::string> expected[] = {{Kind::Tcp, "serial=1 model=14"},
                                                     {Kind::Usb, "serial=2"},
                                                     {Kind::Node, "serial=3"},
                                                     {Kind::Serial, "serial=4"},
                                                     {Kind::Tcp, "serial=5"}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(options.modules[i].kind, expected[i].first);
        EXPECT_EQ(options.modules[i].description, expected[i].second);
    }
    EXPECT_EQ(options.reportPath, "/tmp/r");
    EXPECT_EQ(options.command, (std::vector<std::string>{"prog", "--tcp", "x"}));
    EXPECT_FALSE(options.help);
    EXPECT_TRUE(qbsim::host::parseArguments({"-h"}).help);
    EXPECT_TRUE(qbsim::host::parseArguments({}).command.empty());

    const std::vector<std::vector<std::string>> wrong = {
        {"--tcp"}, {"--"}, {"--bogus"}, {"tcp", "serial=1"}, {"--report"}, {"--report="},
    };
    for (const auto& args : wrong) {
        EXPECT_THROW(qbsim::host::parseArguments(args), std::invalid_argument) << args[0];
    }
}

TEST(SimHostArguments, NetworkKeysLeaveTheModulesDescription) {
    struct Case {
        std::string description;
        std::string rest;
        std::string address;
        uint16_t port;
    } cases[] = {
        {"serial=1 model=14", "serial=1 model=14", "", 9000},
        {"ip=192.0.2.33 serial=1 port=9100", "serial=1", "192.0.2.33", 9100},
        {"  serial=1   port=1  model=2 ", "serial=1 model=2", "", 1},
        // Words inside brackets belong to a nested module.
        {"serial=1 downstream=[serial=2 port=5 ip=192.0.2.99] ip=192.0.2.40",
         "serial=1 downstream=[serial=2 port=5 ip=192.0.2.99]", "192.0.2.40", 9000},
    };
    for (const auto& c : cases) {
        qbsim::net::TcpModuleConfig config;
        EXPECT_EQ(qbsim::net::takeNetworkKeys(c.description, config), c.rest) << c.description;
        EXPECT_EQ(config.address, c.address) << c.description;
        EXPECT_EQ(config.port, c.port) << c.description;
    }
    for (const char* wrong :
         {"port=0", "port=65536", "port=x", "port=", "port=-1", "ip=192.0.2.10", "ip=10.0.0.1",
          "ip=192.0.2.0", "ip=192.0.2.255", "ip=192.0.2", "ip="}) {
        qbsim::net::TcpModuleConfig config;
        EXPECT_THROW(qbsim::net::takeNetworkKeys(wrong, config), std::invalid_argument) << wrong;
    }
}

class SimHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qbsim::netns::available()) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
    }
    qbtest::TempDir dir_;
};

TEST_F(SimHostTest, SessionPutsTcpModulesOnTheNetworkAndRunsTheCommandBeside) {
    qbsim::host::Session session({{Kind::Tcp, "serial=2181F0EE model=14 address=6"},
                                  {Kind::Tcp, "ip=192.0.2.30 port=9100 serial=12345678 model=19"}},
                                 sScriptedPeer);
    const auto& report = session.report();
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(report[0], "host 192.0.2.10 " + session.hostNamespace().path());
    EXPECT_EQ(report[1], "tcp 2181F0EE 192.0.2.20 9000");
    EXPECT_EQ(report[2], "tcp 12345678 192.0.2.30 9100");

    // The command runs on the host side and finds both modules.
    const std::string out = dir_.path() + "/replies";
    auto command = qbsim::host::startCommand(
        session, {"sh", "-c", std::string(NETSIM_CLIENT) + " discover 3000 2 | sort > " + out});
    ASSERT_EQ(qbsim::netns::exitCode(command.wait(20s)), 0);
    EXPECT_EQ(
        sLines(sRead(out)),
        (std::vector<std::string>{"192.0.2.20 00 06 28 23 EE F0 81 21 00 00 00 00 0E 00 00 00",
                                  "192.0.2.30 00 02 8C 23 78 56 34 12 00 00 00 00 13 00 00 00"}));
}

TEST_F(SimHostTest, SessionRefusesWhatItCannotStart) {
    struct Case {
        std::vector<qbsim::host::ModuleRequest> modules;
        std::string message;
    } cases[] = {
        {{{Kind::Tcp, "serial=1 colour=blue"}},
         "--tcp \"serial=1 colour=blue\": unknown key colour"},
        {{{Kind::Tcp, "ip=10.1.1.1 serial=1"}}, "ip=10.1.1.1"},
        {{{Kind::Tcp, "serial=1"}, {Kind::Tcp, "ip=192.0.2.20 serial=2"}}, "port 9000"},
        {{{Kind::Tcp, "serial=1 port=9 port=10"}}, "port= given twice"},
        {{{Kind::Serial, "serial=1 rate=fast"}}, "--serial \"serial=1 rate=fast\": rate=fast"},
        {{{Kind::Serial, "serial=1 ip=192.0.2.30"}}, "unknown key ip"},
        {{{Kind::Node, "serial=1 port=9100"}}, "--node \"serial=1 port=9100\": unknown key port"},
    };
    for (const auto& c : cases) {
        try {
            qbsim::host::Session session(c.modules, sScriptedPeer);
            ADD_FAILURE() << "started: " << c.message;
        } catch (const std::exception& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

TEST_F(SimHostTest, ProgramPassesTheCommandsStatusThrough) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string inErr;
    } cases[] = {
        {{"--", "sh", "-c", "exit 7"}, 7, ""},
        {{"--", "sh", "-c", "kill -USR1 $$"}, 128 + SIGUSR1, ""},
        {{"--", "qbsim-no-such-program"}, 127, "cannot start qbsim-no-such-program"},
        {{"--", "/dev/null"}, 126, "cannot start /dev/null"},
        {{"--bogus"}, 125, "unknown argument: --bogus"},
        {{"--tcp", "serial=1", "--report", "/nonexistent/dir/r"}, 125, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {KESTRANE_SIM};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto result = qbtest::RunProgram(argv);
        EXPECT_EQ(result.status, c.status) << c.args.back() << "\n" << result.err;
        EXPECT_NE(result.err.find(c.inErr), std::string::npos) << result.err;
    }
    const auto help = qbtest::RunProgram({KESTRANE_SIM, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, qbsim::host::usage());
}

TEST_F(SimHostTest, ProgramPutsModelModulesOnTheNetwork) {
    const std::string client = NETSIM_CLIENT;
    const auto result =
        qbtest::RunProgram({KESTRANE_SIM, "--tcp", "serial=2181F0EE model=14 address=6", "--tcp",
                            "serial=11 model=13 ip=192.0.2.40 port=9100", "--", "sh", "-c",
                            client + " discover 3000 2 | sort; " + client +
                                " exchange 192.0.2.20 9000 '06 03 03 49 20' 9"});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = sLines(result.out);
    ASSERT_EQ(lines.size(), 6u) << result.out;
    EXPECT_EQ(lines[1], "tcp 2181F0EE 192.0.2.20 9000");
    EXPECT_EQ(lines[2], "tcp 00000011 192.0.2.40 9100");
    EXPECT_EQ(lines[3], "192.0.2.20 00 06 28 23 EE F0 81 21 00 00 00 00 0E 00 00 00");
    EXPECT_EQ(lines[4], "192.0.2.40 00 02 8C 23 11 00 00 00 00 00 00 00 0D 00 00 00");
    EXPECT_EQ(lines[5], "06 07 03 09 00 21 81 F0 EE");

    const auto wrong =
        qbtest::RunProgram({KESTRANE_SIM, "--tcp", "serial=1 colour=red", "--", "true"});
    EXPECT_EQ(wrong.status, 125);
    EXPECT_EQ(wrong.err, "kestrane-sim: --tcp \"serial=1 colour=red\": unknown key 'colour'\n");
    EXPECT_EQ(wrong.out, "");
}

// A module of each kind, each reached by a bare client from the command.
TEST_F(SimHostTest, ProgramPutsEveryKindOfModuleOnItsInterface) {
    const uint32_t base = 0x5E000000 | ((getpid() & 0xFFFF) << 4);
    const std::string node = sSerialText(base + 1), serial = sSerialText(base + 2),
                      tcp = sSerialText(base + 3);
    const std::string client = NETSIM_CLIENT;
    std::vector<std::string> argv = {KESTRANE_SIM,
                                     "--node",
                                     "serial=" + node + " model=14 address=6",
                                     "--serial",
                                     "serial=" + serial + " model=14 address=8 rate=115200",
                                     "--tcp",
                                     "serial=" + tcp + " model=14 address=4"};
    std::string script = client + " device $KESTRANE_SIM_NODE0 '06 03 03 49 20' 9; " + client +
                         " device $KESTRANE_SIM_SERIAL0 '08 03 03 49 20' 9; " + client +
                         " exchange 192.0.2.20 9000 '04 03 03 49 20' 9";
    std::vector<std::string> expected = {
        "node " + node + " /dev/quorbital." + node,
        "serial 0 /dev/pts/",
        "tcp " + tcp + " 192.0.2.20 9000",
    };
    std::vector<std::string> answers = {"06 07 03 09 00 " + netsim::hex(netsim::unhex(node)),
                                        "08 07 03 09 00 " + netsim::hex(netsim::unhex(serial)),
                                        "04 07 03 09 00 " + netsim::hex(netsim::unhex(tcp))};
#ifdef NETSIM_HAVE_USB
    const std::string usb = sSerialText(base + 4);
    argv.insert(argv.end(), {"--usb", "serial=" + usb + " model=3 address=10"});
    script += "; " + client + " usb " + usb + " '0A 03 03 49 20' 9";
    expected.push_back("usb " + usb);
    answers.push_back("0A 07 03 09 00 " + netsim::hex(netsim::unhex(usb)));
#endif
    argv.insert(argv.end(), {"--", "sh", "-c", script});

    const auto result = qbtest::RunProgram(argv);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = sLines(result.out);
    ASSERT_EQ(lines.size(), 1 + expected.size() + answers.size()) << result.out;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[1 + i].rfind(expected[i], 0), 0u) << lines[1 + i];
    }
    for (size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(lines[1 + expected.size() + i], answers[i]);
    }
    struct stat info {};
    EXPECT_NE(lstat(("/dev/quorbital." + node).c_str(), &info), 0);
}

TEST_F(SimHostTest, ProgramRunsTheCommandOnTheHostSideOnly) {
    const auto result = qbtest::RunProgram(
        {KESTRANE_SIM, "--", "sh", "-c",
         "cut -d: -f1 /proc/net/dev | tail -n +3 | sort; env; "
         // Its /proc agrees with its process ids (the sanitizers' leak check
         // relies on it).
         "read pid rest < /proc/self/stat && test \"$pid\" = $$ && test -d /proc/$$/task "
         "&& echo own-proc"});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = sLines(result.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("host 192.0.2.10 /proc/", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "    lo");
    EXPECT_EQ(lines[2], "qbhost0");
    EXPECT_NE(result.out.find("\nKESTRANE_SIM_HOST=192.0.2.10\n"), std::string::npos);
    EXPECT_EQ(lines.back(), "own-proc");
}

// kestrane-sim ended by a signal, by the end of whoever started it, or
// killed: the command and what it started are gone, and so are the
// namespaces.
TEST_F(SimHostTest, ProgramCleansUpWhenStopped) {
    enum class Stop { Term, Int, LauncherEnds, Kill };
    for (Stop stop : {Stop::Term, Stop::Int, Stop::LauncherEnds, Stop::Kill}) {
        SCOPED_TRACE(static_cast<int>(stop));
        const std::string report = dir_.path() + "/report";
        std::remove(report.c_str());
        const std::string sandboxFile = dir_.path() + "/sandbox";
        std::remove(sandboxFile.c_str());
        const std::string node = sSerialText(0x5E100000 | (getpid() & 0xFFFF));
        std::vector<std::string> argv = {KESTRANE_SIM, "--report", report, "--node",
                                         "serial=" + node};
#ifdef NETSIM_HAVE_USB
        argv.insert(argv.end(), {"--usb", "serial=5E200001"});
#endif
        argv.insert(argv.end(),
                    {"--", "sh", "-c",
                     "echo \"$UMOCKDEV_DIR\" > " + sandboxFile + "; sleep 100 & exec sleep 100"});
        const std::string link = "/dev/quorbital." + node;
        qbsim::netns::Process sim;
        std::promise<void> launched, endLauncher;
        std::thread launcher;
        bool launcherEnded = false;
        auto endTheLauncher = [&] {
            if (launcher.joinable()) {
                if (!launcherEnded) {
                    launcherEnded = true;
                    endLauncher.set_value();
                }
                launcher.join();
            }
        };
        struct Guard {
            std::function<void()> fn;
            ~Guard() { fn(); }
        } guard{endTheLauncher};
        if (stop == Stop::LauncherEnds) {
            // Started from a thread that ends once everything runs.
            launcher = std::thread([&] {
                sim = qbsim::netns::Process::spawn(nullptr, argv);
                launched.set_value();
                endLauncher.get_future().wait();
            });
            launched.get_future().wait();
        } else {
            sim = qbsim::netns::Process::spawn(nullptr, argv);
        }

        // Wait for the command and its child to run on the host side.
        qbsim::netns::Namespace host;
        std::vector<pid_t> inside;
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            const auto lines = sLines(sRead(report));
            if (!lines.empty() && !host.valid()) {
                host = qbsim::netns::Namespace::open(lines[0].substr(lines[0].rfind(' ') + 1));
            }
            if (host.valid() && (inside = netsim::processesIn(host.inode())).size() == 3) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(host.valid());
        ASSERT_EQ(inside.size(), 3u); // the command's first process and two sleeps

        if (stop == Stop::Term) {
            sim.kill(SIGTERM);
        } else if (stop == Stop::Int) {
            sim.kill(SIGINT);
        } else if (stop == Stop::Kill) {
            sim.kill(SIGKILL);
        } else {
            endTheLauncher();
        }
        const int status = sim.wait(20s);
        ASSERT_NE(status, -1);
        // The command dies of the forwarded signal (SIGTERM when the launcher
        // ends); a killed kestrane-sim forwards nothing.
        const int sig = stop == Stop::Int ? SIGINT : stop == Stop::Kill ? SIGKILL : SIGTERM;
        EXPECT_EQ(qbsim::netns::exitCode(status), 128 + sig);
        for (pid_t pid : inside) {
            EXPECT_TRUE(netsim::endsWithin(pid, 5s)) << pid;
        }
        EXPECT_TRUE(netsim::processesIn(host.inode()).empty());
        EXPECT_TRUE(netsim::onlyLoopbackWithin(host, 10s));
        // The node link and the USB sandbox too (when killed, by its janitor).
        const std::string sandbox = sLines(sRead(sandboxFile)).at(0);
#ifdef NETSIM_HAVE_USB
        EXPECT_EQ(sandbox.rfind("/tmp/", 0), 0u) << sandbox;
#endif
        EXPECT_TRUE(sGoneWithin(link, 10s)) << link;
        if (!sandbox.empty()) {
            EXPECT_TRUE(sGoneWithin(sandbox, 10s)) << sandbox;
        }
    }
}

} // namespace

namespace {

TEST(Janitor, RemovesWhatAKilledOwnerLeftAndNothingElse) {
    char dirTemplate[] = "/tmp/qbsim-janitor-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
    std::ofstream(dir + "/sub/file") << "x";
    const std::string link = dir + "-link";
    const std::string moved = dir + "-moved";
    ASSERT_EQ(symlink("/dev/pts/999", link.c_str()), 0);
    const std::string dangling = dir + "-dangling";
    ASSERT_EQ(symlink("/dev/null", moved.c_str()), 0);
    ASSERT_EQ(symlink("/dev/pts/no-such-pty", dangling.c_str()), 0);

    {
        // An owner that cleans up itself: the janitor leaves everything.
        qbsim::host::Janitor janitor;
        janitor.removeTree(dir);
        janitor.removeLink(link, "/dev/pts/999");
    }
    struct stat info {};
    EXPECT_EQ(lstat(dir.c_str(), &info), 0);
    EXPECT_EQ(lstat(link.c_str(), &info), 0);

    {
        // A killed owner: the janitor removes what it was told, links that
        // point nowhere by now included, but not a link that points to
        // something else that is there (someone else's).
        qbsim::host::Janitor janitor;
        janitor.removeTree(dir);
        janitor.removeLink(link, "/dev/pts/999");
        janitor.removeLink(moved, "/dev/pts/997");
        janitor.removeLink(dangling, "/dev/pts/996");
        janitor.abandon();
    }
    EXPECT_NE(lstat(dir.c_str(), &info), 0);
    EXPECT_NE(lstat(link.c_str(), &info), 0);
    EXPECT_NE(lstat(dangling.c_str(), &info), 0);
    EXPECT_EQ(lstat(moved.c_str(), &info), 0);
    unlink(moved.c_str());

    qbsim::host::Janitor janitor;
    for (const char* unsafe : {"/etc", "/tmp", "/tmp/", "/tmp/a/b", "/tmp/..", "tmp/x"}) {
        EXPECT_THROW(janitor.removeTree(unsafe), std::invalid_argument) << unsafe;
    }
}

} // namespace
