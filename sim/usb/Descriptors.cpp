#include "Descriptors.h"

#include <algorithm>
#include <cstdio>

namespace qbsim::usb {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

} // namespace

std::vector<uint8_t> deviceDescriptor(const DeviceSpec& spec) {
    std::vector<uint8_t> d;
    d.push_back(18);  // bLength
    d.push_back(1);   // DEVICE
    put16(d, 0x0200); // bcdUSB
    d.push_back(0);   // class per interface
    d.push_back(0);   // subclass
    d.push_back(0);   // protocol
    d.push_back(64);  // bMaxPacketSize0
    put16(d, spec.vendorId);
    put16(d, spec.productId);
    put16(d, spec.bcdDevice);
    d.push_back(spec.manufacturer.empty() ? 0 : kStringManufacturer);
    d.push_back(spec.product.empty() ? 0 : kStringProduct);
    d.push_back(spec.serial.empty() ? 0 : kStringSerial);
    d.push_back(1); // bNumConfigurations
    return d;
}

std::vector<uint8_t> configurationDescriptor(const DeviceSpec& spec) {
    std::vector<uint8_t> d;
    d.push_back(9);
    d.push_back(2); // CONFIGURATION
    put16(d, 0);    // wTotalLength, filled in below
    d.push_back(static_cast<uint8_t>(spec.interfaces.size()));
    d.push_back(1);    // bConfigurationValue
    d.push_back(0);    // iConfiguration
    d.push_back(0x80); // bus powered
    d.push_back(50);   // 100 mA
    for (const auto& itf : spec.interfaces) {
        d.push_back(9);
        d.push_back(4); // INTERFACE
        d.push_back(itf.number);
        d.push_back(0); // bAlternateSetting
        d.push_back(static_cast<uint8_t>(itf.endpoints.size()));
        d.push_back(itf.interfaceClass);
        d.push_back(itf.interfaceSubClass);
        d.push_back(itf.interfaceProtocol);
        d.push_back(0); // iInterface
        for (const auto& ep : itf.endpoints) {
            d.push_back(7);
            d.push_back(5); // ENDPOINT
            d.push_back(ep.address);
            d.push_back(ep.attributes);
            put16(d, ep.maxPacketSize);
            d.push_back(ep.attributes == 3 ? 1 : 0); // bInterval
        }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

std::vector<uint8_t> stringDescriptor(const DeviceSpec& spec, uint8_t index) {
    if (index == 0) {
        std::vector<uint8_t> d{4, 3};
        put16(d, kLanguageEnglishUS);
        return d;
    }
    const std::string* text = nullptr;
    switch (index) {
    case kStringManufacturer:
        text = &spec.manufacturer;
        break;
    case kStringProduct:
        text = &spec.product;
        break;
    case kStringSerial:
        text = &spec.serial;
        break;
    default:
        return {};
    }
    if (text->empty()) {
        return {};
    }
    std::vector<uint8_t> d;
    size_t chars = std::min<size_t>(text->size(), 126); // bLength is one byte
    d.push_back(static_cast<uint8_t>(2 + 2 * chars));
    d.push_back(3); // STRING
    for (size_t i = 0; i < chars; ++i) {
        put16(d, static_cast<uint8_t>((*text)[i])); // UTF-16LE of 8-bit text
    }
    return d;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    char buf[3];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

} // namespace qbsim::usb
