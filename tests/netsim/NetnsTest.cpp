// The namespace harness: what it makes, what runs inside, and that nothing
// of it outlives its owner, however the owner ends.
#include "Observe.h"
#include "Netns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <set>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using qbsim::netns::Namespace;
using qbsim::netns::Pair;
using qbsim::netns::Process;

namespace {

class NetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qbsim::netns::available()) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
    }
};

TEST_F(NetnsTest, PairJoinsTwoFreshNamespacesAndLeavesOursAlone) {
    const auto ours = netsim::interfaces(Namespace::current());
    Pair pair;
    EXPECT_EQ(netsim::interfaces(pair.host()), (std::set<std::string>{"lo", "qbhost0"}));
    EXPECT_EQ(netsim::interfaces(pair.device()), (std::set<std::string>{"lo", "qbdev0"}));
    EXPECT_EQ(netsim::interfaces(Namespace::current()), ours);
    EXPECT_FALSE(qbsim::netns::inTestNamespace());
    bool inside = false;
    pair.host().run([&] { inside = qbsim::netns::inTestNamespace(); });
    EXPECT_TRUE(inside);

    // TCP from the host side reaches a listener on the device side, which
    // sees the host side's address.
    const int listener = pair.device().socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(7000);
    at.sin_addr = qbsim::netns::parseAddress(pair.deviceAddress());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    const int client = pair.host().socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int accepted = accept(listener, reinterpret_cast<sockaddr*>(&from), &length);
    ASSERT_GE(accepted, 0);
    char text[INET_ADDRSTRLEN] = {};
    EXPECT_STREQ(inet_ntop(AF_INET, &from.sin_addr, text, sizeof text), "192.0.2.10");
    close(accepted);
    close(client);
    close(listener);

    EXPECT_THROW(pair.addDeviceAddress("192.0.2.20"), std::system_error); // already there
    pair.addDeviceAddress("192.0.2.21");
    EXPECT_EQ(pair.deviceAddress(1), "192.0.2.21");
    EXPECT_THROW(Pair({"eth9", "qbdev0"}), std::invalid_argument);
}

TEST_F(NetnsTest, EnterMovesTheThreadAndBack) {
    Pair pair;
    const ino_t before = Namespace::current().inode();
    {
        qbsim::netns::Enter inHost(pair.host());
        EXPECT_EQ(Namespace::current().inode(), pair.host().inode());
        EXPECT_NE(if_nametoindex("qbhost0"), 0u);
    }
    EXPECT_EQ(Namespace::current().inode(), before);
    EXPECT_THROW(Namespace::open("/proc/self/ns/uts"), std::system_error);
    EXPECT_EQ(Namespace::open(pair.device().path()).inode(), pair.device().inode());
}

TEST_F(NetnsTest, ProgramsRunInsideAndEndWithTheirStarter) {
    Pair pair;
    {
        auto sleeper = Process::spawn(&pair.host(), {"sleep", "30"});
        EXPECT_EQ(netsim::processesIn(pair.host().inode()), std::vector<pid_t>{sleeper.pid()});
    } // killed and reaped
    EXPECT_TRUE(netsim::processesIn(pair.host().inode()).empty());

    struct Case {
        std::vector<std::string> argv;
        std::vector<std::string> environment;
        int exitCode;
    } cases[] = {
        {{"sh", "-c", "exit 3"}, {}, 3},
        {{"sh", "-c", "test \"$QBSIM_PROBE\" = yes"}, {"QBSIM_PROBE=yes"}, 0},
        {{"sh", "-c", "kill -TERM $$"}, {}, 128 + SIGTERM},
    };
    for (const auto& c : cases) {
        auto process = Process::spawn(&pair.device(), c.argv, c.environment);
        EXPECT_EQ(qbsim::netns::exitCode(process.wait(10s)), c.exitCode) << c.argv.back();
    }
    EXPECT_THROW(Process::spawn(&pair.host(), {"qbsim-no-such-program"}), std::system_error);

    // In a PID namespace of its own: what the program leaves running ends
    // with it, signals reach the program, and a missing one is reported.
    auto leaver = Process::spawn(&pair.host(), {"sh", "-c", "sleep 100 & exit 5"}, {}, true);
    EXPECT_EQ(qbsim::netns::exitCode(leaver.wait(10s)), 5);
    EXPECT_TRUE(netsim::processesIn(pair.host().inode()).empty());
    auto sleeper = Process::spawn(&pair.host(), {"sleep", "100"}, {}, true);
    sleeper.kill(SIGTERM);
    EXPECT_EQ(qbsim::netns::exitCode(sleeper.wait(10s)), 128 + SIGTERM);
    EXPECT_THROW(Process::spawn(&pair.host(), {"/dev/null"}, {}, true), std::system_error);

    // Started while other threads allocate: the copy of the starter must
    // not wait for locks they held at that moment.
    std::atomic<bool> busy{true};
    std::vector<std::thread> allocators;
    for (int i = 0; i < 2; ++i) {
        allocators.emplace_back([&] {
            while (busy) {
                std::vector<std::string> garbage(64, std::string(100, 'x'));
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        auto quick = Process::spawn(&pair.host(), {"true"}, {}, i % 2 == 0);
        EXPECT_EQ(qbsim::netns::exitCode(quick.wait(10s)), 0) << i;
    }
    busy = false;
    for (auto& thread : allocators) {
        thread.join();
    }

    // Started from a thread that ends: the program goes with the thread.
    Process orphan;
    std::thread([&] { orphan = Process::spawn(&pair.host(), {"sleep", "30"}); }).join();
    const int status = orphan.wait(10s);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

// The whole network of a process that ends: by its destructors, or killed.
// Each case keeps a handle on one side; that side must lose its veth end,
// which shows that the other namespace is gone, and no process may be left
// in either.
TEST_F(NetnsTest, NothingOutlivesItsOwner) {
    // Normal end.
    for (bool holdHost : {true, false}) {
        Namespace held;
        ino_t other = 0;
        {
            Pair pair;
            auto sleeper = Process::spawn(&pair.host(), {"sleep", "30"});
            held = Namespace::open(holdHost ? pair.host().path() : pair.device().path());
            other = holdHost ? pair.device().inode() : pair.host().inode();
        }
        EXPECT_TRUE(netsim::onlyLoopbackWithin(held, 10s));
        EXPECT_TRUE(netsim::processesIn(other).empty());
        EXPECT_TRUE(netsim::processesIn(held.inode()).empty());
    }

    // Killed: a holder program with namespaces, a module and a program on
    // the host side. Orphans come to us so that we see them end.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (bool holdHost : {true, false}) {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        const pid_t holder = fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            dup2(out[1], STDOUT_FILENO);
            execl(NETSIM_HOLDER, NETSIM_HOLDER, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char line[512] = {};
        size_t got = 0;
        while (got < sizeof line - 1) {
            const ssize_t n = read(out[0], line + got, sizeof line - 1 - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
            if (memchr(line, '\n', got)) {
                break;
            }
        }
        close(out[0]);
        char hostPath[200] = {}, devicePath[200] = {};
        int sleeper = 0;
        ASSERT_EQ(sscanf(line, "%199s %199s %d", hostPath, devicePath, &sleeper), 3) << line;

        Namespace held = Namespace::open(holdHost ? hostPath : devicePath);
        const ino_t other = Namespace::open(holdHost ? devicePath : hostPath).inode();
        ASSERT_EQ(netsim::processesIn(holdHost ? held.inode() : other),
                  std::vector<pid_t>{sleeper});

        kill(holder, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(holder, &status, 0), holder);
        EXPECT_TRUE(netsim::endsWithin(sleeper, 10s));
        waitpid(sleeper, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        EXPECT_TRUE(netsim::onlyLoopbackWithin(held, 10s))
            << (holdHost ? "host side" : "device side");
        EXPECT_TRUE(netsim::processesIn(other).empty());
        EXPECT_TRUE(netsim::processesIn(held.inode()).empty());
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

} // namespace
