#include "HostClient.h"

#include "Netns.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace netsim {

namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

void sRefuseInitialNamespace() {
    if (!qbsim::netns::inTestNamespace()) {
        throw std::logic_error("network test client started in the machine's own namespace");
    }
}

sockaddr_in sEndpoint(const std::string& address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr = qbsim::netns::parseAddress(address);
    return endpoint;
}

int sLeft(SteadyClock::time_point end) {
    const auto left = std::chrono::ceil<milliseconds>(end - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

const std::vector<uint8_t>& discoveryRequest() {
    static const std::vector<uint8_t> request = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return request;
}

std::vector<Reply> discover(const std::string& interfaceAddress, milliseconds window, size_t enough,
                            const std::vector<uint8_t>& request) {
    sRefuseInitialNamespace();
    std::vector<Reply> replies;
    const int on = 1;
    const int in = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    setsockopt(in, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in any = sEndpoint("0.0.0.0", 9889);
    if (bind(in, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        close(in);
        throw std::runtime_error("cannot bind port 9889");
    }
    const int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const in_addr via = qbsim::netns::parseAddress(interfaceAddress);
    setsockopt(out, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via);
    const sockaddr_in group = sEndpoint("232.2.2.2", 9888);
    const bool sent =
        sendto(out, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&group),
               sizeof group) == static_cast<ssize_t>(request.size());
    close(out);
    const auto end = SteadyClock::now() + window;
    while (sent && replies.size() < enough) {
        pollfd entry{in, POLLIN, 0};
        if (poll(&entry, 1, sLeft(end)) <= 0) {
            break;
        }
        uint8_t buffer[256];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got =
            recvfrom(in, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        replies.push_back({text, std::vector<uint8_t>(buffer, buffer + got)});
    }
    close(in);
    if (!sent) {
        throw std::runtime_error("discovery request not sent");
    }
    return replies;
}

int connectTcp(const std::string& address, uint16_t port) {
    sRefuseInitialNamespace();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = sEndpoint(address, port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        done += static_cast<size_t>(sent);
    }
    return true;
}

std::vector<uint8_t> receive(int fd, size_t count, milliseconds timeout, int* error) {
    std::vector<uint8_t> got;
    if (error) {
        *error = 0;
    }
    const auto end = SteadyClock::now() + timeout;
    while (got.size() < count) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, sLeft(end)) <= 0) {
            break;
        }
        uint8_t buffer[256];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) {
            if (n < 0 && error) {
                *error = errno;
            }
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::vector<uint8_t> unhex(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

} // namespace netsim
