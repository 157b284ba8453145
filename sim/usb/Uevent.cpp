#include "Uevent.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qbsim::usb::detail {

namespace {

// The header of a message on udev's monitor socket (all fields in network
// byte order where a filter reads them).
struct MonitorHeader {
    char prefix[8];         // "libudev"
    uint32_t magic;         // 0xfeedcafe
    uint32_t headerSize;    // sizeof(MonitorHeader)
    uint32_t propertiesOff; // from the start of the message
    uint32_t propertiesLen;
    uint32_t subsystemHash;
    uint32_t devtypeHash;
    uint32_t tagBloomHi;
    uint32_t tagBloomLo;
};
static_assert(sizeof(MonitorHeader) == 40, "monitor header layout");

constexpr uint32_t kMonitorMagic = 0xfeedcafe;

void put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    std::memcpy(out.data() + at, &value, sizeof value);
}

} // namespace

uint32_t filterHash(const std::string& text) {
    constexpr uint32_t m = 0x5bd1e995;
    size_t len = text.size();
    uint32_t h = static_cast<uint32_t>(len);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (; len >= 4; len -= 4, p += 4) {
        uint32_t k = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                     static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
    }
    if (len > 0) {
        if (len == 3) {
            h ^= static_cast<uint32_t>(p[2]) << 16;
        }
        if (len >= 2) {
            h ^= static_cast<uint32_t>(p[1]) << 8;
        }
        h ^= p[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

std::vector<uint8_t> uevent(const UeventDevice& device, const std::string& action,
                            uint64_t seqnum) {
    std::string props;
    auto add = [&](const std::string& key, const std::string& value) {
        props += key;
        props += '=';
        props += value;
        props += '\0';
    };
    add("ACTION", action);
    add("DEVPATH",
        device.syspath.rfind("/sys", 0) == 0 ? device.syspath.substr(4) : device.syspath);
    add("SUBSYSTEM", device.subsystem);
    add("SEQNUM", std::to_string(seqnum));
    if (!device.devname.empty()) {
        add("DEVNAME", device.devname);
    }
    if (!device.devtype.empty()) {
        add("DEVTYPE", device.devtype);
    }
    for (const auto& [key, value] : device.properties) {
        add(key, value);
    }

    std::vector<uint8_t> message(sizeof(MonitorHeader) + props.size(), 0);
    std::memcpy(message.data(), "libudev", 8);
    put32(message, offsetof(MonitorHeader, magic), htonl(kMonitorMagic));
    put32(message, offsetof(MonitorHeader, headerSize), sizeof(MonitorHeader));
    put32(message, offsetof(MonitorHeader, propertiesOff), sizeof(MonitorHeader));
    put32(message, offsetof(MonitorHeader, propertiesLen), static_cast<uint32_t>(props.size()));
    put32(message, offsetof(MonitorHeader, subsystemHash), htonl(filterHash(device.subsystem)));
    if (!device.devtype.empty()) {
        put32(message, offsetof(MonitorHeader, devtypeHash), htonl(filterHash(device.devtype)));
    }
    std::memcpy(message.data() + sizeof(MonitorHeader), props.data(), props.size());
    return message;
}

int broadcastUevent(const std::string& sandboxRoot, const std::vector<uint8_t>& message) {
    DIR* dir = opendir(sandboxRoot.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int sent = 0;
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "event", 5) != 0 || name[5] < '0' || name[5] > '9') {
            continue;
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = sandboxRoot + "/" + name;
        if (path.size() >= sizeof address.sun_path) {
            continue;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            continue;
        }
        if (sendto(fd, message.data(), message.size(), 0,
                   reinterpret_cast<const sockaddr*>(&address), sizeof address) > 0) {
            ++sent;
        } else if (errno == ECONNREFUSED) {
            unlink(path.c_str()); // the client closed its monitor
        }
        close(fd);
    }
    closedir(dir);
    return sent;
}

} // namespace qbsim::usb::detail
