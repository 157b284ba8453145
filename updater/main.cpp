// kestrane-updater: keeps the firmware of Quorbital modules up to date.
#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "path.h"
#include "usage.h"

#include "aDirectory.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kNotice = "Quorbital module firmware maintenance for Linux.";

constexpr size_t kHomeBuffer = 2048;
constexpr mode_t kStoreDirectoryMode = 0755;

using Level = UpdaterDisplayInterface::Level;

void notice(UpdaterDisplayInterface& display) {
    display.message(Level::Info, "%s", kNotice);
}

// A command whose operation this build does not carry ends the run with an
// error; it never reports success.
int notBuilt(UpdaterDisplayInterface& display, const char* what) {
    display.message(Level::Error, "%s is not available in this build of %s", what, kUsageAppName);
    return 1;
}

// Resolves and creates the storage directory; empty on failure.
bool prepareStoreDirectory(UpdaterDisplayInterface& display, Parameters& params) {
    std::string base = params.storeDirectory;
    if (base.empty()) {
        char home[kHomeBuffer];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        base = BuildPath(home, ".kestrane");
    }
    std::string directory = BuildPath(base, "updater");
    if (aDirectory_Ensure(directory.c_str(), kStoreDirectoryMode) != aErrNone) {
        display.message(Level::Error, "Could not find updater directory at %s", directory.c_str());
        return false;
    }
    params.storeDirectory = directory;
    return true;
}

// Runs -B, -L or -J after checking that a device was named.
int needsSerial(UpdaterDisplayInterface& display, const Parameters& params, const char* error) {
    if (params.serialNumber == 0) {
        display.message(Level::Error, "%s", error);
        _usage(false, false);
        return 1;
    }
    return 0;
}

int run(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, params) != 0) {
        _display_app_version(display);
        notice(display);
        _usage(false, false);
        return 1;
    }

    _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
        notice(display);
        _usage(params.debugMaskGiven, params.helpRequested);
        return 0;
    }

    if (!prepareStoreDirectory(display, params)) {
        return 1;
    }

    Updater updater(params.serverUrl, params.storeDirectory, display);
    int pendingStatus = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(Level::Error, "Must specify the serial port used for connecting");
            return 1;
        }
        pendingStatus = notBuilt(display, "Chip fingerprint (-N)");
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.serialNumber == 0) {
            display.message(Level::Error, "-G must specify a specific device via -d");
            display.message(Level::Error, "--help for usage information");
            return 1;
        }
        display.message(Level::Info, "Retrieving firmware for device with serial number %08X",
                        params.serialNumber);
        if (params.build.empty()) {
            display.message(Level::Info, "No build specified");
            display.message(Level::Info, "Using Latest build");
        } else {
            display.message(Level::Info, "Retrieving firmware build %s", params.build.c_str());
        }
        pendingStatus = notBuilt(display, "Firmware download (-G)");
    }

    if (params.commands.IsSet(CMD_DISCOVER)) {
        uint32_t linkType = 0;
        if (params.transportGiven && params.transport != TRANSPORT_RECOVER) {
            linkType = params.transport;
        }
        if (params.routerSerialNumber != 0) {
            display.message(Level::Info,
                            "Searching for Quorbital Network devices connected to %08X",
                            params.routerSerialNumber);
            return notBuilt(display, "Router network discovery (-D -r)");
        }
        display.message(Level::Info, "Searching for Quorbital devices");
        if (linkType == 0) {
            linkType = TRANSPORT_USB;
        }
        return notBuilt(display, "Device discovery (-D)");
    }

    if (params.commands.IsSet(CMD_UPDATE)) {
        if (params.transport == TRANSPORT_RECOVER) {
            return notBuilt(display, "Recovery (-U -t RECOVER)");
        }
        if (params.serialNumber == 0) {
            display.message(Level::Error, "Must specify the specific device to be updated");
            return 1;
        }
        return notBuilt(display, "Firmware update (-U)");
    }

    if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (needsSerial(display, params,
                        "Error must supply a serial number for the List Builds command") != 0) {
            return 1;
        }
        return notBuilt(display, "Server build list (-B)");
    }

    if (params.commands.IsSet(CMD_LIST_LOCAL)) {
        if (needsSerial(display, params,
                        "Error must supply a serial number for the List Local Builds command") !=
            0) {
            return 1;
        }
        return notBuilt(display, "Local build list (-L)");
    }

    if (params.commands.IsSet(CMD_JWT)) {
        if (needsSerial(display, params,
                        "Error must supply a serial number for the Get JWT command") != 0) {
            return 1;
        }
        return notBuilt(display, "Device token (-J)");
    }

    return pendingStatus;
}

} // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
