// The TCP socket stream against a loopback peer that talks, closes in order,
// resets, refuses and stops reading.
#include "aStream.h"

#include "IdleReadCheck.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening socket on 127.0.0.1 and the connections it accepts; every
// descriptor is closed when the test ends.
class Peer {
public:
    explicit Peer(int receiveBuffer = 0) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) { // inherited by accepted connections
            setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = kLoopback;
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
        }
        port = ntohs(address.sin_port);
    }
    ~Peer() {
        stopListening();
        for (int fd : connections) {
            close(fd);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // The next connection, or -1 when none comes within the time.
    int accept(std::chrono::milliseconds within = 5s) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(within.count())) != 1) {
            return -1;
        }
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            connections.push_back(fd);
        }
        return fd;
    }
    void stopListening() {
        if (listener >= 0) {
            close(listener);
            listener = -1;
        }
    }
    static void send(int fd, const std::string& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes came or nothing more arrives for a while.
    static std::string receive(int fd, size_t count, std::chrono::milliseconds quiet = 500ms) {
        std::string got;
        char buffer[65536];
        while (got.size() < count) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(quiet.count())) != 1) {
                break;
            }
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // Closes with a reset instead of an orderly close.
    void reset(int fd) {
        linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        forget(fd);
        close(fd);
    }
    void closeInOrder(int fd) {
        forget(fd);
        close(fd);
    }

    uint16_t port = 0;

private:
    void forget(int fd) { std::erase(connections, fd); }
    int listener = -1;
    std::vector<int> connections;
};

struct Stream {
    aStream* stream = nullptr;
    ~Stream() { aStream_Destroy(&stream); }
    aErr get(uint8_t* byte) { return stream->getProc(byte, stream->context); }
    // Reads count bytes, retrying while the stream answers aErrNotReady.
    std::string read(size_t count, int attempts = 200) {
        std::string buffer(count, '\0');
        for (int i = 0; i < attempts; i++) {
            aErr err = aStream_Read(stream, reinterpret_cast<uint8_t*>(buffer.data()), count);
            if (err == aErrNone) {
                return buffer;
            }
            EXPECT_EQ(err, aErrNotReady);
        }
        return "(nothing)";
    }
    aErr write(const std::string& bytes) {
        return aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
};

// A stream connected to a loopback peer; fd is the peer's side.
class ConnectedSocketStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateSocket(kLoopback, peer.port, &s.stream), aErrNone);
        fd = peer.accept();
        ASSERT_GE(fd, 0);
    }

    Peer peer;
    Stream s;
    int fd = -1;
};

TEST(SocketStream, RefusedConnection) {
    uint16_t port;
    {
        Peer closed;
        port = closed.port;
    } // nothing listens there now
    aStream* stream = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    Peer peer;
    EXPECT_EQ(aStream_CreateSocket(kLoopback, peer.port, nullptr), aErrResource);
}

TEST_F(ConnectedSocketStream, Exchange) {

    EXPECT_EQ(s.write("\x06\x04\x03\x49\x20\x07"), aErrNone);
    EXPECT_EQ(s.write("!"), aErrNone);
    EXPECT_EQ(Peer::receive(fd, 7), "\x06\x04\x03\x49\x20\x07!");

    // A 4-byte read with 3 bytes there gives nothing; with the 4th, all four.
    Peer::send(fd, "abc");
    std::this_thread::sleep_for(30ms);
    std::string buffer = "XXXX";
    EXPECT_EQ(aStream_Read(s.stream, reinterpret_cast<uint8_t*>(buffer.data()), 4), aErrNotReady);
    EXPECT_EQ(buffer, "XXXX");
    Peer::send(fd, "d");
    EXPECT_EQ(s.read(4), "abcd");

    // Many bytes at once arrive whole and in order.
    std::string block;
    for (int i = 0; i < 5000; i++) {
        block += static_cast<char>(i * 13);
    }
    Peer::send(fd, block);
    EXPECT_EQ(s.read(block.size()), block);
}

// An idle read sleeps until a byte comes, for a short time, instead of
// answering at once: a reader that goes straight back does not spin, and the
// byte is delivered as soon as it arrives.
TEST_F(ConnectedSocketStream, IdleReadWaitsForABriefTime) {
    qbtest::ExpectIdleReadsSleep([&](uint8_t* byte) { return s.get(byte); },
                                 [&] { Peer::send(fd, "Q"); }, aSOCKET_READ_WAIT_MS, 'Q');
}

TEST_F(ConnectedSocketStream, PeerClosesInOrder) {
    Peer::send(fd, "xy");
    peer.closeInOrder(fd);
    EXPECT_EQ(s.read(2), "xy");
    // The closed connection shows only as silence, and reading it does not spin.
    uint8_t byte;
    auto start = Clock::now();
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(s.get(&byte), aErrNotReady);
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(5 * (aSOCKET_READ_WAIT_MS - 2)));
}

TEST_F(ConnectedSocketStream, ReadAfterResetReconnects) {
    int first = fd;
    peer.reset(first);
    std::this_thread::sleep_for(30ms);
    uint8_t byte;
    EXPECT_EQ(s.get(&byte), aErrNotReady); // reconnected; nothing there yet
    int second = peer.accept(1s);
    ASSERT_GE(second, 0);
    Peer::send(second, "z");
    EXPECT_EQ(s.read(1), "z");
    EXPECT_EQ(s.write("back"), aErrNone);
    EXPECT_EQ(Peer::receive(second, 4), "back");
}

TEST_F(ConnectedSocketStream, WriteAfterResetReconnects) {
    int first = fd;
    peer.reset(first);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(s.write("AF0101"), aErrNone);
    int second = peer.accept(1s);
    ASSERT_GE(second, 0);
    EXPECT_EQ(Peer::receive(second, 6), "AF0101");
}

TEST_F(ConnectedSocketStream, ResetWithNobodyListening) {
    peer.stopListening();
    peer.reset(fd);
    std::this_thread::sleep_for(30ms);
    uint8_t byte;
    EXPECT_EQ(s.get(&byte), aErrConnection); // the reconnect was refused
    // Not connected from now on, until the stream is destroyed.
    EXPECT_EQ(s.get(&byte), aErrConnection);
    EXPECT_EQ(s.write("x"), aErrConnection);
    EXPECT_EQ(s.write("xyz"), aErrConnection);
}

// A peer that takes nothing: the write gives up after its retries, drops the
// rest and reports success.
TEST(SocketStream, WriteToAPeerThatStopsReading) {
    Peer peer(4096);
    Stream s;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, peer.port, &s.stream), aErrNone);
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    std::string block(16 << 20, 'w');
    auto start = Clock::now();
    EXPECT_EQ(s.write(block), aErrNone);
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(
                        (aSOCKET_MAX_SEND_RETRY - 1) * aSOCKET_RETRY_DELAY_MS - 20));
    EXPECT_LT(took, 10s);
    EXPECT_LT(Peer::receive(fd, block.size(), 200ms).size(), block.size());
}

// The link engine reads from one thread and writes from another.
TEST_F(ConnectedSocketStream, ReaderAndWriterAtOnce) {
    std::string message;
    for (int i = 0; i < 20000; i++) {
        message += static_cast<char>(i % 251);
    }
    std::thread echo([&] {
        std::string got = Peer::receive(fd, message.size(), 5s);
        Peer::send(fd, got);
    });
    std::string received;
    std::thread reader([&] {
        uint8_t byte;
        auto until = Clock::now() + 20s;
        while (received.size() < message.size() && Clock::now() < until) {
            aErr err = aStream_Read(s.stream, &byte, 1);
            if (err == aErrNone) {
                received += static_cast<char>(byte);
            } else {
                EXPECT_EQ(err, aErrNotReady);
            }
        }
    });
    for (size_t at = 0; at < message.size(); at += 30) { // packet-sized writes
        ASSERT_EQ(s.write(message.substr(at, 30)), aErrNone);
    }
    echo.join();
    reader.join();
    EXPECT_EQ(received, message);
}

} // namespace
