// The USB stream: a module attached by USB, opened by its serial number and
// read and written as an aStream. The family's kernel-driver node
// "/dev/quorbital.%08X" serves it when that node exists, libusb otherwise.
#ifndef QB_ASTREAMUSB_H
#define QB_ASTREAMUSB_H

#include "aStream.h"

#include <cstdint>

// Opens the module and stores a new stream in *streamOut (cleared first).
// aErrParam for a null output or a serial number of 0; aErrMemory when the
// context or the stream record cannot be allocated; aErrResource when the
// device context cannot be created; otherwise the open's result: aErrNotFound
// (no such module; its serial-number string must be exactly the eight
// upper-case digits), aErrConfiguration (transport interface without an IN
// or OUT endpoint), aErrBusy (claimed elsewhere), aErrPermission, aErrIO.
//
// A read delivers one byte (aErrNone) or answers aErrNotReady after the IN
// transfer's time-out (1000 ms) with nothing received; writes go out in
// transfers of at most 50 bytes. Up to four consecutive I/O errors are
// absorbed (a read then answers aErrNotReady, a write aErrNone); the fifth
// fails the stream, which answers aErrIO from then on.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** streamOut);

#endif
