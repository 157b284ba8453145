// The serial-port stream on pseudo-terminals: raw settings applied and
// restored, traffic both ways, open failures and refused selectors.
#include "aStream.h"

#include "IdleReadCheck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A pseudo-terminal; its slave side stands in for a serial port. The test
// keeps a slave descriptor of its own to look at the port's settings. Both
// sides are closed when the test ends.
class Pty {
public:
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0) {
            ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
            return;
        }
        path = name;
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(slave, 0);
    }
    ~Pty() {
        if (slave >= 0) {
            close(slave);
        }
        if (master >= 0) {
            close(master);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    termios settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }
    // What the stream wrote, as far as it arrived within the time.
    std::string received(size_t count) const {
        std::string got;
        while (got.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 2000) != 1) {
                break;
            }
            char buffer[256];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    void send(const std::string& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

struct Serial {
    aStream* stream = nullptr;
    ~Serial() { aStream_Destroy(&stream); }
    aErr get(uint8_t* byte) { return stream->getProc(byte, stream->context); }
    std::string read(size_t count) {
        std::string buffer(count, '\0');
        for (int i = 0; i < 2000; i++) { // the pty hands bytes over asynchronously
            aErr err = aStream_Read(stream, reinterpret_cast<uint8_t*>(buffer.data()), count);
            if (err == aErrNone) {
                return buffer;
            }
            EXPECT_EQ(err, aErrNotReady);
            std::this_thread::sleep_for(1ms);
        }
        return "(nothing)";
    }
};

bool sameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST(SerialStream, RawSettingsAppliedAndRestored) {
    Pty pty;
    termios before = pty.settings();
    ASSERT_NE(before.c_lflag & ICANON, 0u); // a fresh terminal is not raw
    {
        Serial s;
        ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &s.stream), aErrNone);
        termios t = pty.settings();
        EXPECT_EQ(cfgetispeed(&t), B115200);
        EXPECT_EQ(cfgetospeed(&t), B115200);
        EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CREAD | CLOCAL | CS8));
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_EQ(t.c_cc[VINTR], before.c_cc[VINTR]); // other control characters kept
    }
    EXPECT_TRUE(sameSettings(pty.settings(), before));
}

TEST(SerialStream, RateCodesAndFraming) {
    const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    Pty pty;
    for (int code = -1; code <= 8; code++) {
        Serial s;
        ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), code, 0, 0, 0, &s.stream), aErrNone);
        termios t = pty.settings();
        speed_t expected = code >= 0 && code < 8 ? speeds[code] : B0;
        EXPECT_EQ(cfgetospeed(&t), expected) << code;
        EXPECT_EQ(cfgetispeed(&t), expected) << code;
    }
    // Even parity and two stop bits. (A pseudo-terminal always keeps 8 data
    // bits without parity in its control flags; the input flags show parity.)
    Serial s;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 2, 1, 1, 1, &s.stream), aErrNone);
    termios t = pty.settings();
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & HUPCL, 0u);
}

TEST(SerialStream, Exchange) {
    Pty pty;
    Serial s;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 7, 0, 0, 0, &s.stream), aErrNone);
    uint8_t byte;
    EXPECT_EQ(s.get(&byte), aErrNotReady); // at once, nothing there

    const std::string packet("\xAD\x00\xAF\x01\x01\r\n\x03", 8); // raw: nothing translated
    ASSERT_EQ(aStream_Write(s.stream, reinterpret_cast<const uint8_t*>(packet.data()), 8),
              aErrNone);
    EXPECT_EQ(pty.received(8), packet);
    ASSERT_EQ(aStream_Write(s.stream, reinterpret_cast<const uint8_t*>("x"), 1), aErrNone);
    EXPECT_EQ(pty.received(1), "x");

    pty.send(std::string("\x06\x00\r\x11\x13\x7F", 6));
    EXPECT_EQ(s.read(6), std::string("\x06\x00\r\x11\x13\x7F", 6));
}

// The wait an idle serial link needs: reads that sleep on the port and still
// deliver an arriving byte at once.
TEST(SerialStream, WaitingReadsForALink) {
    Pty pty;
    Serial s;
    ASSERT_EQ(aStream_CreateSerialWaiting(pty.path.c_str(), 6, 0, 0, 0, aSERIAL_LINK_READ_WAIT_MS,
                                          &s.stream),
              aErrNone);
    qbtest::ExpectIdleReadsSleep([&](uint8_t* byte) { return s.get(byte); }, [&] { pty.send("K"); },
                                 static_cast<int>(aSERIAL_LINK_READ_WAIT_MS), 'K');
}

TEST(SerialStream, OpenFailures) {
    Pty pty;
    struct {
        const char* name;
        const char* path;
        aErr expected;
    } cases[] = {
        {"missing device", "/dev/no-such-serial-port", aErrNotFound},
        {"not a terminal", "/dev/null", aErrIO},
        {"a directory", "/", aErrIO},
    };
    for (const auto& c : cases) {
        aStream* stream = reinterpret_cast<aStream*>(0x1);
        EXPECT_EQ(aStream_CreateSerial(c.path, 6, 0, 0, 0, &stream), c.expected) << c.name;
        EXPECT_EQ(stream, nullptr) << c.name;
    }
}

TEST(SerialStream, SelectorsAndArgumentsRefused) {
    Pty pty;
    termios before = pty.settings();
    std::string tooLong(4096, 'a');
    struct {
        const char* name;
        const char* path;
        unsigned int dataBits, stopBits;
    } cases[] = {
        {"data bits selector 2", pty.path.c_str(), 2, 0},
        {"stop bits selector 2", pty.path.c_str(), 0, 2},
        {"no path", nullptr, 0, 0},
        {"path too long", tooLong.c_str(), 0, 0},
    };
    for (const auto& c : cases) {
        aStream* stream = reinterpret_cast<aStream*>(0x1);
        EXPECT_EQ(aStream_CreateSerial(c.path, 6, 0, c.dataBits, c.stopBits, &stream), aErrResource)
            << c.name;
        EXPECT_EQ(stream, nullptr) << c.name;
    }
    EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, nullptr), aErrResource);
    EXPECT_TRUE(sameSettings(pty.settings(), before)); // nothing was opened
}

// A port the user may not open. As root, the open is made by a child process
// that has given up root.
TEST(SerialStream, NoPermission) {
    Pty pty;
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(pty.path.c_str(), 0), 0);
        aStream* stream = nullptr;
        EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &stream), aErrPermission);
        EXPECT_EQ(stream, nullptr);
        return;
    }
    ASSERT_EQ(chmod(pty.path.c_str(), 0600), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const uid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) {
            _exit(100);
        }
        aStream* stream = nullptr;
        aErr err = aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &stream);
        _exit(stream == nullptr ? err : 101);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), aErrPermission);
}

} // namespace
