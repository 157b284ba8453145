// The few route-netlink requests the namespace harness needs. Each acts on
// the namespace the socket was made in.
#ifndef QBSIM_NETLINK_H
#define QBSIM_NETLINK_H

#include <cstdint>
#include <functional>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <string>

namespace qbsim::netns {

class Netlink {
public:
    // A route-netlink socket in the calling thread's namespace.
    Netlink();
    ~Netlink();
    Netlink(const Netlink&) = delete;
    Netlink& operator=(const Netlink&) = delete;

    // A veth pair: `name` here, `peerName` in the namespace behind peerNsFd.
    void addVeth(const std::string& name, const std::string& peerName, int peerNsFd);

    void addAddress(int ifindex, in_addr address, int prefixLength);
    void setUp(int ifindex);

    // The link's operational state (kOperUp once its queue runs).
    uint8_t operState(int ifindex);
    static constexpr uint8_t kOperUp = 6; // RFC 2863 "up", as the kernel reports it

private:
    // Sends a request and waits for its acknowledgement; `answer` sees
    // every other message that comes back for it.
    void transact(void* message, uint32_t length,
                  const std::function<void(const nlmsghdr&)>& answer = {});
    int fd_ = -1;
    uint32_t seq_ = 0;
};

// The interface index of `name` in the calling thread's namespace; throws.
int interfaceIndex(const std::string& name);

} // namespace qbsim::netns

#endif
