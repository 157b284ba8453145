// Usage texts, written straight to the standard error stream.
#ifndef UPDATER_USAGE_H
#define UPDATER_USAGE_H

constexpr const char* kUsageAppName = "Updater";

// The short usage; with full, the parameters, commands and samples too, and
// with full and extended also the extended parameters and commands.
void _usage(bool extended, bool full);

#endif
