// Standard USB descriptors of an emulated device, built from a plain
// description: the device descriptor, configuration 1 with its interfaces
// and endpoints, and the string descriptors (language 0x0409).
#ifndef QBSIM_USB_DESCRIPTORS_H
#define QBSIM_USB_DESCRIPTORS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qbsim::usb {

struct EndpointSpec {
    uint8_t address = 0;    // bit 7 set: IN
    uint8_t attributes = 2; // 2 bulk, 3 interrupt
    uint16_t maxPacketSize = 64;
};

struct InterfaceSpec {
    uint8_t number = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::vector<EndpointSpec> endpoints;
};

struct DeviceSpec {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    std::string manufacturer; // string 1
    std::string product;      // string 2
    std::string serial;       // string 3
    std::vector<InterfaceSpec> interfaces;
};

enum : uint8_t {
    kStringManufacturer = 1,
    kStringProduct = 2,
    kStringSerial = 3,
};

constexpr uint16_t kLanguageEnglishUS = 0x0409;

std::vector<uint8_t> deviceDescriptor(const DeviceSpec& spec);

// Configuration 1 with every interface and endpoint, wTotalLength filled in.
std::vector<uint8_t> configurationDescriptor(const DeviceSpec& spec);

// String descriptor `index`; index 0 is the language list. Empty when the
// device has no such string.
std::vector<uint8_t> stringDescriptor(const DeviceSpec& spec, uint8_t index);

// Upper-case hex of bytes, as umockdev's device records want binary values.
std::string hex(const std::vector<uint8_t>& bytes);

} // namespace qbsim::usb

#endif
