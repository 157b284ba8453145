// The USB stream over the qbusb device layer.
#include "aStreamUSB.h"
#include "qbusb_driver.h"

#include <cstdio>
#include <new>

namespace {

constexpr uint16_t sUSBSTREAMCHECK = 0xDEAD;

struct sUSBStream {
    uint32_t serialNumber;
    qbusb_device* device; // owned
    uint16_t check;       // sUSBSTREAMCHECK while alive
};

bool aVALIDUSBS(const sUSBStream* context) {
    return context != nullptr && context->check == sUSBSTREAMCHECK;
}

aErr sUSBStreamGet(uint8_t* byte, void* ref) {
    auto* context = static_cast<sUSBStream*>(ref);
    if (!aVALIDUSBS(context)) {
        return aErrParam;
    }
    return qbusb_get_from_device(context->device, byte);
}

aErr sUSBStreamPut(const uint8_t* byte, void* ref) {
    auto* context = static_cast<sUSBStream*>(ref);
    if (!aVALIDUSBS(context)) {
        return aErrParam;
    }
    return qbusb_write_to_device(context->device, byte, 1);
}

aErr sUSBStreamWrite(const uint8_t* bytes, uint64_t length, void* ref) {
    auto* context = static_cast<sUSBStream*>(ref);
    if (!aVALIDUSBS(context)) {
        return aErrParam;
    }
    return qbusb_write_to_device(context->device, bytes, length);
}

aErr sUSBStreamDelete(void* ref) {
    auto* context = static_cast<sUSBStream*>(ref);
    if (!aVALIDUSBS(context)) {
        return aErrParam;
    }
    aErr err = qbusb_close_quorbital_device(context->device);
    if (err != aErrNone) {
        return err;
    }
    qbusb_destroy(&context->device);
    context->check = 0;
    delete context;
    return aErrNone;
}

} // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** streamOut) {
    if (streamOut != nullptr) {
        *streamOut = nullptr;
    }
    if (streamOut == nullptr || serialNumber == 0) {
        return aErrParam;
    }
    const int mode =
        qbusb_is_kernel_driver_installed(serialNumber) ? QBUSB_MODE_KERNEL : QBUSB_MODE_LIBUSB;

    auto* context = new (std::nothrow) sUSBStream{serialNumber, nullptr, sUSBSTREAMCHECK};
    if (context == nullptr) {
        return aErrMemory;
    }
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", serialNumber);

    context->device = qbusb_create_usb(mode);
    if (context->device == nullptr) {
        delete context;
        return aErrResource;
    }
    aErr err = qbusb_open_quorbital_device(context->device, serialText);
    if (err != aErrNone) {
        qbusb_destroy(&context->device);
        delete context;
        return err;
    }

    aStream* stream =
        aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, context);
    if (stream == nullptr) {
        qbusb_close_quorbital_device(context->device);
        qbusb_destroy(&context->device);
        delete context;
        return aErrMemory;
    }
    *streamOut = stream;
    return aErrNone;
}
