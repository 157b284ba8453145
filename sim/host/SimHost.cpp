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
                const std::string description = net::takeNetworkKeys(request.description, config);
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
