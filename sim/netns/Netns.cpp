#include "Netns.h"
#include "Netlink.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <linux/nsfs.h>
#include <map>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qbsim::netns {

namespace {

[[noreturn]] void sThrow(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

int sOpenOwnNamespace() {
    const int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        sThrow(errno, "open /proc/thread-self/ns/net");
    }
    return fd;
}

// Runs fn on a fresh thread and hands back what it threw.
void sOnThread(const std::function<void()>& fn) {
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            fn();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

std::string sFindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

// Waits until the interface is operational: the kernel switches a link's
// queue on a moment after its carrier comes, and until then it drops what is
// sent (the first discovery request, say).
void sAwaitRunning(const std::string& name) {
    Netlink netlink;
    const int index = interfaceIndex(name);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (netlink.operState(index) != Netlink::kOperUp) {
        if (std::chrono::steady_clock::now() > end) {
            sThrow(ETIMEDOUT, name + " does not come up");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The first process of a PID namespace: starts the program, hands it the
// signals it gets, reaps every orphan and ends with the program's exit code
// (128 + signal when a signal ended it). Runs in a forked copy of a process
// that may have had threads: system calls only.
[[noreturn]] void sInit(const char* program, char* const* argv, char* const* envp, int report) {
    sigset_t relayed;
    sigemptyset(&relayed);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGCHLD}) {
        sigaddset(&relayed, sig);
    }
    // Blocked, they arrive although the first process of a PID namespace
    // ignores signals it has no handler for.
    sigprocmask(SIG_BLOCK, &relayed, nullptr);
    // Not fork(): this copy of the starter has none of the library's
    // bookkeeping for it, and fork() would wait for locks that the
    // starter's other threads held when it was copied.
    const pid_t child =
        static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr));
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(program, argv, envp);
        const int error = errno;
        (void)!write(report, &error, sizeof error);
        _exit(127);
    }
    close(report);
    if (child < 0) {
        _exit(126);
    }
    for (;;) {
        siginfo_t info;
        const int sig = sigwaitinfo(&relayed, &info);
        if (sig == SIGCHLD) {
            int status;
            pid_t done;
            while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
                if (done == child) {
                    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
                }
            }
        } else if (sig > 0) {
            kill(child, sig);
        }
    }
}

} // namespace

bool available() {
    return geteuid() == 0;
}

bool inTestNamespace() {
    // Only the interfaces tell: process 1's namespace cannot always be seen
    // (a sandbox may hide it), and a command run in a PID namespace of its
    // own has a process 1 of its own.
    struct if_nameindex* interfaces = if_nameindex();
    if (!interfaces) {
        return false;
    }
    bool ours = true;
    const size_t prefix = strlen(kInterfacePrefix);
    for (const struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
        if (strcmp(entry->if_name, "lo") != 0 &&
            strncmp(entry->if_name, kInterfacePrefix, prefix) != 0) {
            ours = false;
        }
    }
    if_freenameindex(interfaces);
    return ours;
}

// ---- Namespace ----

Namespace::Namespace(int fd) : fd_(fd) {
    struct stat info {};
    if (fstat(fd_, &info) == 0) {
        inode_ = info.st_ino;
    }
}

Namespace::Namespace(Namespace&& other) noexcept : fd_(other.fd_), inode_(other.inode_) {
    other.fd_ = -1;
    other.inode_ = 0;
}

Namespace& Namespace::operator=(Namespace&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = other.fd_;
        inode_ = other.inode_;
        other.fd_ = -1;
        other.inode_ = 0;
    }
    return *this;
}

Namespace::~Namespace() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

Namespace Namespace::create() {
    int fd = -1;
    // The thread that makes the namespace ends right after; only the
    // descriptor keeps it.
    sOnThread([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            sThrow(errno, "unshare(CLONE_NEWNET)");
        }
        fd = sOpenOwnNamespace();
        Netlink netlink;
        netlink.setUp(interfaceIndex("lo"));
    });
    return Namespace(fd);
}

Namespace Namespace::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        sThrow(errno, "open " + path);
    }
    if (ioctl(fd, NS_GET_NSTYPE) != CLONE_NEWNET) {
        close(fd);
        sThrow(EINVAL, path + " is not a network namespace");
    }
    return Namespace(fd);
}

Namespace Namespace::current() {
    return Namespace(sOpenOwnNamespace());
}

std::string Namespace::path() const {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
}

void Namespace::run(const std::function<void()>& fn) const {
    if (fd_ < 0) {
        throw std::logic_error("run in an empty namespace handle");
    }
    sOnThread([&] {
        if (setns(fd_, CLONE_NEWNET) != 0) {
            sThrow(errno, "setns");
        }
        fn();
    });
}

int Namespace::socket(int domain, int type, int protocol) const {
    int fd = -1;
    run([&] {
        fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
        if (fd < 0) {
            sThrow(errno, "socket");
        }
    });
    return fd;
}

// ---- Enter ----

Enter::Enter(const Namespace& ns) {
    saved_ = sOpenOwnNamespace();
    if (setns(ns.fd(), CLONE_NEWNET) != 0) {
        const int error = errno;
        close(saved_);
        sThrow(error, "setns");
    }
}

Enter::~Enter() {
    if (setns(saved_, CLONE_NEWNET) != 0) {
        // A thread left in a test namespace would send where it must not.
        std::terminate();
    }
    close(saved_);
}

// ---- Pair ----

Pair::Pair(PairConfig config) : config_(std::move(config)) {
    for (const auto* name : {&config_.hostInterface, &config_.deviceInterface}) {
        if (name->rfind(kInterfacePrefix, 0) != 0 || name->size() >= IF_NAMESIZE) {
            throw std::invalid_argument("interface name " + *name + " must begin with " +
                                        kInterfacePrefix + " and be short");
        }
    }
    host_ = Namespace::create();
    device_ = Namespace::create();
    const in_addr hostAddress = parseAddress(config_.hostAddress);
    std::vector<in_addr> deviceAddresses;
    for (const auto& text : config_.deviceAddresses) {
        deviceAddresses.push_back(parseAddress(text));
    }
    host_.run([&] {
        Netlink netlink;
        netlink.addVeth(config_.hostInterface, config_.deviceInterface, device_.fd());
        const int index = interfaceIndex(config_.hostInterface);
        netlink.addAddress(index, hostAddress, config_.prefixLength);
        netlink.setUp(index);
    });
    device_.run([&] {
        Netlink netlink;
        const int index = interfaceIndex(config_.deviceInterface);
        for (const auto& address : deviceAddresses) {
            netlink.addAddress(index, address, config_.prefixLength);
        }
        netlink.setUp(index);
    });
    host_.run([&] { sAwaitRunning(config_.hostInterface); });
    device_.run([&] { sAwaitRunning(config_.deviceInterface); });
}

void Pair::addDeviceAddress(const std::string& address) {
    const in_addr parsed = parseAddress(address);
    device_.run([&] {
        Netlink netlink;
        netlink.addAddress(interfaceIndex(config_.deviceInterface), parsed, config_.prefixLength);
    });
    config_.deviceAddresses.push_back(address);
}

// ---- Process ----

Process Process::spawn(const Namespace* ns, const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment, bool ownPids) {
    if (argv.empty()) {
        throw std::invalid_argument("spawn without a program");
    }
    const std::string program = sFindProgram(argv[0]);
    if (program.empty()) {
        sThrow(ENOENT, argv[0]);
    }

    // Everything the child needs is prepared before fork: after it, only
    // system calls.
    std::vector<std::string> env;
    std::map<std::string, size_t> slot;
    auto put = [&](const std::string& entry) {
        const std::string name = entry.substr(0, entry.find('='));
        auto found = slot.find(name);
        if (found != slot.end()) {
            env[found->second] = entry;
        } else {
            slot[name] = env.size();
            env.push_back(entry);
        }
    };
    for (char** entry = environ; entry && *entry; ++entry) {
        put(*entry);
    }
    for (const auto& entry : environment) {
        put(entry);
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : env) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        sThrow(errno, "pipe");
    }
    const pid_t parent = getpid();
    const int nsFd = ns ? ns->fd() : -1;
    // With its own PID namespace the child is that namespace's first process
    // ("init"): when it ends, the kernel ends everything else inside.
    const pid_t pid = ownPids ? static_cast<pid_t>(syscall(SYS_clone, SIGCHLD | CLONE_NEWPID,
                                                           nullptr, nullptr, nullptr, nullptr))
                              : fork();
    if (pid < 0) {
        const int error = errno;
        close(report[0]);
        close(report[1]);
        sThrow(error, "fork");
    }
    if (pid == 0) {
        close(report[0]);
        int error = 0;
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        // In a PID namespace of its own the parent is out of sight (0).
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || (!ownPids && getppid() != parent)) {
            _exit(125);
        }
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) {
            error = errno;
            (void)!write(report[1], &error, sizeof error);
            _exit(127);
        }
        if (ownPids) {
            // A /proc of the new PID namespace, in a mount namespace of its
            // own, so that /proc/self and /proc/<pid> agree with getpid()
            // inside (the sanitizers' leak check reads them).
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
                error = errno;
                (void)!write(report[1], &error, sizeof error);
                _exit(127);
            }
            sInit(program.c_str(), args.data(), envp.data(), report[1]);
        }
        execve(program.c_str(), args.data(), envp.data());
        error = errno;
        (void)!write(report[1], &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    Process process;
    process.pid_ = pid;
    if (got == static_cast<ssize_t>(sizeof error)) {
        process.wait();
        sThrow(error, "start " + program);
    }
    return process;
}

Process::Process(Process&& other) noexcept : pid_(other.pid_) {
    other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

void Process::kill(int signal) const {
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    if (timeout != std::chrono::milliseconds::max()) {
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            const auto limit = std::min<long long>(timeout.count(), INT_MAX);
            int ready;
            do {
                ready = poll(&entry, 1, static_cast<int>(limit));
            } while (ready < 0 && errno == EINTR);
            close(pidfd);
            if (ready == 0) {
                return -1;
            }
        }
    }
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid_, &status, 0);
    } while (done < 0 && errno == EINTR);
    pid_ = -1;
    return done < 0 ? -1 : status;
}

int exitCode(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return -1;
}

} // namespace qbsim::netns
