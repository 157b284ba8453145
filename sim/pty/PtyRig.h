// Simulated modules behind pseudo-terminals.
//
// NodeRig stands in for the family's kernel driver: the module appears as
// "/dev/quorbital.%08X" (a symlink to a pty slave set raw with VMIN 0 and
// VTIME 1), so that a client's open/read/write on that name reach the peer,
// and a one-byte read returns 0 after about 100 ms when nothing waits. The
// node follows the peer: when the peer leaves its transport the link goes
// and the pty is closed (an open client sees a hang-up); when it comes back
// a fresh pty is linked under the identity of that moment.
//
// SerialRig is a serial port with the peer on the other end: the client opens
// portPath() as a serial port (termios raw, any rate). A pty moves bytes at
// once; with pacing the rig moves them no faster than a line at the given
// bit rate (or at the rate the client set on the port).
//
// Both shuttle bytes on a thread of their own that sleeps in poll() between
// the peer's wakeups. The peer is called on that thread only; it must
// outlive the rig.
#ifndef QBSIM_PTY_RIG_H
#define QBSIM_PTY_RIG_H

#include "peer/BytePeer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace qbsim::pty {

enum class Pacing {
    None,     // bytes move as fast as the pty takes them
    Fixed,    // at Options::bitsPerSecond
    PortRate, // at the output rate the client set on the port (none if unknown)
};

// The shuttle shared by both rigs.
class PtyRig {
public:
    virtual ~PtyRig();
    PtyRig(const PtyRig&) = delete;
    PtyRig& operator=(const PtyRig&) = delete;

    // Looks at the peer now instead of at its next wakeup.
    void wake();
    // Stops the thread and closes the pty (idempotent; the destructor stops).
    void stop();

    // The pty slave's path while open ("" otherwise).
    std::string slavePath() const;

protected:
    struct Settings {
        bool nodeTermios = false; // VMIN 0, VTIME 1 (the driver node)
        Pacing pacing = Pacing::None;
        unsigned bitsPerSecond = 0;
        unsigned bitsPerByte = 10; // start + 8 data + stop
    };

    PtyRig(BytePeer& peer, Settings settings);

    // Opens a pty (master non-blocking, slave kept open, raw); throws on failure.
    void openPty();
    void closePty();
    bool ptyOpen() const { return master_ >= 0; }

    // Starts the thread; derived constructors call it last.
    void start();

    // Rig thread (and the derived constructor before start()): make the pty
    // match the peer. The default keeps it as it is.
    virtual void followPeer(Clock::time_point) {}
    // When followPeer() wants to run again on its own account.
    virtual Clock::time_point followWakeup(Clock::time_point) const {
        return Clock::time_point::max();
    }
    // Rig thread: bytes on their way to the client or waiting in the pty.
    bool hostHasUnread() const;

    BytePeer& peer_;
    mutable std::mutex state_; // guards the pty fields against slavePath() readers

private:
    // Bytes on their way, each with the moment it has crossed the line.
    struct Line {
        std::deque<uint8_t> bytes;
        std::deque<Clock::time_point> due;
        Clock::time_point next{}; // when the line is free again
    };

    void run();
    void readFromHost(Clock::time_point now);
    void deliverToPeer(Clock::time_point now);
    void pullFromPeer(Clock::time_point now);
    void writeToHost(Clock::time_point now);
    Clock::duration byteTime() const; // zero: no pacing
    Clock::time_point nextEvent(Clock::time_point now) const;

    const Settings settings_;
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    Line toPeer_;
    Line toHost_;
};

class NodeRig : public PtyRig {
public:
    struct Options {
        // Where the link goes; "/dev" for the real name (needs root).
        std::string directory = "/dev";
    };

    // Creates the link at once when the peer is present. Throws when the
    // name is taken by something other than a stale link.
    explicit NodeRig(BytePeer& peer) : NodeRig(peer, Options{}) {}
    NodeRig(BytePeer& peer, Options options);
    ~NodeRig() override;

    // The link's path for the current (or last) identity.
    std::string linkPath() const;
    // Whether the link is there now; waits until it is (or is not).
    bool linked() const;
    bool waitLinked(bool state, std::chrono::milliseconds timeout) const;
    // How many times the link went away; waits until it has that often. A
    // module that is back at once is gone and linked again in one step, too
    // quickly for waitLinked(false) to be sure to see it.
    bool waitDepartures(size_t count, std::chrono::milliseconds timeout) const;

    // "<directory>/quorbital.%08X".
    static std::string linkPathFor(const std::string& directory, uint32_t serialNumber);

private:
    void followPeer(Clock::time_point now) override;
    Clock::time_point followWakeup(Clock::time_point now) const override;
    void link(uint32_t serialNumber);

    // How long a leaving module's last bytes wait for the client.
    static constexpr std::chrono::milliseconds kLeaveGrace{2000};
    void unlink();

    const Options options_;
    std::string linkPath_;
    std::string linkTarget_;
    bool linked_ = false;
    size_t departures_ = 0;
    uint32_t linkedSerial_ = 0;
    bool leaving_ = false; // the peer left; its last bytes are being read
    Clock::time_point leavingSince_{};
    bool failed_ = false; // the name for failedSerial_ was taken; not retried
    uint32_t failedSerial_ = 0;
    mutable std::condition_variable changed_;
};

class SerialRig : public PtyRig {
public:
    struct Options {
        Pacing pacing = Pacing::None;
        unsigned bitsPerSecond = 115200; // for Pacing::Fixed
        unsigned bitsPerByte = 10;
    };

    explicit SerialRig(BytePeer& peer) : SerialRig(peer, Options{}) {}
    SerialRig(BytePeer& peer, Options options);
    ~SerialRig() override;

    // The port a client opens ("/dev/pts/N").
    std::string portPath() const { return slavePath(); }
};

} // namespace qbsim::pty

#endif
