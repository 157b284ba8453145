// A bare host-side client for tests that run it through kestrane-sim:
//
//   netsim_client discover [WINDOW_MS [ENOUGH]]
//       sends the discovery request out of $KESTRANE_SIM_HOST and prints
//       one line per reply: "SOURCE HEX"
//   netsim_client exchange ADDRESS PORT HEX COUNT [WAIT_MS]
//       connects, sends the bytes, prints the first COUNT bytes received
//   netsim_client device PATH HEX COUNT [WAIT_MS]
//       the same with a device file (the driver node, a serial port)
//   netsim_client usb SERIAL HEX COUNT
//       the same with the USB module of that serial number, through libusb
//
// Exit status 0, or 1 with a message on standard error.
#include "HostClient.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libusb.h>
#include <string>
#include <unistd.h>

namespace {

// Bulk OUT, then bulk IN until COUNT bytes or a time-out, on the module's
// vendor interface.
int sUsbExchange(const std::string& serial, const std::vector<uint8_t>& bytes, size_t count) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        std::fprintf(stderr, "netsim_client: libusb_init\n");
        return 1;
    }
    libusb_device** list = nullptr;
    const ssize_t found = libusb_get_device_list(context, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < found && !handle; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            descriptor.idVendor != QUORBITAL_VENDOR_ID) {
            continue;
        }
        libusb_device_handle* candidate = nullptr;
        if (libusb_open(list[i], &candidate) != 0) {
            continue;
        }
        unsigned char text[64] = {};
        const int length = libusb_get_string_descriptor_ascii(candidate, descriptor.iSerialNumber,
                                                              text, sizeof text);
        if (length > 0 && serial == reinterpret_cast<char*>(text)) {
            handle = candidate;
        } else {
            libusb_close(candidate);
        }
    }
    libusb_free_device_list(list, 1);
    int status = 1;
    if (!handle) {
        std::fprintf(stderr, "netsim_client: no USB module %s\n", serial.c_str());
    } else if (libusb_claim_interface(handle, 0) == 0) {
        int moved = 0;
        std::vector<uint8_t> out = bytes;
        if (libusb_bulk_transfer(handle, 0x01, out.data(), static_cast<int>(out.size()), &moved,
                                 2000) == 0) {
            std::vector<uint8_t> got;
            while (got.size() < count) {
                uint8_t in[64];
                if (libusb_bulk_transfer(handle, 0x81, in, sizeof in, &moved, 2000) != 0) {
                    break;
                }
                got.insert(got.end(), in, in + moved);
            }
            std::printf("%s\n", netsim::hex(got).c_str());
            status = 0;
        }
        libusb_release_interface(handle, 0);
    }
    if (handle) {
        libusb_close(handle);
    }
    libusb_exit(context);
    return status;
}

} // namespace

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
        if (verb == "usb" && argc >= 5) {
            return sUsbExchange(argv[2], netsim::unhex(argv[3]),
                                static_cast<size_t>(atoi(argv[4])));
        }
        if (verb == "device" && argc >= 5) {
            const int fd = open(argv[2], O_RDWR | O_NOCTTY);
            if (fd < 0) {
                std::fprintf(stderr, "netsim_client: open %s: %s\n", argv[2], std::strerror(errno));
                return 1;
            }
            const auto wait = milliseconds(argc > 5 ? atoi(argv[5]) : 3000);
            const auto bytes = netsim::unhex(argv[3]);
            if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
                std::fprintf(stderr, "netsim_client: write: %s\n", std::strerror(errno));
                return 1;
            }
            const auto got = netsim::receive(fd, static_cast<size_t>(atoi(argv[4])), wait);
            std::printf("%s\n", netsim::hex(got).c_str());
            close(fd);
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
    std::fprintf(stderr,
                 "usage: netsim_client discover [WINDOW_MS [ENOUGH]] | exchange ADDRESS "
                 "PORT HEX COUNT [WAIT_MS] | device PATH HEX COUNT [WAIT_MS] | usb SERIAL HEX "
                 "COUNT\n");
    return 1;
}
