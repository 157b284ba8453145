#include "SimHost.h"

#include "PtyRig.h"
#ifdef QBSIM_HAVE_USB
#include "UsbTestbed.h"
#endif

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <map>
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
           "  --usb DESC     a USB module on an emulated bus (umockdev)\n"
           "  --node DESC    a module behind the kernel driver's node /dev/quorbital.SERIAL\n"
           "  --serial DESC  a module on a serial port (a pseudo-terminal); DESC may also\n"
           "                 hold rate=N (bits per second) or rate=port (the rate the\n"
           "                 client sets) to pace the line\n"
           "DESC is a module description, e.g. \"serial=2181F0EE model=14 address=6\".\n"
           "\n"
           "  --report FILE  write what was started to FILE instead of standard output:\n"
           "                 host ADDRESS NETNS, tcp SERIAL ADDRESS PORT, usb SERIAL,\n"
           "                 node SERIAL PATH, serial N PATH (one line each)\n"
           "  -h, --help     this text\n"
           "\n"
           "COMMAND runs in the host-side network namespace (192.0.2.10), never in the\n"
           "machine's own network, and in a PID namespace of its own, with\n"
           "KESTRANE_SIM_HOST, KESTRANE_SIM_NODE<n>, KESTRANE_SIM_SERIAL<n> (n from 0 in\n"
           "the order given) and, for USB modules, the umockdev preload in its\n"
           "environment. kestrane-sim exits with COMMAND's status (128 + signal when it\n"
           "was killed), 125 when it could not set up, 126 or 127 when COMMAND could not\n"
           "be started. Everything it made is removed when it ends, also on SIGINT and\n"
           "SIGTERM, when its parent ends, and when it is killed.\n";
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

// Declared in the order of their construction: the rigs go before the
// modules they drive.
struct Session::Rigs {
    std::vector<std::unique_ptr<BytePeer>> peers; // for the ptys
#ifdef QBSIM_HAVE_USB
    std::unique_ptr<usb::Testbed> usb;
#endif
    std::vector<std::unique_ptr<pty::NodeRig>> nodes;
    std::vector<std::unique_ptr<pty::SerialRig>> serials;
};

Session::Session(const std::vector<ModuleRequest>& modules, const PeerFactory& factory,
                 Janitor* janitor)
    : janitor_(janitor), rigs_(std::make_unique<Rigs>()) {
    tcp_ = std::make_unique<net::TcpModuleRig>();
    report_.push_back("host " + tcp_->hostAddress() + " " + tcp_->host().path());
    environment_.push_back("KESTRANE_SIM_HOST=" + tcp_->hostAddress());

    for (const auto& request : modules) {
        try {
            switch (request.kind) {
            case Kind::Tcp:
                addTcp(request.description, factory);
                break;
            case Kind::Usb:
                addUsb(request.description, factory);
                break;
            case Kind::Node:
                addNode(request.description, factory);
                break;
            case Kind::Serial:
                addSerial(request.description, factory);
                break;
            }
        } catch (const std::exception& error) {
            throw std::runtime_error("--" + std::string(kindName(request.kind)) + " \"" +
                                     request.description + "\": " + error.what());
        }
    }
}

Session::~Session() {
    rigs_.reset();
    tcp_.reset();
}

void Session::addTcp(const std::string& description, const PeerFactory& factory) {
    net::TcpModuleConfig config;
    MadePeer made = factory(net::takeNetworkKeys(description, config));
    config.moduleAddress = made.moduleAddress;
    const uint32_t serial = made.peer->identity().serialNumber;
    net::TcpModule& module = tcp_->add(std::move(made.peer), config);
    report_.push_back("tcp " + sSerial(serial) + " " + module.config().address + " " +
                      std::to_string(module.config().port));
}

void Session::addUsb(const std::string& description, const PeerFactory& factory) {
#ifdef QBSIM_HAVE_USB
    MadePeer made = factory(description);
    const uint32_t serial = made.peer->identity().serialNumber;
    if (!rigs_->usb) {
        rigs_->usb = std::make_unique<usb::Testbed>();
        if (janitor_) {
            janitor_->removeTree(rigs_->usb->rootDir());
        }
        const auto preload = rigs_->usb->childEnvironment();
        environment_.insert(environment_.end(), preload.begin(), preload.end());
    }
    rigs_->usb->addModule(std::move(made.peer));
    report_.push_back("usb " + sSerial(serial));
#else
    (void)description;
    (void)factory;
    throw std::runtime_error("this build has no USB emulation (umockdev was not found)");
#endif
}

void Session::addNode(const std::string& description, const PeerFactory& factory) {
    MadePeer made = factory(description);
    BytePeer& peer = *made.peer;
    // Once the rig runs, only its thread may call the peer.
    const uint32_t serial = peer.identity().serialNumber;
    rigs_->peers.push_back(std::move(made.peer));
    auto rig = std::make_unique<pty::NodeRig>(peer);
    const std::string path = rig->linkPath();
    if (janitor_) {
        janitor_->removeLink(path, rig->slavePath());
    }
    environment_.push_back("KESTRANE_SIM_NODE" + std::to_string(rigs_->nodes.size()) + "=" + path);
    report_.push_back("node " + sSerial(serial) + " " + path);
    rigs_->nodes.push_back(std::move(rig));
}

void Session::addSerial(const std::string& description, const PeerFactory& factory) {
    std::map<std::string, std::string> taken;
    const std::string own = net::takeWords(description, {"rate"}, taken);
    pty::SerialRig::Options options;
    if (auto rate = taken.find("rate"); rate != taken.end()) {
        if (rate->second == "port") {
            options.pacing = pty::Pacing::PortRate;
        } else {
            size_t used = 0;
            unsigned long bits = 0;
            try {
                bits = std::stoul(rate->second, &used, 10);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != rate->second.size() || bits == 0 || bits > 10000000 ||
                !std::isdigit(static_cast<unsigned char>(rate->second[0]))) {
                throw std::invalid_argument("rate=" + rate->second +
                                            ": a bit rate, or port for the port's own");
            }
            options.pacing = pty::Pacing::Fixed;
            options.bitsPerSecond = static_cast<unsigned>(bits);
        }
    }
    MadePeer made = factory(own);
    BytePeer& peer = *made.peer;
    rigs_->peers.push_back(std::move(made.peer));
    auto rig = std::make_unique<pty::SerialRig>(peer, options);
    const std::string index = std::to_string(rigs_->serials.size());
    environment_.push_back("KESTRANE_SIM_SERIAL" + index + "=" + rig->portPath());
    report_.push_back("serial " + index + " " + rig->portPath());
    rigs_->serials.push_back(std::move(rig));
}

std::vector<std::string> Session::childEnvironment() const {
    return environment_;
}

netns::Process startCommand(const Session& session, const std::vector<std::string>& command) {
    return netns::Process::spawn(&session.hostNamespace(), command, session.childEnvironment(),
                                 true);
}

} // namespace qbsim::host
