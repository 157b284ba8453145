#include "qbusb_driver.h"

#include "aDebugging.h"
#include "aFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>

namespace {

std::mutex sLibusbLock;
std::atomic<libusb_context*> sLibusbContext{nullptr};

bool sLibusbMode(const qbusb_device* context) {
    return context->mode == QBUSB_MODE_LIBUSB;
}

void sNodePath(const char* serialText, char* path, size_t size) {
    std::snprintf(path, size, "/dev/quorbital.%s", serialText);
}

void sCopySerial(qbusb_device* context, const char* serialText) {
    std::memset(context->serial, 0, sizeof context->serial);
    std::strncpy(context->serial, serialText, sizeof context->serial - 1);
}

// Error tolerance of the libusb paths, applied to every read and write
// result: up to QBUSB_ERROR_TOLERANCE consecutive I/O errors are reported as
// success, the next one fails the device for good (state 5). Any other
// result resets the count. A failed device answers aErrIO whatever the count
// (which stops at 255 rather than wrapping back into the tolerated range).
aErr _handleErrorTolerance(qbusb_device* context, aErr result) {
    std::lock_guard<std::mutex> g(context->toleranceLock);
    if (result != aErrIO) {
        context->ioErrors = 0;
        return result;
    }
    const uint8_t before = context->ioErrors;
    if (before < 255) {
        context->ioErrors = static_cast<uint8_t>(before + 1);
    }
    if (context->state == QBUSB_STATE_FAILED) {
        return aErrIO;
    }
    if (before < QBUSB_ERROR_TOLERANCE) {
        return aErrNone;
    }
    context->state = QBUSB_STATE_FAILED;
    return aErrIO;
}

// What a transfer asked for in a state other than 4 answers.
aErr sStateResult(int state, const char* direction) {
    switch (state) {
    case QBUSB_STATE_CLOSED:
        return aErrConnection;
    case QBUSB_STATE_CREATED:
    case QBUSB_STATE_FOUND:
        return aErrNotReady;
    default:
        aQuorbitalDebug(aQB_DEBUG_USB, "libusb %s error dev state: %d\n", direction, state);
        return aErrIO;
    }
}

int sBulk(qbusb_device* context, uint8_t endpoint, uint8_t* data, size_t length, int* transferred,
          unsigned timeoutMs) {
    *transferred = 0;
    return libusb_bulk_transfer(context->handle, endpoint, data, static_cast<int>(length),
                                transferred, timeoutMs);
}

} // namespace

// ---- the process-wide libusb context ----------------------------------------

libusb_context* Quorbital_libusb_context() {
    return sLibusbContext.load();
}

aErr Quorbital_libusb_init() {
    // Two streams opened at once must not make two contexts.
    std::lock_guard<std::mutex> g(sLibusbLock);
    if (sLibusbContext.load() != nullptr) {
        return aErrNone;
    }
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        return aErrInitialization;
    }
    sLibusbContext = ctx;
    return aErrNone;
}

void Quorbital_libusb_exit() {
    std::lock_guard<std::mutex> g(sLibusbLock);
    libusb_context* ctx = sLibusbContext.exchange(nullptr);
    if (ctx != nullptr) {
        libusb_exit(ctx);
    }
}

// ---- module test and endpoints ----------------------------------------------

bool is_quorbital_device(libusb_device* device) {
    libusb_device_descriptor d;
    if (device == nullptr || libusb_get_device_descriptor(device, &d) != 0) {
        return false;
    }
    return d.idVendor == QUORBITAL_VENDOR_ID && (d.idProduct & 0x8000) == 0;
}

int find_usb_endpoints(qbusb_device* context) {
    if (context == nullptr || context->handle == nullptr) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    libusb_device* device = libusb_get_device(context->handle);
    libusb_device_descriptor d;
    int rc = libusb_get_device_descriptor(device, &d);
    if (rc != 0) {
        return rc;
    }
    libusb_config_descriptor* config = nullptr;
    rc = libusb_get_config_descriptor(device, 0, &config);
    if (rc != 0) {
        return rc;
    }
    bool haveIn = false;
    bool haveOut = false;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& s = itf.altsetting[a];
            if (s.bInterfaceClass != QBUSB_INTERFACE_CLASS ||
                s.bInterfaceSubClass != QBUSB_INTERFACE_SUBCLASS ||
                s.bInterfaceProtocol != QBUSB_INTERFACE_PROTOCOL) {
                continue;
            }
            context->interfaceNumber = s.bInterfaceNumber;
            for (int e = 0; e < s.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = s.endpoint[e];
                if ((ep.bmAttributes & 0x02) == 0) {
                    continue; // control or isochronous
                }
                if ((ep.bEndpointAddress & 0x80) != 0) {
                    context->inEndpoint = ep.bEndpointAddress;
                    haveIn = true;
                } else {
                    context->outEndpoint = ep.bEndpointAddress;
                    haveOut = true;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return haveIn && haveOut ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

// ---- device contexts ---------------------------------------------------------

bool qbusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[64];
    std::snprintf(path, sizeof path, "/dev/quorbital.%08X", serialNumber);
    return aFile_Exists(path);
}

qbusb_device* qbusb_create_usb(int mode) {
    auto* context = new (std::nothrow) qbusb_device{};
    if (context == nullptr) {
        return nullptr;
    }
    context->mode = mode;
    context->state = QBUSB_STATE_CREATED;
    context->receivePosition = 0;
    if (mode == QBUSB_MODE_LIBUSB && Quorbital_libusb_context() == nullptr) {
        // A failure shows when the open finds no context.
        (void)Quorbital_libusb_init();
    }
    return context;
}

aErr qbusb_destroy(qbusb_device** contextReference) {
    if (contextReference == nullptr || *contextReference == nullptr) {
        return aErrParam;
    }
    qbusb_device* context = *contextReference;
    if (context->handle != nullptr) {
        libusb_close(context->handle);
        context->handle = nullptr;
    }
    if (context->fd > 0) {
        close(context->fd);
        context->fd = 0;
    }
    context->state = 0;
    delete context;
    *contextReference = nullptr;
    return aErrNone;
}

// ---- dispatch -----------------------------------------------------------------

aErr qbusb_open_quorbital_device(qbusb_device* context, const char* serialText) {
    if (context == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    return sLibusbMode(context) ? qbusb_open_quorbital_USBlib_device(context, serialText)
                                : qbusb_open_quorbital_kernel_device(context, serialText);
}

aErr qbusb_write_to_device(qbusb_device* context, const uint8_t* data, uint64_t length) {
    if (context == nullptr || (data == nullptr && length > 0)) {
        return aErrParam;
    }
    return sLibusbMode(context) ? qbusb_write_to_USBlib_device(context, data, length)
                                : qbusb_write_to_kernel_device(context, data, length);
}

aErr qbusb_get_from_device(qbusb_device* context, uint8_t* byteOut) {
    if (context == nullptr || byteOut == nullptr) {
        return aErrParam;
    }
    return sLibusbMode(context) ? qbusb_get_from_USBlib_device(context, byteOut)
                                : qbusb_get_from_kernel_device(context, byteOut);
}

aErr qbusb_close_quorbital_device(qbusb_device* context) {
    if (context == nullptr) {
        return aErrParam;
    }
    return sLibusbMode(context) ? qbusb_close_quorbital_USBlib_device(context)
                                : qbusb_close_quorbital_kernel_device(context);
}

// ---- libusb mode --------------------------------------------------------------

aErr qbusb_open_quorbital_USBlib_device(qbusb_device* context, const char* serialText) {
    if (context == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    if (!sLibusbMode(context)) {
        return aErrMode;
    }
    if (context->state == 0) {
        return aErrResource;
    }
    libusb_context* ctx = Quorbital_libusb_context();
    if (ctx == nullptr) {
        return aErrInitialization; // libusb could not start
    }
    aErr result = aErrNotFound;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_quorbital_device(list[i])) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0) {
            continue;
        }
        libusb_device_descriptor d;
        unsigned char text[50] = {};
        // Exactly the eight upper-case digits: no other spelling matches.
        if (libusb_get_device_descriptor(list[i], &d) != 0 ||
            libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, text, sizeof text) < 0 ||
            std::strcmp(reinterpret_cast<const char*>(text), serialText) != 0) {
            libusb_close(handle);
            continue;
        }
        sCopySerial(context, serialText);
        context->handle = handle;
        context->state = QBUSB_STATE_FOUND;
        if (find_usb_endpoints(context) != 0) {
            context->state = QBUSB_STATE_CLOSED;
            libusb_close(handle);
            context->handle = nullptr;
            result = aErrConfiguration;
            break;
        }
        const int rc = libusb_claim_interface(handle, context->interfaceNumber);
        if (rc == 0) {
            context->state = QBUSB_STATE_OPEN;
            context->ioErrors = 0;
            result = aErrNone;
        } else {
            result = rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE ? aErrBusy
                     : rc == LIBUSB_ERROR_ACCESS                             ? aErrPermission
                                                                             : aErrUnknown;
            context->state = QBUSB_STATE_CLOSED;
            libusb_close(handle);
            context->handle = nullptr;
        }
        break; // the first matching module decides
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    return result;
}

aErr qbusb_write_to_USBlib_device(qbusb_device* context, const uint8_t* data, uint64_t length) {
    if (context == nullptr || (data == nullptr && length > 0)) {
        return aErrParam;
    }
    if (!sLibusbMode(context)) {
        return aErrMode;
    }
    const int state = context->state;
    if (state != QBUSB_STATE_OPEN) {
        return _handleErrorTolerance(context, sStateResult(state, "WRITE"));
    }
    aErr result = aErrNone;
    uint64_t done = 0;
    for (int attempt = 0; done < length && attempt < QBUSB_WRITE_ATTEMPTS; ++attempt) {
        const size_t chunk =
            static_cast<size_t>(std::min<uint64_t>(QBUSB_OUT_CHUNK, length - done));
        uint8_t buffer[QBUSB_OUT_CHUNK] = {};
        std::memcpy(buffer, data + done, chunk);
        int transferred = 0;
        int rc =
            sBulk(context, context->outEndpoint, buffer, chunk, &transferred, QBUSB_OUT_TIMEOUT_MS);
        if (rc == 0) {
            done += chunk;
            continue;
        }
        if (rc == LIBUSB_ERROR_PIPE) {
            // A stalled endpoint: clear it and send the same chunk again.
            const int cleared = libusb_clear_halt(context->handle, context->outEndpoint);
            if (cleared != 0) {
                aQuorbitalDebug(aQB_DEBUG_USB, "libusb WRITE error clearing halt: %d\n", cleared);
                result = aErrIO;
            }
            continue;
        }
        // Any other error: send at once what the failed transfer did not take.
        const size_t taken =
            static_cast<size_t>(std::clamp<int>(transferred, 0, static_cast<int>(chunk)));
        int more = 0;
        rc = sBulk(context, context->outEndpoint, buffer + taken, chunk - taken, &more,
                   QBUSB_OUT_TIMEOUT_MS);
        if (rc == 0) {
            done += chunk;
        } else {
            aQuorbitalDebug(aQB_DEBUG_USB, "libusb WRITE error bulk transfer: %d\n", rc);
            result = aErrIO;
        }
    }
    if (done < length) {
        result = aErrWrite;
    }
    return _handleErrorTolerance(context, result);
}

aErr qbusb_get_from_USBlib_device(qbusb_device* context, uint8_t* byteOut) {
    if (context == nullptr || byteOut == nullptr) {
        return aErrParam;
    }
    if (!sLibusbMode(context)) {
        return aErrMode;
    }
    aErr result = aErrNone;
    if (context->receiveCount <= 0) {
        const int state = context->state;
        if (state != QBUSB_STATE_OPEN) {
            return _handleErrorTolerance(context, sStateResult(state, "READ"));
        }
        int transferred = 0;
        const int rc = sBulk(context, context->inEndpoint, context->receiveBuffer, QBUSB_IN_SIZE,
                             &transferred, QBUSB_IN_TIMEOUT_MS);
        if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)) {
            context->receiveCount = std::clamp<int>(transferred, 0, QBUSB_IN_SIZE);
            context->receivePosition = 0;
        } else if (rc == LIBUSB_ERROR_TIMEOUT) {
            result = aErrNotReady;
        } else if (rc == LIBUSB_ERROR_PIPE) {
            libusb_clear_halt(context->handle, context->inEndpoint);
            result = aErrNotReady;
        } else {
            aQuorbitalDebug(aQB_DEBUG_USB, "libusb READ error bulk transfer: %d\n", rc);
            result = aErrIO;
        }
    }
    bool delivered = false;
    if (context->receiveCount > 0) {
        *byteOut = context->receiveBuffer[context->receivePosition++];
        --context->receiveCount;
        delivered = true;
    }
    result = _handleErrorTolerance(context, result);
    // Callers take aErrNone as a byte: an absorbed error, or a transfer that
    // brought nothing, is "nothing yet".
    if (result == aErrNone && !delivered) {
        result = aErrNotReady;
    }
    return result;
}

aErr qbusb_close_quorbital_USBlib_device(qbusb_device* context) {
    if (context == nullptr) {
        return aErrParam;
    }
    if (!sLibusbMode(context) || context->handle == nullptr) {
        return aErrMode;
    }
    (void)libusb_release_interface(context->handle, context->interfaceNumber);
    libusb_close(context->handle);
    context->handle = nullptr;
    context->state = QBUSB_STATE_CLOSED;
    context->interfaceNumber = 0;
    context->outEndpoint = 0;
    context->inEndpoint = 0;
    return aErrNone;
}

// ---- kernel-node mode -----------------------------------------------------------

aErr qbusb_open_quorbital_kernel_device(qbusb_device* context, const char* serialText) {
    if (context == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    if (sLibusbMode(context)) {
        return aErrMode;
    }
    sCopySerial(context, serialText);
    char path[64];
    sNodePath(context->serial, path, sizeof path);
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY ? aErrBusy : aErrIO;
    }
    if (fd == 0) {
        // Descriptor 0 means "not open" here: move it out of the way.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (moved < 0) {
            return aErrIO;
        }
        fd = moved;
    }
    context->fd = fd;
    return aErrNone;
}

aErr qbusb_write_to_kernel_device(qbusb_device* context, const uint8_t* data, uint64_t length) {
    if (context == nullptr || (data == nullptr && length > 0)) {
        return aErrParam;
    }
    if (sLibusbMode(context) || context->fd == 0) {
        return aErrMode;
    }
    uint64_t done = 0;
    for (int calls = 0; done < length && calls < QBUSB_KERNEL_WRITE_CALLS; ++calls) {
        const ssize_t n = write(context->fd, data + done, static_cast<size_t>(length - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return aErrIO;
        }
        done += static_cast<uint64_t>(n);
    }
    return done < length ? aErrIO : aErrNone;
}

aErr qbusb_get_from_kernel_device(qbusb_device* context, uint8_t* byteOut) {
    if (context == nullptr || byteOut == nullptr) {
        return aErrParam;
    }
    if (sLibusbMode(context) || context->fd == 0) {
        return aErrMode;
    }
    // A node may answer an idle read at once; wait for a byte a little first,
    // so that the link's reader, which reads again straight away, sleeps.
    struct pollfd ready = {context->fd, POLLIN, 0};
    const int polled = poll(&ready, 1, QBUSB_KERNEL_READ_WAIT_MS);
    if (polled == 0) {
        return aErrNotReady;
    }
    if (polled < 0) {
        return errno == EINTR ? aErrNotReady : aErrIO;
    }
    const ssize_t n = read(context->fd, byteOut, 1);
    if (n == 1) {
        return aErrNone;
    }
    if (n == 0) {
        // Readable yet nothing to read (the far end is gone for now): pause as
        // an idle wait would, rather than have the caller come straight back.
        usleep(QBUSB_KERNEL_READ_WAIT_MS * 1000);
        return aErrNotReady;
    }
    return errno == EFAULT || errno == EINTR ? aErrNotReady : aErrIO;
}

aErr qbusb_close_quorbital_kernel_device(qbusb_device* context) {
    if (context == nullptr) {
        return aErrParam;
    }
    if (sLibusbMode(context)) {
        return aErrMode;
    }
    if (context->fd <= 0) {
        return aErrNone;
    }
    if (close(context->fd) != 0) {
        return aErrCancel;
    }
    context->fd = 0;
    context->state = QBUSB_STATE_CLOSED;
    return aErrNone;
}
