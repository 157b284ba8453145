// Bare host-side clients for the network tests: a discovery request sent
// the way a host sends it, and a plain TCP connection. They act in the
// calling thread's namespace and refuse to run in the machine's own.
#ifndef NETSIM_HOST_CLIENT_H
#define NETSIM_HOST_CLIENT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace netsim {

struct Reply {
    std::string source;         // the sender's address
    std::vector<uint8_t> bytes; // the datagram
};

const std::vector<uint8_t>& discoveryRequest();

// Sends `request` to 232.2.2.2:9888 out of the interface with address
// `interfaceAddress` and collects what arrives on port 9889 until `window`
// has passed or `enough` replies are in.
std::vector<Reply> discover(const std::string& interfaceAddress, std::chrono::milliseconds window,
                            size_t enough = SIZE_MAX,
                            const std::vector<uint8_t>& request = discoveryRequest());

// A blocking TCP connection; -1 with errno set when it fails.
int connectTcp(const std::string& address, uint16_t port);

bool sendAll(int fd, const std::vector<uint8_t>& bytes);

// Reads until `count` bytes are in, the connection ends or `timeout` passes.
// `error` receives the errno that ended it (0 for an orderly end or none).
std::vector<uint8_t> receive(int fd, size_t count, std::chrono::milliseconds timeout,
                             int* error = nullptr);

std::string hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> unhex(const std::string& text);

} // namespace netsim

#endif
