// The command line as the tool understands it: the option table, the option
// scanner and the parameter record that main() dispatches on.
#ifndef UPDATER_PARAMETERS_H
#define UPDATER_PARAMETERS_H

#include "UpdaterDisplayInterface.h"

#include <cstdint>
#include <string>
#include <vector>

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,
    CMD_UPDATE = 0x00000002,
    CMD_LIST_BUILDS = 0x00000004,
    CMD_GET_BUILD = 0x00000008,
    CMD_INFO = 0x00000010,
    CMD_CHECK = 0x00000020,
    CMD_FINGERPRINT = 0x00000040,
    CMD_Z = 0x00000080,
    CMD_JWT = 0x00000100,
    CMD_LIST_LOCAL = 0x00000200,
    CMD_HELP = 0x80000000,
};

// Every command bit, including the reserved ones no option sets.
constexpr uint32_t CMD_ANY_COMMAND = 0x000307FF;

class CommandsClass {
public:
    void Set(uint32_t bit) { bits |= bit; }
    bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }
    uint32_t Get() const { return bits; }

private:
    uint32_t bits = 0;
};

// Transport codes of -t.
constexpr uint32_t TRANSPORT_INVALID = 0;
constexpr uint32_t TRANSPORT_USB = 1;
constexpr uint32_t TRANSPORT_TCPIP = 2;
constexpr uint32_t TRANSPORT_RECOVER = 255;

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    uint32_t transport = TRANSPORT_USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string historyMessage;
    std::string build;
    bool echo = false;
    std::string serverUrl;
    bool flagN = false;
    std::string storeDirectory;
    std::string appName;
    std::string logMode = "a+";
    std::string logFile = "Updater.log";
    bool override = false;
    uint32_t debugMask = 0;
    bool debugMaskGiven = false;
    bool helpRequested = false;
};

// Option table.
enum OptionId : int {
    OPT_END = -1,
    OPT_HELP = 0,
    OPT_COMMAND = 1,
    OPT_PARAMETER = 2,
};

enum OptionArgument : int {
    ARG_NONE = 0,
    ARG_SEPARATE = 1, // the next word, or the text after "="
};

struct OptionEntry {
    int id;
    const char* text;
    OptionArgument argument;
};

extern const OptionEntry g_rgOptions[30];

// Scanner error codes.
enum ScanError : int {
    SCAN_OK = 0,
    SCAN_UNRECOGNISED = 1,
    SCAN_AMBIGUOUS = 2,
    SCAN_MISSING_ARGUMENT = 3,
    SCAN_UNEXPECTED_ARGUMENT = 4,
};

struct ScannedOption {
    int error = SCAN_OK;
    int id = OPT_END;
    const char* option = nullptr; // the table's text, not the word as typed
    const char* argument = nullptr;
    const char* word = nullptr;
};

// Walks the command-line words one option at a time. Non-option words are
// moved behind the option words in argv.
class OptionScanner {
public:
    OptionScanner(int argc, char** argv, const OptionEntry* table);

    // Fills the next option; false when the words are exhausted.
    bool Next(ScannedOption& out);

private:
    int argc;
    char** argv;
    const OptionEntry* table;
    int index = 1;     // next word to examine
    int optionEnd = 1; // where the next option word goes in argv
};

// The first word's last path component.
std::string _app_name(const char* argv0);

unsigned long _get_hex_arg(const char* text, char** end);
unsigned long _get_int_arg(const char* text, char** end);

int _validate_params(Parameters& parameters);
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& parameters);

#endif
