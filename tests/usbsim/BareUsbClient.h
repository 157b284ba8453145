// A plain libusb program, as a module's user would write one: enumerate by
// vendor id, read the serial-number string, claim the vendor interface and
// move bytes with bulk transfers. Nothing of the device library is used.
#ifndef QBTEST_BARE_USB_CLIENT_H
#define QBTEST_BARE_USB_CLIENT_H

#include <libusb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qbtest {

struct FoundDevice {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t bus = 0;
    uint8_t address = 0;
    std::string serial; // empty when unreadable
};

class BareUsbClient {
public:
    BareUsbClient();
    ~BareUsbClient();
    BareUsbClient(const BareUsbClient&) = delete;
    BareUsbClient& operator=(const BareUsbClient&) = delete;

    libusb_context* context() const { return ctx_; }

    // Devices of `vendorId`, each with its serial-number string.
    std::vector<FoundDevice> list(uint16_t vendorId);

    // Opens the device of `vendorId` whose serial string is `serial`, and
    // claims interface 0. Null when not found or not claimable (`error` gets
    // the libusb code).
    libusb_device_handle* open(uint16_t vendorId, const std::string& serial, int* error = nullptr);
    void close(libusb_device_handle* handle);

    // Bulk transfers on endpoints 0x01 / 0x81; the libusb result.
    int write(libusb_device_handle* h, const std::vector<uint8_t>& data, unsigned timeoutMs = 1000,
              int* transferred = nullptr);
    int read(libusb_device_handle* h, std::vector<uint8_t>& out, size_t capacity = 512,
             unsigned timeoutMs = 1000);

private:
    libusb_context* ctx_ = nullptr;
    std::vector<libusb_device_handle*> open_;
};

} // namespace qbtest

#endif
