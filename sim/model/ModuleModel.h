// One module's firmware as its host sees it over the packet link: bytes in,
// bytes out, on a clock the caller supplies. It answers the address query
// and synchronisation, sends heartbeats and checks their answers, serves the
// system entity, the build query, the upgrade command set and, as a router,
// an I2C entity and the modules behind it. Restarts (reset, LOAD, REBOOT)
// take it off its transport for a while and bring it back, possibly under
// another identity. Faults can be switched on to test the host's handling.
//
// Not thread-safe: a rig serialises the calls (see BytePeer).
#ifndef QBSIM_MODEL_MODULE_MODEL_H
#define QBSIM_MODEL_MODULE_MODEL_H

#include "ModuleConfig.h"
#include "SparseMemory.h"
#include "peer/BytePeer.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace qbsim {

class ModuleModel : public BytePeer {
public:
    // What the module is running.
    enum class Mode { Firmware, Loader };

    // Why the module last went off its transport.
    enum class DropKind { None, Reset, Load, Reboot, Disconnect };

    // A packet as the module received it from the host.
    struct HostPacket {
        uint8_t address = 0;
        std::vector<uint8_t> data;
    };

    // A PREPARE the module accepted.
    struct Prepared {
        uint8_t flags = 0;
        uint32_t address = 0;
        bool toLoader = false; // into the loader memory (else the firmware memory)
    };

    // A WRITE that put bytes into the firmware memory.
    struct Commit {
        uint32_t address = 0;
        uint16_t count = 0;
    };

    struct HeartbeatStats {
        uint64_t sent = 0; // heartbeats the module sent
        uint64_t good = 0; // answers [0, x + 2] to one of them
        uint64_t bad = 0;  // heartbeat packets that answered none
    };

    struct Counters {
        uint64_t bytesFromHost = 0;
        uint64_t framingErrors = 0;   // bytes or partial packets thrown away
        uint64_t unrouted = 0;        // packets for another address not carried
        uint64_t droppedReplies = 0;  // replies left out by a fault
        uint64_t outputOverflows = 0; // packets lost because the host did not read
        uint64_t drops = 0;           // times the module went off its transport
    };

    explicit ModuleModel(ModuleConfig config);
    ~ModuleModel() override;
    ModuleModel(const ModuleModel&) = delete;
    ModuleModel& operator=(const ModuleModel&) = delete;

    // BytePeer.
    void fromHost(const uint8_t* data, size_t length, Clock::time_point now) override;
    size_t toHost(uint8_t* out, size_t capacity, Clock::time_point now) override;
    Clock::time_point nextWakeup() const override;
    bool present(Clock::time_point now) const override;
    // While a restart is pending or under way: the identity it comes back with.
    PeerIdentity identity() const override;
    void hostDisconnected() override;

    // State, for tests and rigs.
    const ModuleConfig& config() const { return config_; }
    Mode mode() const { return mode_; }
    uint32_t serialNumber() const; // as presented in the current mode
    uint32_t version() const { return version_; }
    uint32_t build() const { return build_; }
    uint8_t routerAddress() const { return routerAddress_; }
    bool forceRoute() const { return forceRoute_; }
    bool routeToMe() const { return routeToMe_; }
    DropKind lastDrop() const { return lastDrop_; }
    HeartbeatStats heartbeats() const { return heartbeats_; }
    const Counters& counters() const { return counters_; }

    // Everything written through the upgrade command set: loader images
    // by load address (a new INIT starts an empty one), firmware by address.
    const SparseMemory& loaderMemory() const { return loaderMemory_; }
    const SparseMemory& firmwareMemory() const { return firmwareMemory_; }
    const std::vector<Prepared>& prepares() const { return prepares_; }
    const std::vector<Commit>& writes() const { return writes_; }

    // The last packets received from the host (at most 4096), oldest first.
    const std::deque<HostPacket>& hostPackets() const { return hostPackets_; }

    // The modules behind a router, in configuration order.
    size_t downstreamCount() const { return downstream_.size(); }
    ModuleModel& downstream(size_t i) { return *downstream_.at(i); }
    ModuleModel* downstreamAt(uint8_t address);

private:
    struct Outgoing;
    struct Drop;
    struct RequestKey;
    class FaultState;

    ModuleModel(ModuleConfig config, ModuleModel* upstream);

    void advance(Clock::time_point now);
    void scheduleDrop(DropKind kind, Clock::time_point at);
    void applyDrop(DropKind kind);
    Mode modeAfter(DropKind kind) const;
    PeerIdentity identityIn(Mode mode) const;
    bool isRouter() const;
    bool routeOpen() const;
    void clearLink();

    void takeByte(uint8_t byte, Clock::time_point now);
    void handlePacket(uint8_t address, const std::vector<uint8_t>& data, Clock::time_point now);
    void handleOwn(const std::vector<uint8_t>& data, Clock::time_point now);
    void handleHeartbeatAnswer(const std::vector<uint8_t>& data);
    void handleSystem(const std::vector<uint8_t>& data, const RequestKey& key,
                      Clock::time_point now);
    void handleI2C(const std::vector<uint8_t>& data, const RequestKey& key, Clock::time_point now);
    void handleDescribe(const std::vector<uint8_t>& data, const RequestKey& key,
                        Clock::time_point now);
    void handleUpgrade(const std::vector<uint8_t>& data, const RequestKey& key,
                       Clock::time_point now);
    bool hasSystemOption(uint8_t option, bool get) const;

    void reply(const RequestKey& key, std::vector<uint8_t> data, Clock::time_point now,
               DropKind restartAfter = DropKind::None);
    void queue(uint8_t address, std::vector<uint8_t> data, Clock::time_point due,
               DropKind restartAfter);
    void sendHeartbeat(Clock::time_point at);

    ModuleConfig config_;
    ModuleModel* upstream_ = nullptr; // the router this module sits behind
    std::vector<std::unique_ptr<ModuleModel>> downstream_;

    // Firmware state.
    Mode mode_ = Mode::Firmware;
    Mode bootMode_ = Mode::Firmware; // what a reset starts
    uint32_t version_ = 0;
    uint32_t build_ = 0;
    uint8_t routerAddress_ = 0;
    bool routeToMe_ = false;
    uint8_t i2cPullup_ = 0;

    // Link state.
    bool forceRoute_ = false;
    bool linkActive_ = false;
    Clock::time_point nextHeartbeat_{};
    uint8_t nextHeartbeatValue_ = 0;
    std::deque<uint8_t> heartbeatsOutstanding_;
    HeartbeatStats heartbeats_;

    enum class FrameState { Address, Length, Data };
    FrameState frameState_ = FrameState::Address;
    uint8_t frameAddress_ = 0;
    uint8_t frameLength_ = 0;
    std::vector<uint8_t> frameData_;
    Clock::time_point frameStart_{};

    std::deque<Outgoing> out_;
    size_t outBytes_ = 0;
    std::unique_ptr<Drop> drop_;
    Clock::time_point lastNow_{};
    DropKind lastDrop_ = DropKind::None;
    bool disconnectDone_ = false;

    // Upgrade session.
    bool prepared_ = false;
    bool toLoader_ = false;
    uint32_t writeAddress_ = 0;
    std::vector<uint8_t> pending_;
    uint32_t sum_ = 0;
    SparseMemory loaderMemory_;
    SparseMemory firmwareMemory_;
    std::vector<Prepared> prepares_;
    std::vector<Commit> writes_;

    std::unique_ptr<FaultState> faults_;
    std::deque<HostPacket> hostPackets_;
    Counters counters_;
};

} // namespace qbsim

#endif
