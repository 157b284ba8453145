#include "Janitor.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace qbsim::host {

namespace {

// Records on the pipe, one a line:
//   L <path> <tab> <target>   remove the link if it still points there
//   T <path>                  remove the directory tree
//   D                         the owner has cleaned up: forget everything
//   A                         clean up now (tests)

int sRemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

bool sSafeTree(const std::string& path) {
    // "/tmp/<name>" and nothing else: no deeper path, no way up.
    if (path.rfind("/tmp/", 0) != 0 || path.size() <= 5) {
        return false;
    }
    const std::string name = path.substr(5);
    return name.find('/') == std::string::npos && name != "." && name != "..";
}

void sClean(const std::vector<std::string>& records) {
    for (const auto& record : records) {
        if (record.size() < 3) {
            continue;
        }
        const std::string body = record.substr(2);
        if (record[0] == 'L') {
            const size_t tab = body.find('\t');
            if (tab == std::string::npos) {
                continue;
            }
            const std::string path = body.substr(0, tab);
            const std::string target = body.substr(tab + 1);
            char actual[PATH_MAX];
            const ssize_t length = readlink(path.c_str(), actual, sizeof actual - 1);
            struct stat pointee {};
            if (length >= 0 && (std::string(actual, static_cast<size_t>(length)) == target ||
                                stat(path.c_str(), &pointee) != 0)) {
                unlink(path.c_str());
            }
        } else if (record[0] == 'T' && sSafeTree(body)) {
            struct stat info {};
            if (lstat(body.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
                nftw(body.c_str(), sRemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
            }
        }
    }
}

// Waits (a while at most) until the owner has ended, so that the files it
// held open (the ptys that node links point to) are closed.
void sAwaitOwner(int ownerFd) {
    if (ownerFd >= 0) {
        pollfd entry{ownerFd, POLLIN, 0};
        while (poll(&entry, 1, 2000) < 0 && errno == EINTR) {
        }
    }
}

[[noreturn]] void sServe(int in, int ownerFd) {
    // Out of the way of the terminal's and the owner's signals, and of
    // anyone waiting for the owner's output to end.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        signal(sig, SIG_IGN);
    }
    const int null = open("/dev/null", O_RDWR);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        dup2(null, fd);
    }
    std::vector<std::string> records;
    std::string line;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            if (line == "D") {
                _exit(0);
            }
            if (line == "A") {
                sClean(records);
                _exit(0);
            }
            records.push_back(line);
            line.clear();
        }
    }
    sAwaitOwner(ownerFd);
    sClean(records);
    _exit(0);
}

} // namespace

Janitor::Janitor() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    // A handle on ourselves, which the janitor polls for our end.
    const int self = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    pid_ = fork();
    if (pid_ < 0) {
        const int error = errno;
        if (self >= 0) {
            close(self);
        }
        close(fds[0]);
        close(fds[1]);
        throw std::system_error(error, std::generic_category(), "fork");
    }
    if (pid_ == 0) {
        close(fds[1]);
        sServe(fds[0], self);
    }
    if (self >= 0) {
        close(self);
    }
    close(fds[0]);
    pipe_ = fds[1];
}

Janitor::~Janitor() {
    if (pipe_ >= 0) {
        send("D");
        close(pipe_);
        pipe_ = -1;
    }
    if (pid_ > 0) {
        waitpid(pid_, nullptr, 0);
    }
}

void Janitor::send(const std::string& record) {
    if (record.find('\n') != std::string::npos) {
        throw std::invalid_argument("a path with a line break");
    }
    const std::string line = record + "\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t sent = write(pipe_, line.data() + done, line.size() - done);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            throw std::system_error(errno, std::generic_category(), "janitor");
        }
        done += static_cast<size_t>(sent);
    }
}

void Janitor::removeLink(const std::string& path, const std::string& target) {
    if (target.find('\t') != std::string::npos || path.find('\t') != std::string::npos) {
        throw std::invalid_argument("a path with a tab");
    }
    send("L " + path + "\t" + target);
}

void Janitor::removeTree(const std::string& path) {
    if (!sSafeTree(path)) {
        throw std::invalid_argument("the janitor removes only directories directly under /tmp: " +
                                    path);
    }
    send("T " + path);
}

void Janitor::abandon() {
    if (pipe_ >= 0) {
        send("A");
        close(pipe_);
        pipe_ = -1;
    }
    if (pid_ > 0) {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

} // namespace qbsim::host
