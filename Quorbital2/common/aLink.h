// The link engine: a byte stream to one module (USB, TCP socket, serial port,
// or a stream the caller made) turned into two packet queues, one of packets
// received from the module and one of packets waiting to be written to it.
//
// Each running link has a reader thread, which frames incoming bytes into
// packets, answers the module's heartbeats, restores framing when it is lost,
// offers each packet to an optional user filter and queues the rest, and a
// writer thread, the only one that writes to the stream. Links live in a
// process-wide table and are named by ids from 1 that are never reused;
// users of the same module share one link through a use count.
//
// Frame on the stream: address byte, length byte (0..28), data bytes. Module
// addresses are even and non-zero. Framing is restored by synchronisation:
// six empty packets to cmdMAGIC (AD 00), each answered by an empty packet
// from the module's address; two such answers in a row from the same
// address restore framing.
#ifndef QB_ALINK_H
#define QB_ALINK_H

#include "aError.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"

#include <atomic>
#include <cstdint>
#include <mutex>

// Link status (aLink_GetStatus).
constexpr int32_t aLINK_STATUS_STOPPED = 0;    // created, or after stop
constexpr int32_t aLINK_STATUS_STARTING = 1;   // threads being started
constexpr int32_t aLINK_STATUS_RUNNING = 2;    // framing synchronised, packets flow
constexpr int32_t aLINK_STATUS_STOPPING = 3;   // being stopped
constexpr int32_t aLINK_STATUS_SYNCING = 4;    // restoring framing
constexpr int32_t aLINK_STATUS_NOSTREAM = 5;   // no stream; also any unknown id
constexpr int32_t aLINK_STATUS_IOERROR = 6;    // the last read from the stream failed
constexpr int32_t aLINK_STATUS_QUEUEERROR = 8; // a received packet could not be queued

// Synchronisation states of the reader.
constexpr int32_t kSyncStateIdle = 0;
constexpr int32_t kSyncStateStart = 1; // a burst is being queued
constexpr int32_t kSyncStateByte1 = 2; // waiting for the address of a first answer
constexpr int32_t kSyncStateByte2 = 3; // its length byte, which must be 0
constexpr int32_t kSyncStateByte3 = 4; // the address of a second answer, the same again
constexpr int32_t kSyncStateByte4 = 5; // its length byte, which must be 0

constexpr uint16_t aLINK_CHECK = 0xCEED;

// Bursts of this many AD 00 packets restore framing.
constexpr int aLINK_SYNC_BURST = 6;
// How long the writer waits for a packet before it looks at `running` again.
constexpr uint32_t aLINK_WRITER_WAIT_MS = 1000;
// Start and synchronisation poll every 10 ms, up to 200 times.
constexpr uint32_t aLINK_POLL_MS = 10;
constexpr int aLINK_POLL_COUNT = 200;
// The reader's pause after a failed read.
constexpr uint32_t aLINK_READ_ERROR_PAUSE_MS = 100;
// A reset tries this many times, this far apart, to open a new stream.
constexpr int aLINK_RESET_TRIES = 20;
constexpr uint32_t aLINK_RESET_PAUSE_MS = 100;
// Identifier of links made by aLink_Create.
constexpr uint32_t aLINK_ANY_IDENTIFIER = 0xFFFFFFFF;

// One link. The table entry owns it; it lives while anything holds the
// entry, so a thread that looked a link up may still read it after the link
// was destroyed (it then finds the check word cleared and nothing running).
//
// running, status, the FIFO ids, the started flags and the synchronisation
// fields are shared between the two threads and the controlling threads and
// are atomic. The assembling packet belongs to the reader while the link
// runs. The stream, the thread handles and the packet log's existence change
// only under `control` with the threads stopped (the log also under
// logLock); the user filter only under filterLock.
struct aLinkRecord {
    std::atomic<uint16_t> check; // aLINK_CHECK while the record is live
    int32_t id;
    std::atomic<bool> running; // the threads keep going while true
    std::atomic<int32_t> status;
    std::atomic<uint64_t> inFifo;  // packets received from the module
    aPacket* assembling;           // the packet being assembled from incoming bytes
    std::atomic<uint64_t> outFifo; // packets to write
    aThread* inThread;
    aThread* outThread;
    aThreadProc inProcedure;
    aThreadProc outProcedure;
    std::atomic<bool> inStarted;
    std::atomic<bool> outStarted;
    aStream* stream;                     // owned
    std::atomic<int32_t> heartbeatState; // 0 idle; 2 or 3 while a reply is made
    std::atomic<int32_t> syncState;
    std::atomic<uint8_t> syncAddress; // address of the first answer of a synchronisation
    aPacketLog* packetLog;            // present once logging was switched on
    int32_t packetLogSize;            // capacity of the log; 0 for the default
    std::atomic<aMutex*> logLock;     // "LOG_SEMA_%p", made with the log
    aPacketFilter userFilter;
    void* userFilterReference;
    aMutex* filterLock; // "aLink(%p)->userFilterSema", made with the record

    // Whether received and written packets go into the packet log.
    std::atomic<bool> packetLogOn;
    // One start, stop, synchronisation, reset, destroy or packet-log change
    // at a time. Never held by the reader or the writer.
    std::mutex control;

    aLinkRecord();  // an empty record: not live, status 5
    ~aLinkRecord(); // frees whatever is still held
    aLinkRecord(const aLinkRecord&) = delete;
    aLinkRecord& operator=(const aLinkRecord&) = delete;
};
typedef aLinkRecord* aLinkRef;

// Creation. Each answers the link id, or 0 on failure with nothing left
// behind. USB, TCP/IP and serial links are shared: for a module that already
// has a link (same transport and identifier; for TCP/IP also the same port)
// the existing id is returned and its use count raised.

// A USB link to the module with this serial number: started, synchronised
// and routed through this link.
int32_t aLink_CreateUSB(uint32_t serialNumber);
// A socket link to ipAddress (IPv4, network byte order, as in linkSpec) and
// port: started, not synchronised.
int32_t aLink_CreateTCPIP(uint32_t ipAddress, uint32_t port);
// A serial-port link at one of 2400, 4800, 9600, 19200, 38400, 57600, 115200
// or 230400 bit/s, 8 data bits, no parity, 1 stop bit; identifier (the
// module's serial number) names it in the table. Started, not synchronised.
int32_t aLink_CreateSerial(uint32_t identifier, const char* portName, uint32_t baudRate);
// A USB link shared through a local link server, and a client link to such
// a server. Both come with the local link server; until then they make
// nothing and answer 0.
int32_t aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress,
                           bool localOnly);
int32_t aLink_CreateClient(uint32_t ipAddress, uint32_t port, int32_t existingId);
// A link over a stream the caller made; the link owns the stream from here
// on, also when creation fails. Never shared. Started, not synchronised.
int32_t aLink_Create(aStream* stream);

// Sets up the record of a table entry around stream (owned from here on;
// null for none: status 5): new FIFOs and assembling packet, no user filter,
// no packet log. Answers the id, or 0 when the id is not in the table, the
// link runs, or the FIFOs cannot be made (the stream is then still the
// caller's).
int32_t aLink_Init(int32_t id, aStream* stream);

// Status; aLINK_STATUS_NOSTREAM for an unknown id.
int32_t aLink_GetStatus(int32_t id);

// Queues a copy of the packet for writing; the caller keeps its packet.
// aErrParam for an unknown id or an invalid packet.
aErr aLink_PutPacket(int32_t id, const aPacket* packet);
// The oldest received packet, or null; it belongs to the caller.
aPacket* aLink_GetPacket(int32_t id);
// The oldest received packet, waiting up to timeout ms while the link runs
// in status 2; null at once in any other status.
aPacket* aLink_AwaitPacket(int32_t id, uint32_t timeout);
// The oldest received packet the filter accepts (a null filter accepts all).
aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* reference);
// As aLink_GetFirst, waiting up to timeout ms while the link runs in status 2;
// null at once in any other status.
aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* reference, uint32_t timeout);
// Discards the received packets the filter accepts (all for a null filter);
// answers how many.
size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* reference);
// Installs the user filter, or removes it with a null filter. The filter runs
// on the reader thread, under the filter lock, for every complete packet;
// answering 1 consumes the packet, any other answer passes it on. aErrParam
// for an unknown id; aErrDuplicate from inside the running filter.
aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* reference);

// Starts the two threads and waits up to 2 s for them (aErrIndexRange when
// they do not come up in status 2), then switches routing on. aErrNone at
// once for a running link; aErrParam for an unknown id; aErrResource when a
// thread cannot be started.
aErr aLink_Start(int32_t id);
// Stops the threads; the module is first told to stop routing (AF 01 00),
// and everything still queued is written. aErrUnknown when a join fails;
// aErrBusy on the link's own threads.
aErr aLink_Stop(aLinkRecord* link);
// Restores framing: waits up to 2 s for it, then discards what is queued
// both ways. aErrNotReady when it did not complete; aErrParam for an unknown
// id; aErrBusy on the link's own reader thread.
aErr aLink_Sync(int32_t id);
// Queues AF 01 01 (on) or AF 01 00 (off). aErrNotFound for an unknown id,
// aErrParam for an entry without record, aErrMemory when no packet can be made.
aErr aLink_ForceRoute(int32_t id, bool on);
// Stops the link and makes it anew over a new stream of the same transport
// (USB, TCP/IP), keeping its id and use count; a user filter must be
// installed again. aErrParam for an unknown id or a link whose stream cannot
// be made again (serial and caller-made links), which is left as it is; the
// open's error when no new stream comes within 20 tries (the link is then
// left stopped without stream, status 5); else the start's result. aErrBusy
// on the link's own threads.
aErr aLink_Reset(int32_t id);
// Lowers the use count; the last holder's call stops the link (the module
// receives AF 01 00 first) and frees everything. Clears the caller's id.
// aErrParam for an unknown id. Called on the link's own reader thread (from
// a user filter) it does nothing and answers aErrBusy, keeping the id: the
// reader cannot wait for its own end.
aErr aLink_Destroy(int32_t* id);

// Packet log.
// Capacity of the log to be made: up to aPACKETLOG_MAX_SIZE (aErrParam
// above; negative counts as 0, the default); aErrBusy once the log exists.
aErr aLink_PacketDebug_SetLogSize(int32_t id, int32_t size);
// Makes the log on first use and switches logging on.
aErr aLink_PacketDebug_Enable(int32_t id);
// Switches logging off; aErrNotReady when there is no log.
aErr aLink_PacketDebug_Disable(int32_t id);
// Takes the oldest record: *length is the buffer's capacity on entry and the
// record's length on return. aErrNotFound when the log is empty or absent,
// aErrOverrun (record kept) when the buffer is too small.
aErr aLink_PacketDebug_Read(int32_t id, uint8_t* direction, uint32_t* length, uint8_t* buffer);
// Adds a record (for example a text note, direction 3). aErrNotReady when
// there is no log.
aErr aLink_PacketDebug_Write(int32_t id, uint8_t direction, uint8_t length, const uint8_t* bytes);

#endif
