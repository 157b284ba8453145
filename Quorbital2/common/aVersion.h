// Packed firmware versions, and the library's own version and features.
//
// A module reports its firmware version as one 32-bit value in one of two
// layouts:
//   legacy:  bits 31..28 major, 27..24 minor, 23..0 patch
//   current: bits 31..24 the marker 0x2F, 23..16 major, 15..8 minor, 7..0 patch
// A value is legacy when its top two nibbles, read as major.minor, come before
// 2.15; the marker reads as 2.15, so a current value is never taken for legacy.
#ifndef QB_AVERSION_H
#define QB_AVERSION_H

#include "aError.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t aVERSION_MARKER = 0x2F;

// The library's own version.
constexpr uint8_t aVERSION_MAJOR = 2;
constexpr uint8_t aVERSION_MINOR = 10;
constexpr uint8_t aVERSION_PATCH = 8;

// Current layout when major > 2 or major 2 with minor > 14; otherwise the
// legacy layout with minor cut to 4 bits and patch to 8 bits.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// "major.minor.patch" into the buffer (cut to size); returns what snprintf returns.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();
// "2.10.8", built once into a process-wide buffer; constant, never freed.
const char* aVersion_GetString();

// Whether version 1 is at or above version 2 (major, then minor, then patch).
bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2);
// Whether the library's own version is at or above the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// Whether name is one of the library's features ("VERSION").
bool aVersion_HasFeature(const char* name);
// A new text, one line per feature: "NAME - description", lines separated by
// a newline. Null when memory is short. Free it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();
// Frees the list and clears the caller's pointer; aErrParam without one.
aErr aVersion_DestroyFeatureList(char** list);

#endif
