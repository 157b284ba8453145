#include "Bench.h"

#include "ModuleDescription.h"

#include <cstdio>
#include <stdexcept>

namespace qbtest {

std::ostream& operator<<(std::ostream& os, const Packet& packet) {
    Bytes bytes{packet.address, uint8_t(packet.data.size())};
    bytes.insert(bytes.end(), packet.data.begin(), packet.data.end());
    return os << "[" << hex(bytes) << "]";
}

Bytes hex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char two[4];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(two);
    }
    return text;
}

Bytes frame(uint8_t address, const Bytes& data) {
    Bytes bytes{address, uint8_t(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

Bytes ueiGet(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
             std::optional<uint8_t> subIndex) {
    Bytes data{command, uint8_t(option | 0x40), uint8_t(index | 0x20)};
    if (subIndex) {
        data.push_back(*subIndex);
    }
    return frame(address, data);
}

Bytes ueiSet(uint8_t address, uint8_t command, uint8_t option, const Bytes& value, uint8_t index) {
    Bytes data{command, uint8_t(option | 0x80), uint8_t(index | 0x20)};
    data.insert(data.end(), value.begin(), value.end());
    return frame(address, data);
}

Bytes upgrade(uint8_t address, uint8_t sub, const Bytes& args) {
    Bytes data{0x5F, sub};
    data.insert(data.end(), args.begin(), args.end());
    return frame(address, data);
}

Bytes prepare(uint8_t address, uint8_t flags, uint32_t loadAddress) {
    Bytes args{flags};
    const Bytes a = be32(loadAddress);
    args.insert(args.end(), a.begin(), a.end());
    return upgrade(address, 3, args);
}

Bytes dataPacket(uint8_t address, const uint8_t* bytes, size_t count) {
    return upgrade(address, 1, Bytes(bytes, bytes + count));
}

Bytes writeCount(uint8_t address, uint16_t count) {
    return upgrade(address, 5, {uint8_t(count >> 8), uint8_t(count)});
}

Bytes be32(uint32_t value) {
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

uint32_t be32(const Bytes& bytes, size_t at) {
    return (uint32_t(bytes.at(at)) << 24) | (uint32_t(bytes.at(at + 1)) << 16) |
           (uint32_t(bytes.at(at + 2)) << 8) | uint32_t(bytes.at(at + 3));
}

Bytes image(size_t length, uint32_t seed) {
    Bytes bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x >> 11);
    }
    return bytes;
}

Bench::Bench(const std::string& description) : model_(qbsim::makeModule(description)) {
    now_ = Clock::time_point{} + std::chrono::hours(1);
}

Bench::Bench(qbsim::ModuleConfig config)
    : model_(std::make_unique<qbsim::ModuleModel>(std::move(config))) {
    now_ = Clock::time_point{} + std::chrono::hours(1);
}

void Bench::pump() {
    uint8_t buffer[64];
    for (;;) {
        const size_t n = model_->toHost(buffer, sizeof buffer, now_);
        if (n == 0) {
            break;
        }
        inbox_.insert(inbox_.end(), buffer, buffer + n);
    }
    const bool here = model_->present(now_);
    if (presence_.empty() || presence_.back().present != here) {
        presence_.push_back({now_, here});
    }
}

void Bench::send(const Bytes& bytes) {
    model_->fromHost(bytes.data(), bytes.size(), now_);
    pump();
}

void Bench::elapse(milliseconds duration) {
    const Clock::time_point until = now_ + duration;
    pump();
    for (;;) {
        const Clock::time_point wake = model_->nextWakeup();
        if (wake > until) {
            break;
        }
        // A moment already served without change: move on by a millisecond.
        now_ = wake > now_ ? wake : now_ + milliseconds(1);
        if (now_ > until) {
            break;
        }
        pump();
    }
    now_ = until;
    pump();
}

std::vector<Packet> Bench::packets() {
    std::vector<Packet> out;
    size_t at = 0;
    while (inbox_.size() - at >= 2 && inbox_.size() - at >= size_t(2 + inbox_[at + 1])) {
        Packet packet;
        packet.address = inbox_[at];
        packet.data.assign(inbox_.begin() + ptrdiff_t(at) + 2,
                           inbox_.begin() + ptrdiff_t(at) + 2 + inbox_[at + 1]);
        at += 2 + inbox_[at + 1];
        out.push_back(std::move(packet));
    }
    inbox_.erase(inbox_.begin(), inbox_.begin() + ptrdiff_t(at));
    return out;
}

std::vector<Packet> Bench::exchange(const Bytes& request) {
    send(request);
    return packets();
}

Packet Bench::ask(const Bytes& request) {
    std::vector<Packet> got = exchange(request);
    if (got.size() != 1) {
        throw std::runtime_error("expected one reply to [" + hex(request) + "], got " +
                                 std::to_string(got.size()));
    }
    return got.front();
}

size_t Bench::absences() const {
    size_t count = 0;
    for (size_t i = 1; i < presence_.size(); ++i) {
        if (presence_[i - 1].present && !presence_[i].present) {
            ++count;
        }
    }
    return count;
}

} // namespace qbtest
