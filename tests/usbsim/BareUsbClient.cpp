#include "BareUsbClient.h"

#include <algorithm>
#include <stdexcept>

namespace qbtest {

BareUsbClient::BareUsbClient() {
    int rc = libusb_init(&ctx_);
    if (rc != 0) {
        throw std::runtime_error(std::string("libusb_init: ") + libusb_error_name(rc));
    }
}

BareUsbClient::~BareUsbClient() {
    for (auto* h : open_) {
        libusb_release_interface(h, 0);
        libusb_close(h);
    }
    libusb_exit(ctx_);
}

std::vector<FoundDevice> BareUsbClient::list(uint16_t vendorId) {
    std::vector<FoundDevice> out;
    libusb_device** devices = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &devices);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(devices[i], &d) != 0 || d.idVendor != vendorId) {
            continue;
        }
        FoundDevice f;
        f.vendorId = d.idVendor;
        f.productId = d.idProduct;
        f.bus = libusb_get_bus_number(devices[i]);
        f.address = libusb_get_device_address(devices[i]);
        libusb_device_handle* h = nullptr;
        if (libusb_open(devices[i], &h) == 0) {
            unsigned char text[64] = {};
            int len = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text);
            if (len > 0) {
                f.serial.assign(reinterpret_cast<char*>(text), static_cast<size_t>(len));
            }
            libusb_close(h);
        }
        out.push_back(f);
    }
    if (n >= 0) {
        libusb_free_device_list(devices, 1);
    }
    return out;
}

libusb_device_handle* BareUsbClient::open(uint16_t vendorId, const std::string& serial,
                                          int* error) {
    int rc = LIBUSB_ERROR_NOT_FOUND;
    libusb_device_handle* found = nullptr;
    libusb_device** devices = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &devices);
    for (ssize_t i = 0; i < n && found == nullptr; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(devices[i], &d) != 0 || d.idVendor != vendorId) {
            continue;
        }
        libusb_device_handle* h = nullptr;
        if (libusb_open(devices[i], &h) != 0) {
            continue;
        }
        unsigned char text[64] = {};
        int len = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text);
        if (len > 0 &&
            serial == std::string(reinterpret_cast<char*>(text), static_cast<size_t>(len))) {
            rc = libusb_claim_interface(h, 0);
            if (rc == 0) {
                found = h;
                open_.push_back(h);
                continue;
            }
        }
        libusb_close(h);
    }
    if (n >= 0) {
        libusb_free_device_list(devices, 1);
    }
    if (error != nullptr) {
        *error = found != nullptr ? 0 : rc;
    }
    return found;
}

void BareUsbClient::close(libusb_device_handle* handle) {
    auto it = std::find(open_.begin(), open_.end(), handle);
    if (it != open_.end()) {
        open_.erase(it);
        libusb_release_interface(handle, 0);
        libusb_close(handle);
    }
}

int BareUsbClient::write(libusb_device_handle* h, const std::vector<uint8_t>& data,
                         unsigned timeoutMs, int* transferred) {
    int done = 0;
    int rc = libusb_bulk_transfer(h, 0x01, const_cast<unsigned char*>(data.data()),
                                  static_cast<int>(data.size()), &done, timeoutMs);
    if (transferred != nullptr) {
        *transferred = done;
    }
    return rc;
}

int BareUsbClient::read(libusb_device_handle* h, std::vector<uint8_t>& out, size_t capacity,
                        unsigned timeoutMs) {
    out.assign(capacity, 0);
    int done = 0;
    int rc =
        libusb_bulk_transfer(h, 0x81, out.data(), static_cast<int>(capacity), &done, timeoutMs);
    out.resize(static_cast<size_t>(std::max(done, 0)));
    return rc;
}

} // namespace qbtest
