// Byte streams: one small record of four optional operations and an opaque
// context, through which every transport is read and written (files, TCP
// sockets, serial ports, USB devices, local-server connections).
//
// A transport makes its stream with aStream_Create, handing over its context;
// aStream_Destroy runs the transport's delete operation. Multi-byte reads are
// all-or-nothing: bytes taken by a read that meets aErrNotReady go into the
// stream's push-back ring and are delivered first by the next read.
#ifndef QB_ASTREAM_H
#define QB_ASTREAM_H

#include "aError.h"

#include <cstdint>

// Fills *byte; aErrNone with a byte, aErrNotReady when none is available (a
// transport may first wait a short, bounded time), aErrEOF at a definite end,
// any other code on failure.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* context);
// Sends one byte.
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* context);
// Sends length bytes.
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, uint64_t length, void* context);
// Releases the context and everything it owns.
typedef aErr (*aStreamDeleteProc)(void* context);

constexpr uint16_t aSTREAMCHECK = 0x4321;
// First size of the push-back ring and its growth step, in bytes.
constexpr uint64_t aSTREAMBUFCHUNK = 512;
// A socket write gives up after this many retries, this many ms apart.
constexpr int aSOCKET_MAX_SEND_RETRY = 10;
constexpr int aSOCKET_RETRY_DELAY_MS = 60;
// How long a socket read waits for a byte before it answers aErrNotReady.
constexpr int aSOCKET_READ_WAIT_MS = 20;

struct aStream {
    aStreamGetProc getProc;       // may be null
    aStreamPutProc putProc;       // may be null
    aStreamWriteProc writeProc;   // may be null
    aStreamDeleteProc deleteProc; // may be null
    void* context;                // owned by the stream
    // Push-back ring, allocated on first use.
    uint8_t* buffer;
    uint64_t bufferCount; // bytes held
    uint64_t bufferSize;  // capacity
    uint64_t readIndex;
    uint64_t writeIndex;
    uint16_t check; // aSTREAMCHECK while alive
};
typedef aStream* aStreamRef;

inline bool aVALIDSTREAM(const aStream* stream) {
    return stream != nullptr && stream->check == aSTREAMCHECK;
}

// A new stream owning context, or null when memory is short (the context is
// then still the caller's).
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc remove, void* context);
// Runs the delete operation and answers its result, frees the stream and
// clears the caller's reference; aErrParam for an invalid stream.
aErr aStream_Destroy(aStream** stream);

// Appends one byte to the push-back ring (grown in 512-byte steps).
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

// Exactly count bytes or none: aErrNotReady leaves the buffer untouched and
// keeps the bytes for the next read. aErrEOF copies what arrived.
aErr aStream_Read(aStream* stream, uint8_t* buffer, uint64_t count);
// One write-block call for more than one byte when the stream has one, else
// put-byte per byte up to the first failure.
aErr aStream_Write(aStream* stream, const uint8_t* data, uint64_t count);

// Reads one record ending in the terminator sequence (not stored), or filling
// capacity bytes. aErrNotReady keeps the bytes in the stream so that a later
// call reads the record again from its start; aErrEOF after some bytes ends
// the record with aErrNone. lengthOut may be null. A capacity of 0 completes
// at once with nothing read.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, uint64_t* lengthOut, uint64_t capacity,
                        const uint8_t* terminator, uint64_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, uint64_t length,
                         const uint8_t* terminator, uint64_t terminatorLength);
// A record ended by a 0 byte, at most size - 1 characters, closed by a 0.
// aErrParam for a size of 0.
aErr aStream_ReadCString(aStream* stream, char* buffer, uint64_t size);
// The characters and a 0 byte.
aErr aStream_WriteCString(aStream* stream, const char* text);
// A record ended by the characters of terminatorText, closed by a 0.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, uint64_t size,
                               const char* terminatorText);
// The characters of text, then those of terminatorText with its closing 0.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminatorText);

// Copies input to output byte by byte until the input ends (aErrEOF gives
// aErrNone). The push-back ring of the input is not consulted.
aErr aStream_Flush(aStream* input, aStream* output);

// Files (aFile): an input stream with get-byte only, an output stream
// (created or truncated) with put-byte and write-block. aErrResource on any failure.
aErr aStream_CreateFileInput(const char* path, aStream** streamOut);
aErr aStream_CreateFileOutput(const char* path, aStream** streamOut);

// A TCP connection to address (IPv4, network byte order) and port (host
// order). A broken connection is re-made on the spot by the next read or
// write. A read with nothing waiting waits up to aSOCKET_READ_WAIT_MS for a
// byte, then answers aErrNotReady. aErrResource when it cannot connect.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** streamOut);

// Bit rates of a serial port by rate code; any other code sets speed 0.
constexpr int aSERIAL_RATE_COUNT = 8;
constexpr int aSERIAL_RATES[aSERIAL_RATE_COUNT] = {2400,  4800,  9600,   19200,
                                                   38400, 57600, 115200, 230400};

// A serial port (terminal device) in raw mode. parity: non-zero for even
// parity; dataBitsSelector: 0 for 8 data bits, 1 for 7; stopBitsSelector: 0
// for one stop bit, 1 for two. Reads never wait: aErrNotReady at once when no
// byte is waiting. aErrResource for a null argument or a selector above 1;
// aErrNotFound, aErrPermission or aErrIO when the port cannot be opened. The
// terminal settings found at open are restored when the stream is destroyed.
aErr aStream_CreateSerial(const char* devicePath, int rateCode, uint8_t parity,
                          unsigned int dataBitsSelector, unsigned int stopBitsSelector,
                          aStream** streamOut);

// The same port for a packet link: a read with nothing waiting first waits up
// to readWaitMs for a byte (poll on the port), so that a link's reader thread,
// which goes straight back to reading after aErrNotReady, sleeps while the
// line is idle and still gets an arriving byte at once.
aErr aStream_CreateSerialWaiting(const char* devicePath, int rateCode, uint8_t parity,
                                 unsigned int dataBitsSelector, unsigned int stopBitsSelector,
                                 uint32_t readWaitMs, aStream** streamOut);
// The wait a packet link over a serial port asks for.
constexpr uint32_t aSERIAL_LINK_READ_WAIT_MS = 20;

#endif
