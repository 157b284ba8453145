#include "Netlink.h"
#include "Netns.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace qbsim::netns {

namespace {

[[noreturn]] void sThrow(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// A request under construction: header, fixed part, attributes (nestable).
class Request {
public:
    Request(uint16_t type, uint16_t flags) {
        nlmsghdr header{};
        header.nlmsg_type = type;
        header.nlmsg_flags = static_cast<uint16_t>(flags | NLM_F_REQUEST | NLM_F_ACK);
        append(&header, sizeof header);
    }

    void append(const void* data, size_t length) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        buffer_.insert(buffer_.end(), bytes, bytes + length);
        buffer_.resize(NLMSG_ALIGN(buffer_.size()), 0);
    }

    void attribute(uint16_t type, const void* data, size_t length) {
        rtattr header{};
        header.rta_type = type;
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
        const size_t start = buffer_.size();
        buffer_.resize(start + RTA_ALIGN(sizeof header) + RTA_ALIGN(length), 0);
        std::memcpy(buffer_.data() + start, &header, sizeof header);
        if (length > 0) {
            std::memcpy(buffer_.data() + start + RTA_ALIGN(sizeof header), data, length);
        }
    }

    void attribute(uint16_t type, const std::string& text, bool withNul) {
        attribute(type, text.c_str(), text.size() + (withNul ? 1 : 0));
    }

    size_t begin(uint16_t type) {
        const size_t start = buffer_.size();
        attribute(type, nullptr, 0);
        return start;
    }

    void end(size_t start) {
        rtattr header{};
        std::memcpy(&header, buffer_.data() + start, sizeof header);
        header.rta_len = static_cast<unsigned short>(buffer_.size() - start);
        std::memcpy(buffer_.data() + start, &header, sizeof header);
    }

    void* finish() {
        nlmsghdr header{};
        std::memcpy(&header, buffer_.data(), sizeof header);
        header.nlmsg_len = static_cast<uint32_t>(buffer_.size());
        std::memcpy(buffer_.data(), &header, sizeof header);
        return buffer_.data();
    }

    uint32_t size() const { return static_cast<uint32_t>(buffer_.size()); }

private:
    std::vector<uint8_t> buffer_;
};

} // namespace

Netlink::Netlink() {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) {
        sThrow(errno, "netlink socket");
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        close(fd_);
        sThrow(error, "netlink bind");
    }
}

Netlink::~Netlink() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Netlink::transact(void* message, uint32_t length,
                       const std::function<void(const nlmsghdr&)>& answer) {
    auto* header = static_cast<nlmsghdr*>(message);
    header->nlmsg_seq = ++seq_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, message, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(length)) {
        sThrow(errno, "netlink send");
    }
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            sThrow(errno, "netlink receive");
        }
        const size_t length = static_cast<size_t>(got);
        for (size_t offset = 0; offset + sizeof(nlmsghdr) <= length;) {
            const auto* reply = reinterpret_cast<const nlmsghdr*>(buffer + offset);
            if (reply->nlmsg_len < sizeof(nlmsghdr) || offset + reply->nlmsg_len > length) {
                break;
            }
            offset += NLMSG_ALIGN(reply->nlmsg_len);
            if (reply->nlmsg_seq != seq_) {
                continue;
            }
            if (reply->nlmsg_type != NLMSG_ERROR) {
                if (answer) {
                    answer(*reply);
                }
                continue;
            }
            const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply));
            if (error->error != 0) {
                sThrow(-error->error, "netlink request");
            }
            return;
        }
    }
}

void Netlink::addVeth(const std::string& name, const std::string& peerName, int peerNsFd) {
    Request request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    request.append(&info, sizeof info);
    request.attribute(IFLA_IFNAME, name, true);
    const size_t linkInfo = request.begin(IFLA_LINKINFO);
    request.attribute(IFLA_INFO_KIND, std::string("veth"), false);
    const size_t data = request.begin(IFLA_INFO_DATA);
    const size_t peer = request.begin(VETH_INFO_PEER);
    request.append(&info, sizeof info);
    request.attribute(IFLA_IFNAME, peerName, true);
    const uint32_t nsFd = static_cast<uint32_t>(peerNsFd);
    request.attribute(IFLA_NET_NS_FD, &nsFd, sizeof nsFd);
    request.end(peer);
    request.end(data);
    request.end(linkInfo);
    transact(request.finish(), request.size());
}

void Netlink::addAddress(int ifindex, in_addr address, int prefixLength) {
    Request request(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
    ifaddrmsg info{};
    info.ifa_family = AF_INET;
    info.ifa_prefixlen = static_cast<unsigned char>(prefixLength);
    info.ifa_scope = RT_SCOPE_UNIVERSE;
    info.ifa_index = static_cast<unsigned>(ifindex);
    request.append(&info, sizeof info);
    request.attribute(IFA_LOCAL, &address, sizeof address);
    request.attribute(IFA_ADDRESS, &address, sizeof address);
    if (prefixLength > 0 && prefixLength < 31) {
        const uint32_t hostMask = 0xFFFFFFFFu >> prefixLength;
        in_addr broadcast{htonl(ntohl(address.s_addr) | hostMask)};
        request.attribute(IFA_BROADCAST, &broadcast, sizeof broadcast);
    }
    transact(request.finish(), request.size());
}

void Netlink::setUp(int ifindex) {
    Request request(RTM_NEWLINK, 0);
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    info.ifi_index = ifindex;
    info.ifi_flags = IFF_UP;
    info.ifi_change = IFF_UP;
    request.append(&info, sizeof info);
    transact(request.finish(), request.size());
}

uint8_t Netlink::operState(int ifindex) {
    Request request(RTM_GETLINK, 0);
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    info.ifi_index = ifindex;
    request.append(&info, sizeof info);
    uint8_t state = 0; // unknown
    transact(request.finish(), request.size(), [&](const nlmsghdr& reply) {
        if (reply.nlmsg_type != RTM_NEWLINK) {
            return;
        }
        const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&reply));
        int left = static_cast<int>(IFLA_PAYLOAD(&reply));
        for (const rtattr* attribute = IFLA_RTA(link); RTA_OK(attribute, left);
             attribute = RTA_NEXT(attribute, left)) {
            if (attribute->rta_type == IFLA_OPERSTATE) {
                state = *static_cast<const uint8_t*>(RTA_DATA(attribute));
            }
        }
    });
    return state;
}

int interfaceIndex(const std::string& name) {
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) {
        sThrow(errno, "interface " + name);
    }
    return static_cast<int>(index);
}

in_addr parseAddress(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + text);
    }
    return address;
}

} // namespace qbsim::netns
