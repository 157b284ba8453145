// The serial-port stream over a POSIX terminal device, in raw mode.
//
// Reads never wait: a read with nothing waiting answers aErrNotReady at once,
// and callers that need a time-out count their own polls (the ISP driver
// sleeps 1 ms between them).
//
// Where an idle serial link waits: the link engine's reader goes straight
// back to reading after aErrNotReady, so a link over a stream that answers at
// once would spin a whole core while the line is quiet. The wait belongs to
// the port, which alone can sleep until a byte arrives (poll on its
// descriptor) and deliver that byte at once; a sleep in the engine would add
// its length to every reply and still wake the reader for nothing. So the
// engine's serial link opens its port with aStream_CreateSerialWaiting (wait
// aSERIAL_LINK_READ_WAIT_MS), while aStream_CreateSerial, which the ISP driver
// uses, keeps answering at once.
#include "aStream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t sSERIALCHECK = 0xBEEF;
constexpr size_t sSerialPathSize = 4096;

struct sSerialStream {
    int rateCode;
    char path[sSerialPathSize];
    int descriptor;      // -1 while closed
    termios saved;       // as found at open, written back at deletion
    termios working;     // as applied at open
    uint16_t check;      // sSERIALCHECK while alive
    bool savedValid;     // the saved settings were read
    uint32_t readWaitMs; // 0: reads answer at once
};

bool aVALIDSS(const sSerialStream* context) {
    return context != nullptr && context->check == sSERIALCHECK;
}

speed_t sSpeed(int rateCode) {
    static const speed_t speeds[aSERIAL_RATE_COUNT] = {B2400,  B4800,  B9600,   B19200,
                                                       B38400, B57600, B115200, B230400};
    if (rateCode < 0 || rateCode >= aSERIAL_RATE_COUNT) {
        return B0;
    }
    return speeds[rateCode];
}

aErr sSerialStreamGet(uint8_t* byte, void* ctx) {
    auto* context = static_cast<sSerialStream*>(ctx);
    if (!aVALIDSS(context) || byte == nullptr) {
        return aErrParam;
    }
    ssize_t n = read(context->descriptor, byte, 1);
    if (n == 0 && context->readWaitMs > 0) {
        pollfd readable{context->descriptor, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(context->readWaitMs)) > 0) {
            n = read(context->descriptor, byte, 1);
        }
    }
    if (n == 1) {
        return aErrNone;
    }
    if (n == 0 || errno == EINTR || errno == EAGAIN) {
        return aErrNotReady;
    }
    return aErrIO;
}

aErr sSerialStreamWrite(const uint8_t* bytes, uint64_t length, void* ctx) {
    auto* context = static_cast<sSerialStream*>(ctx);
    if (!aVALIDSS(context) || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    ssize_t n = write(context->descriptor, bytes, length);
    if (n < 0 || static_cast<uint64_t>(n) != length) {
        return aErrIO; // a short write is not completed
    }
    tcdrain(context->descriptor);
    return aErrNone;
}

aErr sSerialStreamPut(const uint8_t* byte, void* ctx) {
    return sSerialStreamWrite(byte, 1, ctx);
}

aErr sSerialStreamDelete(void* ctx) {
    auto* context = static_cast<sSerialStream*>(ctx);
    if (!aVALIDSS(context)) {
        return aErrParam;
    }
    if (context->descriptor >= 0) {
        if (context->savedValid) {
            tcsetattr(context->descriptor, TCSANOW, &context->saved);
        }
        close(context->descriptor);
        context->descriptor = -1;
        memset(&context->saved, 0, sizeof context->saved);
        context->savedValid = false;
    }
    context->check = 0;
    delete context;
    return aErrNone;
}

aErr sStreamOpenSerial(sSerialStream* context, uint8_t parity, unsigned int dataBitsSelector,
                       unsigned int stopBitsSelector) {
    int fd = open(context->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
            return aErrPermission;
        default:
            return aErrIO;
        }
    }
    context->descriptor = fd;
    // Blocking from here on; VMIN and VTIME 0 still make reads return at once.
    if (fcntl(fd, F_SETFL, 0) != 0) {
        return aErrIO;
    }
    if (tcgetattr(fd, &context->saved) != 0) {
        return aErrIO;
    }
    context->savedValid = true;

    termios& t = context->working;
    t = context->saved;
    t.c_iflag = IGNBRK | (parity != 0 ? IGNPAR : 0);
    t.c_oflag = 0;
    // No hardware flow control, no hang-up on close.
    t.c_cflag = CREAD | CLOCAL | (parity != 0 ? PARENB : 0) | (dataBitsSelector == 0 ? CS8 : CS7) |
                (stopBitsSelector == 1 ? CSTOPB : 0);
    t.c_lflag = 0; // no echo, no canonical mode, no signals
    speed_t speed = sSpeed(context->rateCode);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        return aErrIO;
    }
    if (tcflush(fd, TCIOFLUSH) != 0) {
        return aErrIO;
    }
    return aErrNone;
}

aErr sCreateSerial(const char* devicePath, int rateCode, uint8_t parity,
                   unsigned int dataBitsSelector, unsigned int stopBitsSelector,
                   uint32_t readWaitMs, aStream** streamOut) {
    if (streamOut != nullptr) {
        *streamOut = nullptr;
    }
    if (devicePath == nullptr || streamOut == nullptr || dataBitsSelector > 1 ||
        stopBitsSelector > 1) {
        return aErrResource;
    }
    // A path the context cannot hold whole is refused, not cut short.
    if (strnlen(devicePath, sSerialPathSize) >= sSerialPathSize) {
        return aErrResource;
    }
    auto* context = new (std::nothrow) sSerialStream;
    if (context == nullptr) {
        return aErrResource;
    }
    memset(context, 0, sizeof *context);
    context->rateCode = rateCode;
    strcpy(context->path, devicePath);
    context->descriptor = -1;
    context->readWaitMs = readWaitMs;
    context->check = sSERIALCHECK;
    aStream* stream = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                     sSerialStreamDelete, context);
    if (stream == nullptr) {
        sSerialStreamDelete(context);
        return aErrResource;
    }
    aErr err = sStreamOpenSerial(context, parity, dataBitsSelector, stopBitsSelector);
    if (err != aErrNone) {
        aStream_Destroy(&stream); // restores the settings if the port was opened
        return err;
    }
    *streamOut = stream;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSerial(const char* devicePath, int rateCode, uint8_t parity,
                          unsigned int dataBitsSelector, unsigned int stopBitsSelector,
                          aStream** streamOut) {
    return sCreateSerial(devicePath, rateCode, parity, dataBitsSelector, stopBitsSelector, 0,
                         streamOut);
}

aErr aStream_CreateSerialWaiting(const char* devicePath, int rateCode, uint8_t parity,
                                 unsigned int dataBitsSelector, unsigned int stopBitsSelector,
                                 uint32_t readWaitMs, aStream** streamOut) {
    return sCreateSerial(devicePath, rateCode, parity, dataBitsSelector, stopBitsSelector,
                         readWaitMs, streamOut);
}
