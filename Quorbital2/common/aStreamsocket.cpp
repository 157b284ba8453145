// The TCP socket stream.
//
// Reads are served from a receive buffer that one receive call fills with
// whatever is waiting, so a link's reader does not pay two system calls per
// byte. When nothing is waiting, a read sleeps in poll() until a byte arrives,
// for at most aSOCKET_READ_WAIT_MS, before it answers aErrNotReady: the link
// engine's reader goes straight back to reading after aErrNotReady, and an
// idle link must sleep there rather than spin, while an arriving byte is
// still delivered at once.
#include "aStream.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t sSOCKETCHECK = 0xDEAD;
constexpr uint32_t sSocketConnected = 1u << 0;
constexpr int sCloseDelayMs = 10;
constexpr size_t sReceiveBufferSize = 1024;

struct sSocketStream {
    uint16_t port;       // host byte order
    sockaddr_in address; // port and address in network byte order
    // The descriptor, or -1 when none is open (-1 rather than 0, so that a
    // socket that gets descriptor 0 is not mistaken for none). Both the
    // reading and the writing thread may replace it through a reconnect.
    std::atomic<int> socket{-1};
    std::atomic<uint32_t> flags{0}; // sSocketConnected
    uint16_t check;
    std::mutex resetLock; // one reconnect at a time
    // Read side only.
    uint8_t received[sReceiveBufferSize];
    size_t receivedCount = 0;
    size_t receivedPosition = 0;
};

bool aVALIDSS(const sSocketStream* context) {
    return context != nullptr && context->check == sSOCKETCHECK;
}

void sSleepMs(int ms) {
    poll(nullptr, 0, ms);
}

bool sWouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

void sSocketStreamClose(sSocketStream* context) {
    context->flags &= ~sSocketConnected;
    int fd = context->socket.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
    sSleepMs(sCloseDelayMs);
}

aErr sSocketStreamSetOptions(int fd) {
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        return aErrIO;
    }
    timeval noTimeout{0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0) {
        return aErrIO;
    }
    // Closing resets the connection at once.
    linger resetOnClose{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0) {
        return aErrIO;
    }
    if (ioctl(fd, FIONBIO, &on) != 0) {
        return aErrIO;
    }
    return aErrNone;
}

// (Re)connects to the stored address and port.
aErr sSocketStreamReset(sSocketStream* context) {
    if (!aVALIDSS(context)) {
        return aErrInitialization;
    }
    if (context->socket >= 0) {
        sSocketStreamClose(context);
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return aErrIO;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&context->address),
                sizeof context->address) != 0) {
        int err = errno;
        close(fd);
        sSleepMs(sCloseDelayMs);
        switch (err) {
        case EAGAIN:
        case ECONNRESET:
        case ETIMEDOUT:
        case ECONNREFUSED:
            return aErrConnection;
        default:
            return aErrIO;
        }
    }
    context->socket = fd;
    context->flags |= sSocketConnected;
    return sSocketStreamSetOptions(fd);
}

// Re-makes a connection found broken on descriptor `failed`. When the other
// thread has already replaced that descriptor, its new connection is kept.
aErr sSocketStreamReconnect(sSocketStream* context, int failed) {
    std::lock_guard<std::mutex> guard(context->resetLock);
    if (context->socket != failed && (context->flags & sSocketConnected) != 0) {
        return aErrNone;
    }
    context->flags &= ~sSocketConnected;
    return sSocketStreamReset(context);
}

// Peeks at one byte without taking it; when none is waiting, waits up to the
// read wait for one to arrive and peeks again. Answers recv's result, with
// the error in *err.
ssize_t sPeekWaiting(int fd, int* err) {
    uint8_t probe;
    ssize_t n = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && sWouldBlock(errno)) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, aSOCKET_READ_WAIT_MS) > 0) {
            n = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        }
    }
    *err = n < 0 ? errno : 0;
    return n;
}

bool sBrokenOnRead(int err) {
    return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT;
}

aErr sSocketStreamGet(uint8_t* byte, void* ctx) {
    auto* context = static_cast<sSocketStream*>(ctx);
    if (!aVALIDSS(context) || byte == nullptr) {
        return aErrParam;
    }
    if ((context->flags & sSocketConnected) == 0) {
        return aErrConnection;
    }
    if (context->receivedPosition < context->receivedCount) {
        *byte = context->received[context->receivedPosition++];
        return aErrNone;
    }
    int fd = context->socket;
    int err = 0;
    ssize_t n = sPeekWaiting(fd, &err);
    if (n < 0 && sBrokenOnRead(err)) {
        aErr reconnected = sSocketStreamReconnect(context, fd);
        if (reconnected != aErrNone) {
            return reconnected;
        }
        fd = context->socket;
        n = sPeekWaiting(fd, &err);
        if (n < 0 && sBrokenOnRead(err)) {
            return aErrConnection; // broken again at once
        }
    }
    if (n < 0) {
        if (sWouldBlock(err) || err == EINTR) {
            return aErrNotReady;
        }
        return aErrConnection;
    }
    if (n == 0) {
        // The peer closed the connection in order. That shows only as
        // silence; the wait keeps a reader that comes straight back from
        // spinning on a socket that is readable for ever.
        sSleepMs(aSOCKET_READ_WAIT_MS);
        return aErrNotReady;
    }
    n = recv(fd, context->received, sizeof context->received, MSG_DONTWAIT);
    if (n < 0) {
        err = errno;
        if (sWouldBlock(err)) {
            return aErrEOF;
        }
        if (sBrokenOnRead(err)) {
            return aErrNotReady;
        }
        return aErrIO;
    }
    if (n == 0) {
        return aErrNotReady;
    }
    context->receivedCount = static_cast<size_t>(n);
    context->receivedPosition = 1;
    *byte = context->received[0];
    return aErrNone;
}

aErr sSocketStreamWrite(const uint8_t* bytes, uint64_t length, void* ctx) {
    auto* context = static_cast<sSocketStream*>(ctx);
    if (!aVALIDSS(context) || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    if ((context->flags & sSocketConnected) == 0) {
        return aErrConnection;
    }
    int retries = 0;
    uint64_t sent = 0;
    while (sent < length) {
        int fd = context->socket;
        ssize_t n = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            int err = errno;
            if (err == EINTR) {
                continue; // nothing was sent; try again at once
            }
            if (sWouldBlock(err)) {
                retries++;
            } else if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) {
                aErr reconnected = sSocketStreamReconnect(context, fd);
                if (reconnected != aErrNone) {
                    return reconnected;
                }
                retries++;
            } else {
                return aErrIO;
            }
        } else if (n == 0) {
            retries++;
        } else {
            sent += static_cast<uint64_t>(n);
            if (sent == length) {
                break;
            }
            retries = 1;
        }
        if (retries >= aSOCKET_MAX_SEND_RETRY) {
            break; // the peer takes nothing: the rest is dropped
        }
        sSleepMs(aSOCKET_RETRY_DELAY_MS);
    }
    return aErrNone;
}

aErr sSocketStreamPut(const uint8_t* byte, void* ctx) {
    return sSocketStreamWrite(byte, 1, ctx);
}

aErr sSocketStreamDelete(void* ctx) {
    auto* context = static_cast<sSocketStream*>(ctx);
    if (!aVALIDSS(context)) {
        return aErrIO;
    }
    if (context->socket >= 0) {
        sSocketStreamClose(context);
    }
    context->flags = 0;
    context->check = 0;
    delete context;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** streamOut) {
    if (streamOut == nullptr) {
        return aErrResource;
    }
    *streamOut = nullptr;
    auto* context = new (std::nothrow) sSocketStream;
    if (context == nullptr) {
        return aErrResource;
    }
    context->port = port;
    memset(&context->address, 0, sizeof context->address);
    context->address.sin_family = AF_INET;
    context->address.sin_port = htons(port);
    context->address.sin_addr.s_addr = address;
    context->check = sSOCKETCHECK;
    if (sSocketStreamReset(context) != aErrNone) {
        sSocketStreamDelete(context);
        return aErrResource;
    }
    aStream* stream = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                     sSocketStreamDelete, context);
    if (stream == nullptr) {
        sSocketStreamDelete(context);
        return aErrResource;
    }
    *streamOut = stream;
    return aErrNone;
}
