#include "Parameters.h"

#include "Log.h"
#include "ServerDefaults.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const OptionEntry g_rgOptions[30] = {
    {OPT_COMMAND, "-B", ARG_NONE},        {OPT_COMMAND, "-L", ARG_NONE},
    {OPT_COMMAND, "-D", ARG_NONE},        {OPT_COMMAND, "-G", ARG_NONE},
    {OPT_COMMAND, "-I", ARG_NONE},        {OPT_COMMAND, "-U", ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", ARG_NONE}, {OPT_COMMAND, "-N", ARG_NONE},
    {OPT_COMMAND, "-Y", ARG_NONE},        {OPT_COMMAND, "-C", ARG_NONE},
    {OPT_COMMAND, "-J", ARG_NONE},        {OPT_HELP, "-h", ARG_NONE},
    {OPT_HELP, "-H", ARG_NONE},           {OPT_PARAMETER, "-n", ARG_NONE},
    {OPT_PARAMETER, "-X", ARG_SEPARATE},  {OPT_PARAMETER, "-Z", ARG_SEPARATE},
    {OPT_PARAMETER, "-i", ARG_SEPARATE},  {OPT_PARAMETER, "-b", ARG_SEPARATE},
    {OPT_PARAMETER, "-d", ARG_SEPARATE},  {OPT_PARAMETER, "-t", ARG_SEPARATE},
    {OPT_PARAMETER, "-f", ARG_SEPARATE},  {OPT_PARAMETER, "-r", ARG_SEPARATE},
    {OPT_PARAMETER, "-s", ARG_SEPARATE},  {OPT_PARAMETER, "-o", ARG_SEPARATE},
    {OPT_PARAMETER, "-e", ARG_SEPARATE},  {OPT_PARAMETER, "-l", ARG_SEPARATE},
    {OPT_PARAMETER, "-k", ARG_SEPARATE},  {OPT_PARAMETER, "-u", ARG_SEPARATE},
    {OPT_HELP, "--help", ARG_NONE},       {OPT_END, nullptr, ARG_NONE},
};

namespace {

size_t leadingHyphens(const char* text, size_t length) {
    size_t n = 0;
    while (n < length && text[n] == '-') {
        ++n;
    }
    return n;
}

// Finds the entry for the first `length` characters of `word`: an exact
// match, else the one entry the word is a proper prefix of.
int lookup(const OptionEntry* table, const char* word, size_t length, const OptionEntry** found) {
    *found = nullptr;
    size_t hyphens = leadingHyphens(word, length);
    const OptionEntry* candidate = nullptr;
    int candidates = 0;
    for (const OptionEntry* e = table; e->id != OPT_END; ++e) {
        size_t entryLength = strlen(e->text);
        if (leadingHyphens(e->text, entryLength) != hyphens) {
            continue;
        }
        if (entryLength == length && memcmp(e->text, word, length) == 0) {
            *found = e;
            return SCAN_OK;
        }
        if (length < entryLength && memcmp(e->text, word, length) == 0) {
            candidate = e;
            ++candidates;
        }
    }
    if (candidates == 1) {
        *found = candidate;
        return SCAN_OK;
    }
    return candidates == 0 ? SCAN_UNRECOGNISED : SCAN_AMBIGUOUS;
}

bool isOptionWord(const char* word) {
    return word != nullptr && word[0] == '-';
}

unsigned long convert(const char* text, char** end, const char* digits, int base) {
    if (text == nullptr || end == nullptr) {
        return 0;
    }
    if (text[strspn(text, digits)] != '\0') {
        return 0;
    }
    errno = 0;
    unsigned long value = strtoul(text, end, base);
    if (errno == ERANGE) {
        return 0;
    }
    return value;
}

// Reads a serial number for -d and -r: "0x" or "0X" is dropped, the rest must
// be hexadecimal digits naming a non-zero 32-bit number. Returns 0 otherwise.
uint32_t parseSerial(const char*& text, const char* prefixNote) {
    if ((text[0] == '0') && (text[1] == 'x' || text[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", prefixNote);
        text += 2;
    }
    char* end = nullptr;
    unsigned long value = _get_hex_arg(text, &end);
    if (value > 0xFFFFFFFFul) {
        return 0; // more than 32 bits cannot name a device
    }
    return static_cast<uint32_t>(value);
}

} // namespace

OptionScanner::OptionScanner(int count, char** words, const OptionEntry* options)
    : argc(count), argv(words), table(options) {}

bool OptionScanner::Next(ScannedOption& out) {
    out = ScannedOption{};
    // Skip plain words; each is moved behind the option words seen so far.
    while (index < argc && !isOptionWord(argv[index])) {
        ++index;
    }
    if (index >= argc) {
        return false;
    }

    // Bring the option word (and the argument it may take) forward, keeping
    // the skipped plain words in their order behind it.
    auto moveForward = [this](int from) {
        char* word = argv[from];
        for (int i = from; i > optionEnd; --i) {
            argv[i] = argv[i - 1];
        }
        argv[optionEnd++] = word;
    };
    moveForward(index);
    ++index;

    const char* word = argv[optionEnd - 1];
    out.word = word;
    const char* equals = strchr(word, '=');
    size_t length = equals != nullptr ? static_cast<size_t>(equals - word) : strlen(word);
    const char* attached = equals != nullptr ? equals + 1 : nullptr;

    const OptionEntry* entry = nullptr;
    out.error = lookup(table, word, length, &entry);
    if (out.error != SCAN_OK) {
        return true;
    }
    out.id = entry->id;
    out.option = entry->text;

    if (entry->argument == ARG_SEPARATE) {
        if (attached != nullptr) {
            out.argument = attached;
        } else if (index < argc && !isOptionWord(argv[index])) {
            moveForward(index);
            ++index;
            out.argument = argv[optionEnd - 1];
        } else {
            out.error = SCAN_MISSING_ARGUMENT;
        }
    } else if (attached != nullptr) {
        out.error = SCAN_UNEXPECTED_ARGUMENT;
    }
    return true;
}

std::string _app_name(const char* argv0) {
    if (argv0 == nullptr) {
        return std::string();
    }
    const char* name = argv0;
    for (const char* p = argv0; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    return std::string(name);
}

unsigned long _get_hex_arg(const char* text, char** end) {
    return convert(text, end, "0123456789ABCDEFabcdef", 16);
}

unsigned long _get_int_arg(const char* text, char** end) {
    return convert(text, end, "0123456789", 10);
}

int _validate_params(Parameters&) {
    return 0;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& p) {
    p = Parameters{};
    p.serverUrl = kDefaultServerUrl;
    p.appName = _app_name(argc > 0 ? argv[0] : nullptr);

    bool failed = false;
    OptionScanner scanner(argc, argv, g_rgOptions);
    ScannedOption opt;
    while (scanner.Next(opt)) {
        if (opt.error != SCAN_OK) {
            continue;
        }
        if (opt.id == OPT_HELP) {
            p.commands.Set(CMD_HELP);
            p.helpRequested = true;
            return 0;
        }
        const char* arg = opt.argument;
        if (opt.id == OPT_COMMAND) {
            switch (opt.option[1]) {
            case 'B':
                p.commands.Set(CMD_LIST_BUILDS);
                break;
            case 'C':
                p.commands.Set(CMD_CHECK);
                break;
            case 'D':
                p.commands.Set(CMD_DISCOVER);
                break;
            case 'G':
                p.commands.Set(CMD_GET_BUILD);
                break;
            case 'I':
                p.commands.Set(CMD_INFO);
                break;
            case 'J':
                p.commands.Set(CMD_JWT);
                break;
            case 'L':
                p.commands.Set(CMD_LIST_LOCAL);
                break;
            case 'N':
                p.commands.Set(CMD_FINGERPRINT);
                break;
            case 'U':
                p.commands.Set(CMD_UPDATE);
                break;
            case 'O':
                p.override = true;
                break;
            default:
                display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]",
                                opt.option);
                failed = true;
                break;
            }
            continue;
        }

        // Parameters.
        switch (opt.option[1]) {
        case 'X': {
            p.debugMaskGiven = true;
            char* end = nullptr;
            errno = 0;
            unsigned long mask = 0;
            if (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) {
                mask = strtoul(arg, &end, 16);
            } else {
                mask = strtoul(arg, &end, 10);
            }
            p.debugMask = static_cast<uint32_t>(mask);
            if (end != nullptr && *end != '\0') {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                                opt.option, end);
            } else {
                Log::ActivatePackage(p.debugMask);
            }
            break;
        }
        case 'Z':
            p.commands.Set(CMD_Z);
            break;
        case 'i':
            p.storeDirectory = arg;
            break;
        case 'f':
            p.birdFile = arg;
            break;
        case 's':
            p.serialPort = arg;
            break;
        case 'l':
            p.historyMessage = arg;
            break;
        case 'k':
            p.logFile = arg;
            break;
        case 'u':
            p.serverUrl = arg;
            break;
        case 'b': {
            char* end = nullptr;
            p.build = std::to_string(_get_int_arg(arg, &end));
            break;
        }
        case 'o': {
            char* end = nullptr;
            p.baudRate = static_cast<uint32_t>(_get_int_arg(arg, &end));
            break;
        }
        case 'd': {
            const char* text = arg;
            p.serialNumber = parseSerial(text, "Discarding '0x' serial number prefix\n");
            if (p.serialNumber == 0) {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid serial number obtained from argument [%s]", text);
                failed = true;
            }
            break;
        }
        case 'r': {
            const char* text = arg;
            p.routerSerialNumber =
                parseSerial(text, "Discarding '0x' router serial number prefix\n");
            if (p.routerSerialNumber == 0) {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid router serial number obtained from argument [%s]", text);
                failed = true;
            }
            break;
        }
        case 't':
            p.transportGiven = true;
            if (strncmp(arg, "USB", 3) == 0) {
                p.transport = TRANSPORT_USB;
            } else if (strncmp(arg, "TCP", 3) == 0) {
                p.transport = TRANSPORT_TCPIP;
            } else if (strncmp(arg, "RECOVER", 7) == 0) {
                p.transport = TRANSPORT_RECOVER;
            } else {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, "
                                "TCPIP, RECOVER",
                                arg);
                p.transport = TRANSPORT_INVALID;
                failed = true;
            }
            break;
        case 'e':
            p.echo = true;
            break;
        case 'n':
            p.flagN = true;
            break;
        default:
            break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p.appName.c_str());
    for (int i = 1; i < argc; ++i) {
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);
    }
    return failed ? 1 : _validate_params(p);
}
