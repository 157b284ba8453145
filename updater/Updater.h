// The object through which the command line performs every device and
// server task. It holds no open link or store between operations.
#ifndef UPDATER_UPDATER_H
#define UPDATER_UPDATER_H

#include "UpdaterDisplayInterface.h"

#include <cstdint>
#include <string>

class Updater {
public:
    Updater(const std::string& serverUrl, const std::string& storeDirectory,
            UpdaterDisplayInterface& display);
    ~Updater();

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    const std::string& ServerUrl() const { return serverUrl; }
    const std::string& StoreDirectory() const { return storeDirectory; }
    UpdaterDisplayInterface& Display() { return display; }
    uint8_t RecoveryChip() const { return recoveryChip; }

private:
    std::string serverUrl;
    std::string storeDirectory;
    UpdaterDisplayInterface& display;
    uint8_t recoveryChip = 0; // 1 i.MX, 2 LPC: set by the fingerprint step
};

#endif
