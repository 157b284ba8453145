#include "SimHost.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace qbsim::host {

namespace {

std::string sSerial(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

uint16_t sPort(const std::string& text) {
    size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || value == 0 || value > 65535 ||
        !std::isdigit(static_cast<unsigned char>(text[0]))) {
        throw std::invalid_argument("port=" + text + ": not a TCP port");
    }
    return static_cast<uint16_t>(value);
}

} // namespace

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::Tcp:
        return "tcp";
    case Kind::Usb:
        return "usb";
    case Kind::Node:
        return "node";
    case Kind::Serial:
        return "serial";
    }
    return "?";
}

const char* usage() {
    return "Usage: kestrane-sim [MODULE...] [--report FILE] [-- COMMAND [ARG...]]\n"
           "\n"
           "Puts simulated modules on their interfaces and runs COMMAND against them;\n"
           "without COMMAND it serves them until SIGINT or SIGTERM.\n"
           "\n"
           "Modules (each option may be given several times):\n"
           "  --tcp DESC     a TCP/IP module, on the device side of a veth pair; DESC may\n"
           "                 also hold ip=192.0.2.N (default 192.0.2.20 onwards) and\n"
           "                 port=N (default 9000)\n"
           "  --usb DESC     a USB module (umockdev)\n"
           "  --node DESC    a module behind the kernel driver's node /dev/quorbital.SERIAL\n"
           "  --serial DESC  a device on a serial port (pseudo-terminal)\n"
           "DESC is a module description, e.g. \"serial=2181F0EE model=14\".\n"
           "\n"
           "  --report FILE  write what was started to FILE instead of standard output\n"
           "  -h, --help     this text\n"
           "\n"
           "COMMAND runs in the host-side network namespace (192.0.2.10), never in the\n"
           "machine's own network, with KESTRANE_SIM_HOST, KESTRANE_SIM_SERIAL<n> and, for\n"
           "USB modules, the umockdev preload in its environment. kestrane-sim exits with\n"
           "COMMAND's status (128 + signal when it was killed), 125 when it could not set\n"
           "up, 126 or 127 when COMMAND could not be started. Everything it made is\n"
           "removed when it ends, also on SIGINT and SIGTERM.\n";
}

Options parseArguments(const std::vector<std::string>& args) {
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            options.command.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            if (options.command.empty()) {
                throw std::invalid_argument("no command after --");
            }
            break;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        // --name VALUE or --name=VALUE
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        if (const size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != arg.npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        static const std::pair<const char*, Kind> kinds[] = {{"--tcp", Kind::Tcp},
                                                             {"--usb", Kind::Usb},
                                                             {"--node", Kind::Node},
                                                             {"--serial", Kind::Serial}};
        bool known = false;
        auto takeValue = [&] {
            if (!hasValue) {
                if (i + 1 >= args.size()) {
                    throw std::invalid_argument(name + " needs a value");
                }
                value = args[++i];
            }
        };
        for (const auto& [option, kind] : kinds) {
            if (name == option) {
                takeValue();
                options.modules.push_back({kind, value});
                known = true;
            }
        }
        if (!known && name == "--report") {
            takeValue();
            if (value.empty()) {
                throw std::invalid_argument("--report needs a file");
            }
            options.reportPath = value;
            known = true;
        }
        if (!known) {
            throw std::invalid_argument("unknown argument: " + arg);
        }
    }
    return options;
}

std::string takeNetworkKeys(const std::string& description, net::TcpModuleConfig& config) {
    std::string rest = description;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i]))) {
            ++i;
        }
        // One word; brackets keep nested descriptions in one piece.
        const size_t start = i;
        int depth = 0;
        while (i < rest.size() &&
               (depth > 0 || !std::isspace(static_cast<unsigned char>(rest[i])))) {
            depth += rest[i] == '[' ? 1 : rest[i] == ']' ? -1 : 0;
            ++i;
        }
        const std::string word = rest.substr(start, i - start);
        if (word.rfind("ip=", 0) == 0) {
            const std::string address = word.substr(3);
            const in_addr parsed = netns::parseAddress(address);
            const uint32_t host = ntohl(parsed.s_addr);
            if ((host >> 8) != 0xC00002 || (host & 0xFF) == 0 || (host & 0xFF) == 10 ||
                (host & 0xFF) == 255) {
                throw std::invalid_argument("ip=" + address +
                                            ": the device side uses 192.0.2.1 to 192.0.2.254 "
                                            "without 192.0.2.10");
            }
            config.address = address;
        } else if (word.rfind("port=", 0) == 0) {
            config.port = sPort(word.substr(5));
        } else {
            continue;
        }
        rest.erase(start, i - start);
        i = start;
    }
    // Tidy the blanks the removed words leave.
    std::string tidy;
    for (char c : rest) {
        if (std::isspace(static_cast<unsigned char>(c)) &&
            (tidy.empty() || std::isspace(static_cast<unsigned char>(tidy.back())))) {
            continue;
        }
        tidy += c;
    }
    while (!tidy.empty() && std::isspace(static_cast<unsigned char>(tidy.back()))) {
        tidy.pop_back();
    }
    return tidy;
}

Session::Session(const std::vector<ModuleRequest>& modules, const PeerFactory& factory,
                 Janitor* janitor)
    : janitor_(janitor) {
    tcp_ = std::make_unique<net::TcpModuleRig>();
    report_.push_back("host " + tcp_->hostAddress() + " " + tcp_->host().path());
    environment_.push_back("KESTRANE_SIM_HOST=" + tcp_->hostAddress());

    for (const auto& request : modules) {
        const std::string kind = kindName(request.kind);
        try {
            switch (request.kind) {
            case Kind::Tcp: {
                net::TcpModuleConfig config;
                const std::string description = takeNetworkKeys(request.description, config);
                MadePeer made = factory(description);
                config.moduleAddress = made.moduleAddress;
                const uint32_t serial = made.peer->identity().serialNumber;
                net::TcpModule& module = tcp_->add(std::move(made.peer), config);
                report_.push_back("tcp " + sSerial(serial) + " " + module.config().address + " " +
                                  std::to_string(module.config().port));
                break;
            }
            case Kind::Usb:
            case Kind::Node:
            case Kind::Serial:
                throw std::runtime_error("this build has no " + kind + " rig");
            }
        } catch (const std::exception& error) {
            throw std::runtime_error("--" + kind + " \"" + request.description +
                                     "\": " + error.what());
        }
    }
}

Session::~Session() = default;

std::vector<std::string> Session::childEnvironment() const {
    return environment_;
}

netns::Process startCommand(const Session& session, const std::vector<std::string>& command) {
    return netns::Process::spawn(&session.hostNamespace(), command, session.childEnvironment(),
                                 true);
}

} // namespace qbsim::host
