#include "ModuleModel.h"

#include "Wire.h"

#include <algorithm>

namespace qbsim {

namespace {

constexpr size_t kHostPacketLog = 4096;
constexpr size_t kOutputLimit = 65536;   // bytes kept for a host that does not read
constexpr size_t kHeartbeatBacklog = 64; // unanswered heartbeats remembered

void sPut32(std::vector<uint8_t>& to, uint32_t value) {
    to.push_back(uint8_t(value >> 24));
    to.push_back(uint8_t(value >> 16));
    to.push_back(uint8_t(value >> 8));
    to.push_back(uint8_t(value));
}

uint32_t sGet32(const std::vector<uint8_t>& from, size_t at) {
    return (uint32_t(from[at]) << 24) | (uint32_t(from[at + 1]) << 16) |
           (uint32_t(from[at + 2]) << 8) | uint32_t(from[at + 3]);
}

Clock::time_point sLater(Clock::time_point at, std::chrono::milliseconds by) {
    if (at >= Clock::time_point::max() - by) {
        return Clock::time_point::max();
    }
    return at + by;
}

} // namespace

// One packet on its way to the host; it is handed out no earlier than `due`.
struct ModuleModel::Outgoing {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    size_t taken = 0;
    DropKind restartAfter = DropKind::None; // restart once the host has it
};

// The module is off its transport from `start` until `end`.
struct ModuleModel::Drop {
    DropKind kind = DropKind::None;
    Clock::time_point start;
    Clock::time_point end;
    bool applied = false;
};

// What a request is, for matching faults against it.
struct ModuleModel::RequestKey {
    bool sync = false;
    uint8_t command = 0;
    std::optional<uint8_t> sub;

    static RequestKey forSync() {
        RequestKey key;
        key.sync = true;
        return key;
    }
    static RequestKey of(const std::vector<uint8_t>& data) {
        RequestKey key;
        key.command = data.empty() ? 0 : data[0];
        if (data.size() > 1) {
            key.sub = wire::isNonEntityCommand(key.command) ? data[1]
                                                            : uint8_t(data[1] & wire::kOptionMask);
        }
        return key;
    }
    bool matches(const RequestMatch& match) const {
        switch (match.kind) {
        case RequestMatch::Kind::Any:
            return true;
        case RequestMatch::Kind::Sync:
            return sync;
        case RequestMatch::Kind::Command:
            return !sync && command == match.command && (!match.sub || sub == match.sub);
        }
        return false;
    }
};

// How often each configured fault has met its occasion so far.
class ModuleModel::FaultState {
public:
    explicit FaultState(const Faults& faults)
        : drops(faults.dropReplies.size(), 0), delays(faults.delayReplies.size(), 0),
          truncates(faults.truncateReplies.size(), 0) {}

    // Counts one occasion and answers whether the fault strikes on it.
    static bool hit(const std::optional<FaultCount>& count, uint64_t& seen) {
        return count && hit(*count, seen);
    }
    static bool hit(const FaultCount& count, uint64_t& seen) {
        const uint64_t n = seen++;
        if (n < count.skip) {
            return false;
        }
        return count.always() || n - count.skip < count.times;
    }

    std::vector<uint64_t> drops;
    std::vector<uint64_t> delays;
    std::vector<uint64_t> truncates;
    uint64_t dataPackets = 0;
    uint64_t sums = 0;
    uint64_t prepares = 0;
};

ModuleModel::ModuleModel(ModuleConfig config) : ModuleModel(std::move(config), nullptr) {}

ModuleModel::ModuleModel(ModuleConfig config, ModuleModel* upstream)
    : config_(std::move(config)), upstream_(upstream) {
    mode_ = config_.personality == Personality::Loader ? Mode::Loader : Mode::Firmware;
    bootMode_ = mode_;
    version_ = config_.version;
    build_ = config_.build;
    routerAddress_ = config_.routerAddress;
    faults_ = std::make_unique<FaultState>(config_.faults);
    if (config_.personality == Personality::Router) {
        for (const ModuleConfig& below : config_.downstream) {
            ModuleConfig copy = below;
            if (copy.routerAddress == 0) {
                copy.routerAddress = config_.address;
            }
            copy.heartbeatInterval = std::chrono::milliseconds(0);
            copy.downstream.clear();
            downstream_.push_back(std::unique_ptr<ModuleModel>(new ModuleModel(copy, this)));
        }
    }
}

ModuleModel::~ModuleModel() = default;

ModuleModel* ModuleModel::downstreamAt(uint8_t address) {
    for (auto& below : downstream_) {
        if (below->config_.address == address) {
            return below.get();
        }
    }
    return nullptr;
}

uint32_t ModuleModel::serialNumber() const {
    return identityIn(mode_).serialNumber;
}

PeerIdentity ModuleModel::identityIn(Mode mode) const {
    PeerIdentity id;
    id.serialNumber = mode == Mode::Loader && config_.loaderUsesDefaultSerial
                          ? wire::kDefaultLoaderSerial
                          : config_.serialNumber;
    id.productId = config_.model;
    return id;
}

PeerIdentity ModuleModel::identity() const {
    if (drop_ && !drop_->applied) {
        return identityIn(modeAfter(drop_->kind));
    }
    return identityIn(mode_);
}

bool ModuleModel::isRouter() const {
    return config_.personality == Personality::Router && mode_ == Mode::Firmware;
}

bool ModuleModel::routeOpen() const {
    if (config_.routeGate == RouteGate::RouteToMe) {
        return routeToMe_;
    }
    return forceRoute_ || routeToMe_;
}

bool ModuleModel::present(Clock::time_point now) const {
    return !(drop_ && now >= drop_->start && now < drop_->end);
}

Clock::time_point ModuleModel::nextWakeup() const {
    Clock::time_point next = Clock::time_point::max();
    if (drop_) {
        next = drop_->applied ? drop_->end : drop_->start;
        if (drop_->applied) {
            return next; // nothing else happens while off the transport
        }
    }
    if (!out_.empty()) {
        next = std::min(next, out_.front().due);
    }
    if (linkActive_ && config_.heartbeatInterval.count() > 0) {
        next = std::min(next, nextHeartbeat_);
    }
    return next;
}

// ---------------------------------------------------------------------------
// Time and restarts

void ModuleModel::advance(Clock::time_point now) {
    lastNow_ = std::max(lastNow_, now);
    if (drop_ && !drop_->applied && now >= drop_->start) {
        drop_->applied = true;
        applyDrop(drop_->kind);
    }
    if (drop_ && drop_->applied && now >= drop_->end) {
        drop_.reset();
    }
    for (auto& below : downstream_) {
        below->advance(now);
    }
    if (!present(now)) {
        return;
    }
    if (linkActive_ && config_.heartbeatInterval.count() > 0 && now >= nextHeartbeat_) {
        sendHeartbeat(nextHeartbeat_);
        nextHeartbeat_ = sLater(nextHeartbeat_, config_.heartbeatInterval);
        if (nextHeartbeat_ <= now) {
            nextHeartbeat_ = sLater(now, config_.heartbeatInterval);
        }
    }
}

ModuleModel::Mode ModuleModel::modeAfter(DropKind kind) const {
    switch (kind) {
    case DropKind::Reset:
        return bootMode_;
    case DropKind::Load:
        return Mode::Loader;
    case DropKind::Reboot:
        return mode_ == Mode::Loader ? Mode::Firmware : bootMode_;
    case DropKind::Disconnect:
    case DropKind::None:
        break;
    }
    return mode_;
}

void ModuleModel::scheduleDrop(DropKind kind, Clock::time_point at) {
    if (drop_) {
        return; // already on its way down
    }
    drop_ = std::make_unique<Drop>();
    drop_->kind = kind;
    drop_->start = at;
    const bool gone = kind == DropKind::Reboot && config_.faults.neverReturnAfterReboot;
    drop_->end = gone ? Clock::time_point::max() : sLater(at, config_.restartTime);
}

void ModuleModel::clearLink() {
    out_.clear();
    outBytes_ = 0;
    frameState_ = FrameState::Address;
    frameData_.clear();
    linkActive_ = false;
    forceRoute_ = false;
    heartbeatsOutstanding_.clear();
    nextHeartbeatValue_ = 0;
}

void ModuleModel::applyDrop(DropKind kind) {
    ++counters_.drops;
    lastDrop_ = kind;
    clearLink();
    if (kind == DropKind::Disconnect) {
        return; // the transport went away; the firmware kept running
    }
    const Mode next = modeAfter(kind);
    if (kind == DropKind::Reboot && mode_ == Mode::Loader) {
        bootMode_ = Mode::Firmware;
        if (config_.nextVersion) {
            version_ = *config_.nextVersion;
        }
        if (config_.nextBuild) {
            build_ = *config_.nextBuild;
        }
    }
    mode_ = next;
    routeToMe_ = false;
    routerAddress_ = config_.routerAddress;
    prepared_ = false;
    pending_.clear();
    sum_ = 0;
}

// ---------------------------------------------------------------------------
// Bytes in and out

void ModuleModel::fromHost(const uint8_t* data, size_t length, Clock::time_point now) {
    advance(now);
    if (!present(now) || data == nullptr) {
        return;
    }
    if (!linkActive_) {
        linkActive_ = true;
        nextHeartbeat_ = sLater(now, config_.heartbeatInterval);
    }
    for (size_t i = 0; i < length; ++i) {
        ++counters_.bytesFromHost;
        takeByte(data[i], now);
        const auto& cut = config_.faults.disconnectAfterBytes;
        if (cut && !disconnectDone_ && counters_.bytesFromHost >= *cut) {
            disconnectDone_ = true;
            scheduleDrop(DropKind::Disconnect, now);
        }
        if (!present(now)) {
            break; // the rest is lost with the link
        }
    }
}

size_t ModuleModel::toHost(uint8_t* out, size_t capacity, Clock::time_point now) {
    advance(now);
    size_t n = 0;
    while (present(now) && n < capacity && !out_.empty() && out_.front().due <= now) {
        Outgoing& head = out_.front();
        const size_t count = std::min(capacity - n, head.bytes.size() - head.taken);
        std::copy_n(head.bytes.begin() + ptrdiff_t(head.taken), count, out + n);
        head.taken += count;
        n += count;
        if (head.taken < head.bytes.size()) {
            break;
        }
        const DropKind restart = head.restartAfter;
        outBytes_ -= head.bytes.size();
        out_.pop_front();
        if (restart != DropKind::None) {
            scheduleDrop(restart, sLater(now, config_.restartDelay));
        }
    }
    return n;
}

void ModuleModel::hostDisconnected() {
    // A reply that would have restarted the module still does.
    for (const Outgoing& pending : out_) {
        if (pending.restartAfter != DropKind::None) {
            scheduleDrop(pending.restartAfter, sLater(lastNow_, config_.restartDelay));
            break;
        }
    }
    clearLink();
}

void ModuleModel::takeByte(uint8_t byte, Clock::time_point now) {
    if (frameState_ != FrameState::Address && now - frameStart_ > config_.frameTimeout) {
        ++counters_.framingErrors; // a stale partial packet
        frameState_ = FrameState::Address;
    }
    switch (frameState_) {
    case FrameState::Address:
        if (byte == 0 ||
            ((byte & 1) && byte != wire::kAddrMagic && byte != wire::kAddrForceRoute)) {
            ++counters_.framingErrors;
            return;
        }
        frameAddress_ = byte;
        frameData_.clear();
        frameStart_ = now;
        frameState_ = FrameState::Length;
        return;
    case FrameState::Length:
        if (byte > wire::kMaxData) {
            ++counters_.framingErrors;
            frameState_ = FrameState::Address;
            return;
        }
        frameLength_ = byte;
        if (byte > 0) {
            frameState_ = FrameState::Data;
            return;
        }
        break;
    case FrameState::Data:
        frameData_.push_back(byte);
        if (frameData_.size() < frameLength_) {
            return;
        }
        break;
    }
    frameState_ = FrameState::Address;
    handlePacket(frameAddress_, frameData_, now);
}

void ModuleModel::queue(uint8_t address, std::vector<uint8_t> data, Clock::time_point due,
                        DropKind restartAfter) {
    ModuleModel& link = upstream_ ? *upstream_ : *this;
    std::vector<uint8_t> bytes;
    bytes.reserve(data.size() + 2);
    bytes.push_back(address);
    bytes.push_back(uint8_t(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    if (link.outBytes_ + bytes.size() > kOutputLimit) {
        ++link.counters_.outputOverflows;
        return;
    }
    link.outBytes_ += bytes.size();
    link.out_.push_back(Outgoing{due, std::move(bytes), 0, restartAfter});
}

void ModuleModel::reply(const RequestKey& key, std::vector<uint8_t> data, Clock::time_point now,
                        DropKind restartAfter) {
    const Faults& faults = config_.faults;
    bool dropped = false;
    for (size_t i = 0; i < faults.dropReplies.size(); ++i) {
        if (key.matches(faults.dropReplies[i].match) &&
            FaultState::hit(faults.dropReplies[i].count, faults_->drops[i])) {
            dropped = true;
        }
    }
    std::chrono::milliseconds delay{0};
    for (size_t i = 0; i < faults.delayReplies.size(); ++i) {
        if (key.matches(faults.delayReplies[i].match) &&
            FaultState::hit(faults.delayReplies[i].count, faults_->delays[i])) {
            delay += faults.delayReplies[i].delay;
        }
    }
    for (size_t i = 0; i < faults.truncateReplies.size(); ++i) {
        const TruncateReplyFault& fault = faults.truncateReplies[i];
        if (key.matches(fault.match) && FaultState::hit(fault.count, faults_->truncates[i]) &&
            data.size() > fault.length) {
            data.resize(fault.length);
        }
    }
    // Behind a router the module restarts as soon as its reply is on the
    // bus; on its own transport once the host has taken the reply.
    const bool restartNow = restartAfter != DropKind::None && (dropped || upstream_);
    if (restartNow) {
        scheduleDrop(restartAfter, sLater(now, config_.restartDelay));
        restartAfter = DropKind::None;
    }
    if (dropped) {
        ++counters_.droppedReplies;
        return;
    }
    queue(config_.address, std::move(data), sLater(now, delay), restartAfter);
}

void ModuleModel::sendHeartbeat(Clock::time_point at) {
    uint8_t x = nextHeartbeatValue_;
    if (config_.heartbeatValue) {
        x = *config_.heartbeatValue;
    } else {
        nextHeartbeatValue_ ^= 1;
    }
    ++heartbeats_.sent;
    heartbeatsOutstanding_.push_back(x);
    if (heartbeatsOutstanding_.size() > kHeartbeatBacklog) {
        heartbeatsOutstanding_.pop_front();
    }
    queue(config_.address, {wire::kCmdHeartbeat, x}, at, DropKind::None);
}

// ---------------------------------------------------------------------------
// Packets

void ModuleModel::handlePacket(uint8_t address, const std::vector<uint8_t>& data,
                               Clock::time_point now) {
    hostPackets_.push_back(HostPacket{address, data});
    if (hostPackets_.size() > kHostPacketLog) {
        hostPackets_.pop_front();
    }
    if (address == wire::kAddrMagic) {
        if (data.empty()) {
            reply(RequestKey::forSync(), {}, now);
        }
        return;
    }
    if (address == wire::kAddrForceRoute) {
        if (data.size() == 1 && data[0] <= 1) {
            forceRoute_ = data[0] == 1;
        }
        return;
    }
    if (address == config_.address) {
        handleOwn(data, now);
        return;
    }
    ModuleModel* below = isRouter() && routeOpen() ? downstreamAt(address) : nullptr;
    if (below && below->present(now)) {
        below->handlePacket(address, data, now);
        return;
    }
    ++counters_.unrouted;
}

void ModuleModel::handleOwn(const std::vector<uint8_t>& data, Clock::time_point now) {
    if (data.empty()) {
        return;
    }
    const RequestKey key = RequestKey::of(data);
    switch (data[0]) {
    case wire::kCmdHeartbeat:
        handleHeartbeatAnswer(data);
        return;
    case wire::kCmdSystem:
        handleSystem(data, key, now);
        return;
    case wire::kCmdI2C:
        handleI2C(data, key, now);
        return;
    case wire::kCmdDebug:
        reply(key, data, now);
        return;
    case wire::kCmdDescribe:
        handleDescribe(data, key, now);
        return;
    case wire::kCmdUpgrade:
        handleUpgrade(data, key, now);
        return;
    default:
        break;
    }
    // An entity request for a class this module does not have.
    if (!wire::isNonEntityCommand(data[0]) && data.size() >= 3 && (data[2] & wire::kIndexRequest)) {
        const uint8_t flags = data[1] & wire::kOptionAck;
        if (flags == wire::kOptionGet || flags == wire::kOptionSet) {
            const uint8_t option = data[1] & wire::kOptionMask;
            reply(key,
                  {data[0], flags == wire::kOptionGet ? option : uint8_t(option | wire::kOptionAck),
                   uint8_t((data[2] & wire::kIndexMask) | wire::kIndexError),
                   wire::kErrInvalidEntity},
                  now);
        }
    }
}

void ModuleModel::handleHeartbeatAnswer(const std::vector<uint8_t>& data) {
    if (data.size() == 2) {
        for (size_t i = 0; i < heartbeatsOutstanding_.size(); ++i) {
            if (uint8_t(heartbeatsOutstanding_[i] + 2) == data[1]) {
                ++heartbeats_.good;
                heartbeatsOutstanding_.erase(heartbeatsOutstanding_.begin(),
                                             heartbeatsOutstanding_.begin() + ptrdiff_t(i) + 1);
                return;
            }
        }
    }
    ++heartbeats_.bad;
}

bool ModuleModel::hasSystemOption(uint8_t option, bool get) const {
    if (config_.withoutOptions.count(option)) {
        return false;
    }
    switch (option) {
    case wire::kSysModule:
    case wire::kSysVersion:
    case wire::kSysModel:
    case wire::kSysSerial:
        return get;
    case wire::kSysRouter:
        return true;
    case wire::kSysReset:
    case wire::kSysRouteToMe:
        return !get;
    case wire::kSysUniqueId:
        return get && mode_ == Mode::Loader;
    default:
        return false;
    }
}

void ModuleModel::handleSystem(const std::vector<uint8_t>& data, const RequestKey& key,
                               Clock::time_point now) {
    if (data.size() < 3 || !(data[2] & wire::kIndexRequest)) {
        return; // not a request from the host
    }
    const uint8_t flags = data[1] & wire::kOptionAck;
    if (flags != wire::kOptionGet && flags != wire::kOptionSet) {
        return;
    }
    const bool get = flags == wire::kOptionGet;
    const uint8_t option = data[1] & wire::kOptionMask;
    const uint8_t index = data[2] & wire::kIndexMask;
    const uint8_t replyOption = get ? option : uint8_t(option | wire::kOptionAck);

    auto fail = [&](uint8_t code) {
        reply(key, {wire::kCmdSystem, replyOption, uint8_t(index | wire::kIndexError), code}, now);
    };
    auto value = [&](std::vector<uint8_t> bytes) {
        std::vector<uint8_t> out{wire::kCmdSystem, replyOption, index};
        out.insert(out.end(), bytes.begin(), bytes.end());
        reply(key, std::move(out), now);
    };
    auto u32 = [](uint32_t v) {
        std::vector<uint8_t> bytes;
        sPut32(bytes, v);
        return bytes;
    };

    if (index != 0) {
        fail(wire::kErrInvalidEntity);
        return;
    }
    if (!hasSystemOption(option, get)) {
        fail(wire::kErrInvalidOption);
        return;
    }
    switch (option) {
    case wire::kSysModule:
        value({config_.address});
        return;
    case wire::kSysRouter:
        if (get) {
            value({routerAddress_});
        } else if (data.size() < 4) {
            fail(wire::kErrShortCommand);
        } else {
            routerAddress_ = data[3];
            value({});
        }
        return;
    case wire::kSysVersion:
        value(u32(version_));
        return;
    case wire::kSysModel:
        value({config_.model});
        return;
    case wire::kSysSerial:
        value(u32(serialNumber()));
        return;
    case wire::kSysReset:
        reply(key, {wire::kCmdSystem, replyOption, index}, now, DropKind::Reset);
        return;
    case wire::kSysRouteToMe:
        if (data.size() < 4) {
            fail(wire::kErrShortCommand);
            return;
        }
        routeToMe_ = data[3] != 0;
        value({});
        return;
    case wire::kSysUniqueId:
        if (data.size() < 4) {
            fail(wire::kErrShortCommand);
        } else if (data[3] > 3) {
            fail(wire::kErrInvalidOption);
        } else {
            value(u32(config_.uniqueId[3 - data[3]]));
        }
        return;
    default:
        fail(wire::kErrInvalidOption);
        return;
    }
}

void ModuleModel::handleI2C(const std::vector<uint8_t>& data, const RequestKey& key,
                            Clock::time_point now) {
    if (data.size() < 4) {
        return;
    }
    const uint8_t index = data[1];
    const uint8_t busAddress = data[2];
    const bool pullup = data.size() == 4 && busAddress == 1;
    auto answer = [&](uint8_t third, uint8_t status) {
        reply(key, {wire::kCmdI2C, index, busAddress, third, status}, now);
    };
    auto error = [](uint8_t code) { return uint8_t(0x80 | code); };

    if (!isRouter() || index != 0) {
        answer(pullup ? data[3] : 0, error(wire::kErrInvalidEntity));
        return;
    }
    if (pullup) {
        i2cPullup_ = data[3];
        answer(data[3], wire::kErrNone);
        return;
    }
    if (data.size() < 5) {
        answer(0, error(wire::kErrShortCommand));
        return;
    }
    const uint8_t length = data[3];
    const uint8_t speed = data[4];
    const bool write = (busAddress & 1) == 0;
    if (speed > 3) {
        answer(0, error(wire::kErrRange));
        return;
    }
    if (length > 23 || (write && data.size() - 5 != length)) {
        answer(0, error(wire::kErrSize));
        return;
    }
    ModuleModel* target = downstreamAt(uint8_t(busAddress & 0xFE));
    if (target == nullptr || !target->present(now) || target->config_.faults.ignoreI2CProbe) {
        answer(0, error(wire::kErrNotFound));
        return;
    }
    // A module acknowledges its bus address; a read finds nothing waiting.
    answer(0, wire::kErrNone);
}

void ModuleModel::handleDescribe(const std::vector<uint8_t>& data, const RequestKey& key,
                                 Clock::time_point now) {
    if (data.size() < 2) {
        return;
    }
    std::vector<uint8_t> out(data.begin(), data.end());
    switch (data[1]) {
    case wire::kDescribeBuild:
        out.resize(2);
        sPut32(out, build_);
        break;
    case wire::kDescribeHasEntity: {
        if (data.size() < 6) {
            return;
        }
        const uint8_t command = data[2];
        const uint8_t option = data[3] & wire::kOptionMask;
        const uint8_t kind = data[5] & wire::kOptionAck; // get, set, or either
        bool has = false;
        if ((data[4] & wire::kIndexMask) == 0) {
            if (command == wire::kCmdSystem) {
                has = (kind != wire::kOptionSet && hasSystemOption(option, true)) ||
                      (kind != wire::kOptionGet && hasSystemOption(option, false));
            } else {
                has = command == wire::kCmdUpgrade || (command == wire::kCmdI2C && isRouter());
            }
        }
        out.resize(5);
        out.push_back(has ? 1 : 0);
        break;
    }
    case wire::kDescribeClassQuantity: {
        if (data.size() < 3) {
            return;
        }
        const uint8_t command = data[2];
        const bool one = command == wire::kCmdSystem || command == wire::kCmdUpgrade ||
                         (command == wire::kCmdI2C && isRouter());
        out.resize(3);
        out.push_back(one ? 1 : 0);
        break;
    }
    case wire::kDescribeSubClassQuantity:
    case wire::kDescribeEntityGroup:
        if (data.size() < 4) {
            return;
        }
        out.resize(4);
        out.push_back(0);
        break;
    default:
        return;
    }
    reply(key, std::move(out), now);
}

void ModuleModel::handleUpgrade(const std::vector<uint8_t>& data, const RequestKey& key,
                                Clock::time_point now) {
    if (data.size() < 2) {
        return;
    }
    auto status = [&](uint8_t code, std::vector<uint8_t> more = {}) {
        std::vector<uint8_t> out{wire::kCmdUpgrade, wire::kUpStatus, code};
        out.insert(out.end(), more.begin(), more.end());
        reply(key, std::move(out), now);
    };
    switch (data[1]) {
    case wire::kUpInit: {
        if (mode_ == Mode::Firmware) {
            loaderMemory_.clear(); // a new loader is on its way
        }
        prepared_ = false;
        pending_.clear();
        sum_ = 0;
        std::vector<uint8_t> out{wire::kCmdUpgrade, wire::kUpInit};
        sPut32(out, config_.loadBase);
        reply(key, std::move(out), now);
        return;
    }
    case wire::kUpPrepare: {
        const std::vector<uint8_t> blockSize{uint8_t(config_.blockSize >> 8),
                                             uint8_t(config_.blockSize)};
        prepared_ = false;
        pending_.clear();
        sum_ = 0;
        if (data.size() < 7) {
            status(wire::kErrShortCommand, blockSize);
            return;
        }
        if (FaultState::hit(config_.faults.refusePrepare, faults_->prepares)) {
            status(wire::kErrPermission, blockSize);
            return;
        }
        prepared_ = true;
        toLoader_ = mode_ == Mode::Firmware;
        writeAddress_ = sGet32(data, 3);
        prepares_.push_back(Prepared{data[2], writeAddress_, toLoader_});
        status(wire::kErrNone, blockSize);
        return;
    }
    case wire::kUpData: {
        const size_t n = data.size() - 2;
        uint8_t accepted = uint8_t(n);
        const bool wrong = FaultState::hit(config_.faults.wrongDataCount, faults_->dataPackets);
        if (wrong) {
            accepted = uint8_t(n > 0 ? n - 1 : 1);
        } else if (!prepared_ || (!toLoader_ && config_.blockSize > 0 &&
                                  pending_.size() + n > config_.blockSize)) {
            accepted = 0;
        } else {
            const uint8_t* bytes = data.data() + 2;
            for (size_t i = 0; i < n; ++i) {
                sum_ += bytes[i];
            }
            if (toLoader_) {
                loaderMemory_.write(writeAddress_, bytes, n);
                writeAddress_ += uint32_t(n);
            } else {
                pending_.insert(pending_.end(), bytes, bytes + n);
            }
        }
        reply(key, {wire::kCmdUpgrade, wire::kUpData, accepted}, now);
        return;
    }
    case wire::kUpSum: {
        uint32_t sum = sum_;
        sum_ = 0;
        if (FaultState::hit(config_.faults.wrongSum, faults_->sums)) {
            sum += 1;
        }
        std::vector<uint8_t> bytes;
        sPut32(bytes, sum);
        status(prepared_ ? wire::kErrNone : wire::kErrNotReady, bytes);
        return;
    }
    case wire::kUpWrite: {
        sum_ = 0;
        if (data.size() < 4) {
            status(wire::kErrShortCommand);
            return;
        }
        if (!prepared_) {
            status(wire::kErrNotReady);
            return;
        }
        const uint16_t count = uint16_t((data[2] << 8) | data[3]);
        if (!toLoader_) {
            if (count > pending_.size()) {
                status(wire::kErrSize);
                return;
            }
            firmwareMemory_.write(writeAddress_, pending_.data(), count);
            writes_.push_back(Commit{writeAddress_, count});
            writeAddress_ += count;
            pending_.erase(pending_.begin(), pending_.begin() + count);
        }
        status(wire::kErrNone);
        return;
    }
    case wire::kUpLoad:
        reply(key, {wire::kCmdUpgrade, wire::kUpLoad}, now, DropKind::Load);
        return;
    case wire::kUpReboot:
        scheduleDrop(DropKind::Reboot, sLater(now, config_.restartDelay));
        return;
    default:
        return;
    }
}

} // namespace qbsim
