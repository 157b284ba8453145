// kestrane-sim's parts: its command line, and the session that puts
// simulated modules on their interfaces and prepares what a program run
// against them needs.
#ifndef QBSIM_HOST_SIM_HOST_H
#define QBSIM_HOST_SIM_HOST_H

#include "BytePeer.h"
#include "Janitor.h"
#include "Netns.h"
#include "ModelModules.h"
#include "TcpModuleRig.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qbsim::host {

enum class Kind { Tcp, Usb, Node, Serial };

const char* kindName(Kind kind);

struct ModuleRequest {
    Kind kind;
    std::string description;
};

struct Options {
    std::vector<ModuleRequest> modules;
    std::vector<std::string> command; // empty: serve until SIGINT or SIGTERM
    std::string reportPath;           // empty: standard output
    bool help = false;
};

// Throws std::invalid_argument with a message for the user.
Options parseArguments(const std::vector<std::string>& args);

const char* usage();

// A module made from its description.
struct MadePeer {
    std::unique_ptr<BytePeer> peer;
    uint8_t moduleAddress = 2; // its link address, announced by network discovery
};

// Makes a module from a description; throws std::invalid_argument with a
// message for the user when the description is wrong.
using PeerFactory = std::function<MadePeer(const std::string& description)>;

// The module model's own description parser.
PeerFactory modelPeerFactory();

// Everything started for one run. The constructor starts all modules or
// throws (std::exception with a message for the user) with nothing left
// running; the destructor stops and removes all of it.
//
// The network namespaces are always made, also without TCP/IP modules: the
// program under test runs on the host side and never sees the machine's own
// network.
class Session {
public:
    // With a janitor, what the session makes in the file system is also
    // removed when the process is killed.
    Session(const std::vector<ModuleRequest>& modules, const PeerFactory& factory,
            Janitor* janitor = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // One line per thing started, for scripts:
    //   host <address> <namespace path>
    //   tcp <SERIAL> <address> <port>
    //   usb <SERIAL>, node <SERIAL> <path>, serial <index> <path>
    const std::vector<std::string>& report() const { return report_; }

    // Variables ("NAME=value") the program under test needs on top of the
    // environment: KESTRANE_SIM_HOST, KESTRANE_SIM_NODE<n> and
    // KESTRANE_SIM_SERIAL<n> (paths, numbered from 0 in the order given),
    // and the USB emulation's preload when USB modules run.
    std::vector<std::string> childEnvironment() const;

    const netns::Namespace& hostNamespace() const { return tcp_->host(); }
    net::TcpModuleRig& network() { return *tcp_; }

private:
    struct Rigs; // the USB bus and the ptys, with the modules they drive

    void addTcp(const std::string& description, const PeerFactory& factory);
    void addUsb(const std::string& description, const PeerFactory& factory);
    void addNode(const std::string& description, const PeerFactory& factory);
    void addSerial(const std::string& description, const PeerFactory& factory);

    Janitor* janitor_;
    std::unique_ptr<net::TcpModuleRig> tcp_;
    std::unique_ptr<Rigs> rigs_;
    std::vector<std::string> report_;
    std::vector<std::string> environment_;
};

// Runs `command` on the host side of the session with its environment, in
// a PID namespace of its own, and returns the process (see netns::Process:
// it is killed with the calling thread, and whatever the command started
// ends with it).
netns::Process startCommand(const Session& session, const std::vector<std::string>& command);

} // namespace qbsim::host

#endif
