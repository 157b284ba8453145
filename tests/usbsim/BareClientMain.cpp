// A bare libusb program run as a child of a process that hosts emulated
// modules: "usbsim_bare_client SERIAL HEXBYTES" finds the module of that
// serial number, writes the bytes, reads the answer and prints it in hex.
// Prints "modules: N" first. Exit status 0 when an answer came.
// "usbsim_bare_client --wait-for SERIAL MS" prints the modules it sees at
// start and waits for one with that serial number to arrive while it runs
// (which libusb learns from hot-plug events only); 0 when it did.
#include "BareUsbClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

int waitFor(const std::string& serial, int ms) {
    qbtest::BareUsbClient client;
    std::printf("at start:");
    for (const auto& f : client.list(QUORBITAL_VENDOR_ID)) {
        std::printf(" %s", f.serial.c_str());
    }
    std::printf("\n");
    std::fflush(stdout);
    for (int waited = 0; waited < ms; waited += 20) {
        for (const auto& f : client.list(QUORBITAL_VENDOR_ID)) {
            if (f.serial == serial) {
                std::printf("arrived: %s\n", serial.c_str());
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("not seen\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--wait-for") {
        return waitFor(argv[2], std::atoi(argv[3]));
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SERIAL HEXBYTES\n", argv[0]);
        return 2;
    }
    qbtest::BareUsbClient client;
    std::printf("modules: %zu\n", client.list(QUORBITAL_VENDOR_ID).size());
    libusb_device_handle* h = client.open(QUORBITAL_VENDOR_ID, argv[1]);
    if (h == nullptr) {
        std::printf("not found\n");
        return 1;
    }
    std::vector<uint8_t> out;
    const std::string hex = argv[2];
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    if (client.write(h, out) != 0) {
        std::printf("write failed\n");
        return 1;
    }
    std::vector<uint8_t> in;
    if (client.read(h, in) != 0) {
        std::printf("read failed\n");
        return 1;
    }
    std::printf("answer:");
    for (uint8_t b : in) {
        std::printf(" %02X", b);
    }
    std::printf("\n");
    return 0;
}
