// A test host for one simulated module: it encodes requests the way the
// host side puts them on the wire, feeds them to the model on a virtual
// clock and splits what comes back into packets.
#ifndef QBTEST_MODEL_BENCH_H
#define QBTEST_MODEL_BENCH_H

#include "ModuleModel.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qbtest {

using Bytes = std::vector<uint8_t>;
using qbsim::Clock;
using std::chrono::milliseconds;

struct Packet {
    uint8_t address = 0;
    Bytes data;
    bool operator==(const Packet&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Packet& packet);

// "06 03 03 49 20" -> bytes.
Bytes hex(const std::string& text);
std::string hex(const Bytes& bytes);

// The frame of one packet: address, length, data.
Bytes frame(uint8_t address, const Bytes& data);

// Entity requests as the host builds them: a get carries option | 0x40,
// a set or call option | 0x80, both index | 0x20.
Bytes ueiGet(uint8_t address, uint8_t command, uint8_t option, uint8_t index = 0,
             std::optional<uint8_t> subIndex = std::nullopt);
Bytes ueiSet(uint8_t address, uint8_t command, uint8_t option, const Bytes& value = {},
             uint8_t index = 0);

// Upgrade requests: [95, sub-command, arguments].
Bytes upgrade(uint8_t address, uint8_t sub, const Bytes& args = {});
Bytes prepare(uint8_t address, uint8_t flags, uint32_t loadAddress);
Bytes dataPacket(uint8_t address, const uint8_t* bytes, size_t count);
Bytes writeCount(uint8_t address, uint16_t count);

Bytes be32(uint32_t value);
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
uint32_t be32(const Bytes& bytes, size_t at);

// Bytes of a seeded pseudo-random image.
Bytes image(size_t length, uint32_t seed);

class Bench {
public:
    explicit Bench(const std::string& description);
    explicit Bench(qbsim::ModuleConfig config);

    qbsim::ModuleModel& model() { return *model_; }
    Clock::time_point now() const { return now_; }

    // Hands bytes to the module at the current time.
    void send(const Bytes& bytes);
    // Lets time pass, calling the module at each moment it asked for and
    // noting whether it is present.
    void elapse(milliseconds duration);
    // The complete packets received so far (taken out of the inbox).
    std::vector<Packet> packets();
    // Sends one request and returns the packets it produced at once.
    std::vector<Packet> exchange(const Bytes& request);
    // As exchange(), expecting exactly one packet.
    Packet ask(const Bytes& request);

    // Presence as seen at the moments the module asked to be called.
    struct Sample {
        Clock::time_point at;
        bool present;
    };
    const std::vector<Sample>& presence() const { return presence_; }
    size_t absences() const; // times it went from present to absent

private:
    void pump();

    std::unique_ptr<qbsim::ModuleModel> model_;
    Clock::time_point now_;
    Bytes inbox_;
    std::vector<Sample> presence_;
};

} // namespace qbtest

#endif
