// The USB device layer under the USB stream: one module, reached either by
// user-space bulk transfers through libusb or through the character device
// of the family's kernel driver, "/dev/quorbital.%08X". Which one serves a
// stream is decided by the existence of that node.
//
// Also the process-wide libusb context, shared with USB discovery, and the
// module test that discovery uses too.
#ifndef QB_QBUSB_DRIVER_H
#define QB_QBUSB_DRIVER_H

#include "aError.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <libusb.h>
#include <mutex>

#ifndef QUORBITAL_VENDOR_ID
#error "QUORBITAL_VENDOR_ID must be defined build-wide"
#endif

// Modes of a qbusb_device.
constexpr int QBUSB_MODE_KERNEL = 0;
constexpr int QBUSB_MODE_LIBUSB = 1;

// States of a qbusb_device. What a read or write answers in each (libusb
// mode; in kernel mode the state only moves from 1 to 2 on close):
constexpr int QBUSB_STATE_CREATED = 1; // aErrNotReady
constexpr int QBUSB_STATE_CLOSED =
    2; // closed, or the open failed after the module was found: aErrConnection
constexpr int QBUSB_STATE_FOUND = 3;  // handle open, interface not claimed: aErrNotReady
constexpr int QBUSB_STATE_OPEN = 4;   // interface claimed: transfers
constexpr int QBUSB_STATE_FAILED = 5; // too many consecutive I/O errors: aErrIO

// The transport interface of a module.
constexpr uint8_t QBUSB_INTERFACE_CLASS = 0xFF;
constexpr uint8_t QBUSB_INTERFACE_SUBCLASS = 0x88;
constexpr uint8_t QBUSB_INTERFACE_PROTOCOL = 0x10;

// Transfer constants.
constexpr size_t QBUSB_OUT_CHUNK = 50;         // bytes per OUT transfer
constexpr unsigned QBUSB_OUT_TIMEOUT_MS = 50;  // per OUT transfer
constexpr int QBUSB_WRITE_ATTEMPTS = 100;      // chunk attempts per write
constexpr size_t QBUSB_IN_SIZE = 800;          // bytes per IN transfer
constexpr unsigned QBUSB_IN_TIMEOUT_MS = 1000; // per IN transfer
constexpr uint8_t QBUSB_ERROR_TOLERANCE = 4;   // consecutive I/O errors absorbed
constexpr int QBUSB_KERNEL_WRITE_CALLS = 1000; // write() calls per write on the node
// How long a read of the node waits for a byte before answering aErrNotReady,
// so that a link reading an idle node sleeps instead of spinning.
constexpr int QBUSB_KERNEL_READ_WAIT_MS = 20;
constexpr size_t QBUSB_RECEIVE_BUFFER = QBUSB_IN_SIZE;
constexpr size_t QBUSB_SERIAL_TEXT = 32; // serial text field, 8 digits and a NUL used

// One module's USB device context.
struct qbusb_device {
    int mode; // QBUSB_MODE_LIBUSB or QBUSB_MODE_KERNEL
    char serial[QBUSB_SERIAL_TEXT];
    int fd;                       // kernel mode; 0 when not open
    libusb_device_handle* handle; // libusb mode; null when not open
    std::atomic<int> state;       // QBUSB_STATE_..., 0 when not made by qbusb_create_usb
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    // Read side only.
    uint8_t receiveBuffer[QBUSB_RECEIVE_BUFFER];
    int receiveCount;    // unread bytes
    int receivePosition; // index of the next unread byte
    // Consecutive I/O errors, shared by the reading and the writing thread.
    std::atomic<uint8_t> ioErrors;
    // Keeps the state and the error count consistent between the reading
    // and the writing thread.
    std::mutex toleranceLock;
};

// The process-wide libusb context: null before the first
// Quorbital_libusb_init(), which creates it (once; later calls keep it).
libusb_context* Quorbital_libusb_context();
// aErrNone, or aErrInitialization when libusb cannot start.
aErr Quorbital_libusb_init();
// Ends the context (libusb_exit) and forgets it. The tool never calls it.
void Quorbital_libusb_exit();

// Whether a device is a module of the family: its device descriptor reads,
// the vendor is QUORBITAL_VENDOR_ID and the product id is below 0x8000.
bool is_quorbital_device(libusb_device* device);

// Finds the transport interface (0xFF/0x88/0x10) of an opened module and its
// bulk (or interrupt) IN and OUT endpoints; 0 or a libusb error
// (LIBUSB_ERROR_NO_DEVICE without a handle or when an endpoint is missing).
int find_usb_endpoints(qbusb_device* context);

// Whether the node "/dev/quorbital.%08X" of the serial number exists.
bool qbusb_is_kernel_driver_installed(uint32_t serialNumber);

// A new device context in the given mode, in state 1; in libusb mode the
// process-wide libusb context is made first if needed. Null when memory is
// short.
qbusb_device* qbusb_create_usb(int mode);
// Closes what is still open, frees the context and clears the reference;
// aErrParam for a null context.
aErr qbusb_destroy(qbusb_device** contextReference);

// Dispatch on the context's mode (aErrParam for a null context or data).
aErr qbusb_open_quorbital_device(qbusb_device* context, const char* serialText);
aErr qbusb_write_to_device(qbusb_device* context, const uint8_t* data, uint64_t length);
aErr qbusb_get_from_device(qbusb_device* context, uint8_t* byteOut);
aErr qbusb_close_quorbital_device(qbusb_device* context);

// libusb mode (aErrMode on a kernel-mode context).
aErr qbusb_open_quorbital_USBlib_device(qbusb_device* context, const char* serialText);
aErr qbusb_write_to_USBlib_device(qbusb_device* context, const uint8_t* data, uint64_t length);
aErr qbusb_get_from_USBlib_device(qbusb_device* context, uint8_t* byteOut);
aErr qbusb_close_quorbital_USBlib_device(qbusb_device* context);

// Kernel-node mode (aErrMode on a libusb-mode context).
aErr qbusb_open_quorbital_kernel_device(qbusb_device* context, const char* serialText);
aErr qbusb_write_to_kernel_device(qbusb_device* context, const uint8_t* data, uint64_t length);
aErr qbusb_get_from_kernel_device(qbusb_device* context, uint8_t* byteOut);
aErr qbusb_close_quorbital_kernel_device(qbusb_device* context);

#endif
