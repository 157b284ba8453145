#include "Observe.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <net/if.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace netsim {

std::set<std::string> interfaces(const qbsim::netns::Namespace& ns) {
    std::set<std::string> names;
    ns.run([&] {
        struct if_nameindex* list = if_nameindex();
        for (auto* entry = list; entry && entry->if_index != 0; ++entry) {
            names.insert(entry->if_name);
        }
        if_freenameindex(list);
    });
    return names;
}

std::vector<pid_t> processesIn(ino_t inode) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        struct stat info {};
        const std::string link = "/proc/" + std::string(entry->d_name) + "/ns/net";
        if (pid > 0 && stat(link.c_str(), &info) == 0 && info.st_ino == inode) {
            found.push_back(pid);
        }
    }
    closedir(proc);
    return found;
}

bool onlyLoopbackWithin(const qbsim::netns::Namespace& ns, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (interfaces(ns) != std::set<std::string>{"lo"}) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool endsWithin(pid_t pid, std::chrono::milliseconds limit) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return errno == ESRCH;
    }
    pollfd entry{fd, POLLIN, 0};
    const bool ended = poll(&entry, 1, static_cast<int>(limit.count())) == 1;
    close(fd);
    return ended;
}

} // namespace netsim
