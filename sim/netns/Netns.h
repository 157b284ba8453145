// Network namespaces for simulated TCP/IP modules.
//
// A Namespace is held by a descriptor of this process only: no holder process,
// no name under /run/netns. When the last descriptor, socket or thread inside
// it is gone, the kernel removes the namespace with every interface in it, so
// nothing is left behind even when the process is killed.
//
// A Pair is two such namespaces joined by a veth pair: the "host side" (where
// the tool runs) and the "device side" (where the modules answer), each with
// TEST-NET addresses and its links and loopback up. Nothing here ever touches
// the machine's own namespace.
//
// All of it needs CAP_SYS_ADMIN and CAP_NET_ADMIN (root).
#ifndef QBSIM_NETNS_H
#define QBSIM_NETNS_H

#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qbsim::netns {

// Whether this process may make namespaces (tests skip themselves otherwise).
bool available();

// Whether the calling thread runs in a namespace this harness made: one that
// holds nothing but loopback and interfaces whose names begin with
// kInterfacePrefix. Programs that send to the network refuse to run
// anywhere else, so that nothing reaches the machine's own.
bool inTestNamespace();

inline constexpr const char* kInterfacePrefix = "qb";

// Parses a dotted IPv4 address; throws std::invalid_argument.
in_addr parseAddress(const std::string& text);

class Namespace {
public:
    // A new, empty namespace with its loopback up. Throws std::system_error.
    static Namespace create();

    // A further handle on an existing namespace: a path such as
    // /proc/<pid>/ns/net or another handle's path(). Throws std::system_error.
    static Namespace open(const std::string& path);

    // A handle on the calling thread's own namespace.
    static Namespace current();

    Namespace() = default;
    Namespace(Namespace&& other) noexcept;
    Namespace& operator=(Namespace&& other) noexcept;
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;
    ~Namespace();

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // The namespace's inode number, as /proc/<pid>/ns/net shows it.
    ino_t inode() const { return inode_; }

    // A path naming the namespace while this process lives, for
    // `nsenter --net=PATH` or `ip -n PATH`.
    std::string path() const;

    // Runs fn on a thread that has entered the namespace and waits for it.
    // Sockets made there stay in the namespace wherever they are used later;
    // threads started there start inside it too. Exceptions thrown by fn are
    // rethrown to the caller.
    void run(const std::function<void()>& fn) const;

    // A socket made inside the namespace (SOCK_CLOEXEC is added).
    int socket(int domain, int type, int protocol) const;

private:
    explicit Namespace(int fd);
    int fd_ = -1;
    ino_t inode_ = 0;
};

// Puts the calling thread into a namespace for its lifetime and back where it
// was afterwards.
class Enter {
public:
    explicit Enter(const Namespace& ns);
    ~Enter();
    Enter(const Enter&) = delete;
    Enter& operator=(const Enter&) = delete;

private:
    int saved_ = -1;
};

// Interface names must begin with kInterfacePrefix.
struct PairConfig {
    std::string hostInterface = "qbhost0";
    std::string deviceInterface = "qbdev0";
    std::string hostAddress = "192.0.2.10";
    std::vector<std::string> deviceAddresses = {"192.0.2.20"};
    int prefixLength = 24;
};

// Two namespaces joined by a veth pair, both ends addressed and up.
class Pair {
public:
    explicit Pair(PairConfig config = {});
    Pair(Pair&&) noexcept = default;
    Pair& operator=(Pair&&) noexcept = default;

    const Namespace& host() const { return host_; }
    const Namespace& device() const { return device_; }
    const PairConfig& config() const { return config_; }
    const std::string& hostAddress() const { return config_.hostAddress; }
    const std::string& deviceAddress(size_t index = 0) const {
        return config_.deviceAddresses.at(index);
    }

    // One more address on the device side (another module's own source).
    void addDeviceAddress(const std::string& address);

private:
    PairConfig config_;
    Namespace host_;
    Namespace device_;
};

// A program started inside a namespace. It is killed (SIGKILL) when the
// thread that started it ends, so that it never outlives a crashed test or
// host program; start it from a thread that lives as long as it should. The
// destructor kills it and reaps it if it still runs.
class Process {
public:
    // argv[0] is looked up in PATH. `environment` entries ("NAME=value")
    // are set on top of this process's environment. With `ns` null the
    // program stays in the caller's namespace. It starts with no signal
    // blocked and SIGPIPE at its default. Throws std::system_error when the
    // program cannot be started (ENOENT when it is not found).
    //
    // With `ownPids` the program runs under a small first process of a PID
    // namespace of its own, which passes signals on to it and ends with its
    // exit code (128 + signal when a signal ended it). When that process
    // ends, or is killed, the kernel ends everything the program started:
    // nothing it leaves running survives. It sees a /proc of its own (in a
    // mount namespace of its own; the file systems are the same).
    static Process spawn(const Namespace* ns, const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {}, bool ownPids = false);

    Process() = default;
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

    // Sends a signal while the process runs.
    void kill(int signal) const;

    // Waits for the end; returns the wait status, or -1 on timeout (the
    // process then keeps running).
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

    // Gives up the process: the caller reaps it from now on.
    pid_t release() {
        const pid_t pid = pid_;
        pid_ = -1;
        return pid;
    }

private:
    pid_t pid_ = -1;
};

// The exit code a shell would show for a wait status (128 + signal).
int exitCode(int waitStatus);

} // namespace qbsim::netns

#endif
