// The packet log: a byte ring holding records of what a link wrote and
// received, and text notes. A record is a direction byte, a length byte and
// that many bytes; a packet's record holds its address, length and data
// bytes. When a new record does not fit, the oldest records are dropped.
// The log has no lock of its own: its link guards it.
#ifndef QB_APACKETDEBUG_H
#define QB_APACKETDEBUG_H

#include "aError.h"

#include <cstdint>

// Record directions.
constexpr uint8_t aPACKETLOG_TO_MODULE = 1;
constexpr uint8_t aPACKETLOG_FROM_MODULE = 2;
constexpr uint8_t aPACKETLOG_NOTE = 3;

// Capacity in bytes when none is set, and the largest allowed.
constexpr int32_t aPACKETLOG_DEFAULT_SIZE = 65536;
constexpr int32_t aPACKETLOG_MAX_SIZE = 67108864;

struct aPacketLog;

// A new empty log of capacity bytes (aPACKETLOG_DEFAULT_SIZE for 0 or less);
// null above aPACKETLOG_MAX_SIZE or when memory is short.
aPacketLog* aPacketLog_Create(int32_t capacity);
// Adds a record, first dropping the oldest records until it fits.
// aErrOverrun (nothing dropped) when length + 2 is not below the capacity;
// aErrParam for a missing log, or missing bytes with a length above 0.
aErr aPacketLog_Add(aPacketLog* log, uint8_t direction, uint8_t length, const uint8_t* bytes);
// Takes the oldest record. *length holds the buffer's capacity on entry and
// the record's length on return. aErrNotFound when the log is empty,
// aErrOverrun (record kept) when the buffer is too small, aErrParam for a
// missing argument.
aErr aPacketLog_Read(aPacketLog* log, uint8_t* direction, uint32_t* length, uint8_t* buffer);
// Capacity in bytes; 0 for a missing log.
int32_t aPacketLog_Capacity(const aPacketLog* log);
// Frees the log and clears the caller's pointer; aErrParam without one.
aErr aPacketLog_Destroy(aPacketLog** log);

#endif
