#include "PtyRig.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace qbsim::pty {

namespace {

// What the rig holds for the host before it stops taking from the peer.
constexpr size_t kBacklog = 4096;

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

unsigned rateOf(speed_t speed) {
    switch (speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B500000:
        return 500000;
    case B576000:
        return 576000;
    case B921600:
        return 921600;
    case B1000000:
        return 1000000;
    default:
        return 0;
    }
}

} // namespace

// ---- PtyRig ------------------------------------------------------------------

PtyRig::PtyRig(BytePeer& peer, Settings settings) : peer_(peer), settings_(settings) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        throw systemError("eventfd");
    }
}

PtyRig::~PtyRig() {
    stop();
    closePty();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

void PtyRig::openPty() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        throw systemError("posix_openpt");
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        int saved = errno;
        close(master);
        errno = saved;
        throw systemError("pty set-up");
    }
    // Kept open for the pty's whole life: without a slave descriptor the
    // master's reads fail with EIO whenever no client has the port open.
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        int saved = errno;
        close(master);
        errno = saved;
        throw systemError(std::string("open ") + name);
    }
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        if (settings_.nodeTermios) {
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 1;
        }
        tcsetattr(slave, TCSANOW, &t);
    }
    std::lock_guard<std::mutex> g(state_);
    master_ = master;
    slave_ = slave;
    slavePath_ = name;
    toPeer_ = Line{};
    toHost_ = Line{};
}

void PtyRig::closePty() {
    std::lock_guard<std::mutex> g(state_);
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    slavePath_.clear();
    toPeer_ = Line{};
    toHost_ = Line{};
}

std::string PtyRig::slavePath() const {
    std::lock_guard<std::mutex> g(state_);
    return slavePath_;
}

void PtyRig::start() {
    thread_ = std::thread([this] { run(); });
}

void PtyRig::wake() {
    uint64_t one = 1;
    ssize_t rc = write(wakeFd_, &one, sizeof one);
    (void)rc;
}

void PtyRig::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_ = true;
    wake();
    thread_.join();
}

Clock::duration PtyRig::byteTime() const {
    unsigned rate = 0;
    switch (settings_.pacing) {
    case Pacing::None:
        return Clock::duration::zero();
    case Pacing::Fixed:
        rate = settings_.bitsPerSecond;
        break;
    case Pacing::PortRate: {
        termios t;
        if (slave_ >= 0 && tcgetattr(slave_, &t) == 0) {
            rate = rateOf(cfgetospeed(&t));
        }
        break;
    }
    }
    if (rate == 0) {
        return Clock::duration::zero();
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(1'000'000'000ull * std::max(settings_.bitsPerByte, 1u) / rate));
}

void PtyRig::readFromHost(Clock::time_point now) {
    const auto perByte = byteTime();
    uint8_t buf[4096];
    for (int rounds = 0; rounds < 16; ++rounds) {
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) {
            return;
        }
        if (!peer_.present(now)) {
            continue; // nobody on the other end
        }
        if (perByte == Clock::duration::zero()) {
            peer_.fromHost(buf, static_cast<size_t>(n), now);
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            toPeer_.next = std::max(now, toPeer_.next) + perByte;
            toPeer_.bytes.push_back(buf[i]);
            toPeer_.due.push_back(toPeer_.next);
        }
    }
}

void PtyRig::deliverToPeer(Clock::time_point now) {
    size_t due = 0;
    while (due < toPeer_.bytes.size() && toPeer_.due[due] <= now) {
        ++due;
    }
    if (due == 0) {
        return;
    }
    std::vector<uint8_t> batch(toPeer_.bytes.begin(),
                               toPeer_.bytes.begin() + static_cast<long>(due));
    toPeer_.bytes.erase(toPeer_.bytes.begin(), toPeer_.bytes.begin() + static_cast<long>(due));
    toPeer_.due.erase(toPeer_.due.begin(), toPeer_.due.begin() + static_cast<long>(due));
    if (peer_.present(now)) {
        peer_.fromHost(batch.data(), batch.size(), now);
    }
}

void PtyRig::pullFromPeer(Clock::time_point now) {
    if (!peer_.present(now)) {
        return;
    }
    const auto perByte = byteTime();
    // Paced, the peer's bytes are taken only as the line frees up, so that
    // its own timing (replies, delays) shows through.
    const size_t limit = perByte == Clock::duration::zero() ? kBacklog : 64;
    uint8_t buf[kBacklog];
    const size_t room = toHost_.bytes.size() < limit ? limit - toHost_.bytes.size() : 0;
    const size_t n = peer_.toHost(buf, room, now);
    for (size_t i = 0; i < n; ++i) {
        toHost_.next = std::max(now, toHost_.next) + perByte;
        toHost_.bytes.push_back(buf[i]);
        toHost_.due.push_back(perByte == Clock::duration::zero() ? now : toHost_.next);
    }
}

void PtyRig::writeToHost(Clock::time_point now) {
    size_t due = 0;
    while (due < toHost_.bytes.size() && toHost_.due[due] <= now) {
        ++due;
    }
    if (due == 0) {
        return;
    }
    std::vector<uint8_t> batch(toHost_.bytes.begin(),
                               toHost_.bytes.begin() + static_cast<long>(due));
    ssize_t n = write(master_, batch.data(), batch.size());
    if (n <= 0) {
        return; // the client is not reading: wait for room
    }
    toHost_.bytes.erase(toHost_.bytes.begin(), toHost_.bytes.begin() + n);
    toHost_.due.erase(toHost_.due.begin(), toHost_.due.begin() + n);
}

bool PtyRig::hostHasUnread() const {
    if (!toHost_.bytes.empty()) {
        return true;
    }
    int unread = 0;
    return slave_ >= 0 && ioctl(slave_, TIOCINQ, &unread) == 0 && unread > 0;
}

Clock::time_point PtyRig::nextEvent(Clock::time_point now) const {
    Clock::time_point next = std::min(now + std::chrono::hours(1), followWakeup(now));
    if (!toPeer_.due.empty()) {
        next = std::min(next, toPeer_.due.front());
    }
    if (!toHost_.due.empty() && toHost_.due.front() > now) {
        next = std::min(next, toHost_.due.front());
    }
    const bool backlogFull =
        toHost_.bytes.size() >= (byteTime() == Clock::duration::zero() ? kBacklog : 64);
    if (backlogFull) {
        // The host is not reading: the peer waits, presence is looked at now and then.
        next = std::min(next, now + std::chrono::milliseconds(100));
    } else {
        next = std::min(next, peer_.nextWakeup());
    }
    return std::max(next, now + std::chrono::microseconds(200));
}

void PtyRig::run() {
    while (!stopping_) {
        const auto now = Clock::now();
        followPeer(now);
        if (ptyOpen()) {
            readFromHost(now);
            deliverToPeer(now);
            pullFromPeer(now);
            writeToHost(now);
        }
        // One reading of the clock for both: a byte that fell due meanwhile
        // is waited for as room to write, never left to the next event (which
        // may be an hour away).
        const auto after = Clock::now();
        const bool waitForRoom = ptyOpen() && !toHost_.due.empty() && toHost_.due.front() <= after;
        const auto next = nextEvent(after);
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {master_, POLLIN, 0}};
        if (waitForRoom) {
            fds[1].events |= POLLOUT;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - after).count();
        poll(fds, ptyOpen() ? 2 : 1, static_cast<int>(std::clamp<long long>(ms, 0, 3'600'000)));
        if (fds[0].revents & POLLIN) {
            uint64_t drained;
            ssize_t rc = read(wakeFd_, &drained, sizeof drained);
            (void)rc;
        }
    }
}

// ---- NodeRig -----------------------------------------------------------------

std::string NodeRig::linkPathFor(const std::string& directory, uint32_t serialNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "quorbital.%08X", serialNumber);
    return directory + "/" + name;
}

NodeRig::NodeRig(BytePeer& peer, Options options)
    : PtyRig(peer, Settings{true, Pacing::None, 0, 10}), options_(std::move(options)) {
    const auto now = Clock::now();
    linkPath_ = linkPathFor(options_.directory, peer_.identity().serialNumber);
    if (peer_.present(now)) {
        openPty();
        link(peer_.identity().serialNumber); // throws when the name is taken
    }
    start();
}

NodeRig::~NodeRig() {
    stop();
    unlink();
    closePty();
}

std::string NodeRig::linkPath() const {
    std::lock_guard<std::mutex> g(state_);
    return linkPath_;
}

bool NodeRig::linked() const {
    std::lock_guard<std::mutex> g(state_);
    return linked_;
}

bool NodeRig::waitLinked(bool state, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> l(state_);
    return changed_.wait_for(l, timeout, [&] { return linked_ == state; });
}

bool NodeRig::waitDepartures(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> l(state_);
    return changed_.wait_for(l, timeout, [&] { return departures_ >= count; });
}

void NodeRig::link(uint32_t serialNumber) {
    const std::string path = linkPathFor(options_.directory, serialNumber);
    const std::string target = slavePath();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        // A link left by a rig that died is replaced; anything else stays.
        if (!S_ISLNK(st.st_mode) || stat(path.c_str(), &st) == 0) {
            throw std::runtime_error(path + " already exists");
        }
        ::unlink(path.c_str());
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        throw systemError("symlink " + path);
    }
    {
        std::lock_guard<std::mutex> g(state_);
        linkPath_ = path;
        linkTarget_ = target;
        linked_ = true;
        linkedSerial_ = serialNumber;
    }
    changed_.notify_all();
}

void NodeRig::unlink() {
    std::string path;
    std::string target;
    {
        std::lock_guard<std::mutex> g(state_);
        if (!linked_) {
            return;
        }
        path = linkPath_;
        target = linkTarget_;
        linked_ = false;
        ++departures_;
    }
    // Only our own link is removed.
    char buf[256];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<size_t>(n)) == target) {
        ::unlink(path.c_str());
    }
    changed_.notify_all();
}

void NodeRig::followPeer(Clock::time_point now) {
    const bool present = peer_.present(now);
    const uint32_t serial = peer_.identity().serialNumber;
    bool isLinked;
    uint32_t linkedSerial;
    {
        std::lock_guard<std::mutex> g(state_);
        isLinked = linked_;
        linkedSerial = linkedSerial_;
    }
    if (isLinked && (leaving_ || !present || serial != linkedSerial)) {
        // The module left (or restarted under another serial number). What
        // it sent before it left (a reset's reply) is still read first, as
        // a driver hands out what it received; then an open client sees a
        // hang-up, and the node goes away. A module back before its last
        // bytes were read still left: its node goes all the same.
        if (!leaving_) {
            leaving_ = true;
            leavingSince_ = now;
        }
        if (hostHasUnread() && now - leavingSince_ < kLeaveGrace) {
            return;
        }
        leaving_ = false;
        closePty();
        unlink();
        isLinked = false;
    }
    if (present && !isLinked && !(failed_ && failedSerial_ == serial)) {
        try {
            openPty();
            link(serial);
            failed_ = false;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "qbsim pty: %s\n", e.what());
            closePty();
            failed_ = true;
            failedSerial_ = serial;
        }
    }
}

Clock::time_point NodeRig::followWakeup(Clock::time_point now) const {
    return leaving_ ? now + std::chrono::milliseconds(10) : Clock::time_point::max();
}

// ---- SerialRig ---------------------------------------------------------------

SerialRig::SerialRig(BytePeer& peer, Options options)
    : PtyRig(peer, Settings{false, options.pacing, options.bitsPerSecond, options.bitsPerByte}) {
    openPty();
    start();
}

SerialRig::~SerialRig() {
    stop();
}

} // namespace qbsim::pty
