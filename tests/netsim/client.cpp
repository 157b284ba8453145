// A bare host-side client for tests that run it through kestrane-sim:
//
//   netsim_client discover [WINDOW_MS [ENOUGH]]
//       sends the discovery request out of $KESTRANE_SIM_HOST and prints
//       one line per reply: "SOURCE HEX"
//   netsim_client exchange ADDRESS PORT HEX COUNT [WAIT_MS]
//       connects, sends the bytes, prints the first COUNT bytes received
//
// Exit status 0, or 1 with a message on standard error.
#include "HostClient.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    using namespace std::chrono;
    try {
        const std::string verb = argc > 1 ? argv[1] : "";
        if (verb == "discover") {
            const char* via = getenv("KESTRANE_SIM_HOST");
            if (!via) {
                std::fprintf(stderr, "netsim_client: KESTRANE_SIM_HOST is not set\n");
                return 1;
            }
            const auto window = milliseconds(argc > 2 ? atoi(argv[2]) : 1500);
            const size_t enough = argc > 3 ? static_cast<size_t>(atoi(argv[3])) : SIZE_MAX;
            for (const auto& reply : netsim::discover(via, window, enough)) {
                std::printf("%s %s\n", reply.source.c_str(), netsim::hex(reply.bytes).c_str());
            }
            return 0;
        }
        if (verb == "exchange" && argc >= 6) {
            const int fd = netsim::connectTcp(argv[2], static_cast<uint16_t>(atoi(argv[3])));
            if (fd < 0) {
                std::fprintf(stderr, "netsim_client: connect: %s\n", std::strerror(errno));
                return 1;
            }
            const auto wait = milliseconds(argc > 6 ? atoi(argv[6]) : 3000);
            if (!netsim::sendAll(fd, netsim::unhex(argv[4]))) {
                std::fprintf(stderr, "netsim_client: send: %s\n", std::strerror(errno));
                return 1;
            }
            const auto got = netsim::receive(fd, static_cast<size_t>(atoi(argv[5])), wait);
            std::printf("%s\n", netsim::hex(got).c_str());
            close(fd);
            return 0;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "netsim_client: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: netsim_client discover [WINDOW_MS [ENOUGH]] | exchange ADDRESS "
                         "PORT HEX COUNT [WAIT_MS]\n");
    return 1;
}
