#include "RunProgram.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace qbtest {

namespace {

void closeIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

} // namespace

std::string ToolPath() {
    return QB_TOOL;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
    ProgramResult result;
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    int inPipe[2] = {-1, -1};
    int master = -1;
    int slave = -1;
    if (pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(inPipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (options.terminal) {
        struct termios raw;
        cfmakeraw(&raw);
        if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
            return result;
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
    } else if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return result;
    }

    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], STDIN_FILENO);
        dup2(options.terminal ? slave : outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (const auto& [key, value] : options.environment) {
            setenv(key.c_str(), value.c_str(), 1);
        }
        for (const auto& key : options.unset) {
            unsetenv(key.c_str());
        }
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            _exit(126);
        }
        if (options.uid >= 0 && (setgid(static_cast<gid_t>(options.uid)) != 0 ||
                                 setuid(static_cast<uid_t>(options.uid)) != 0)) {
            _exit(126);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    closeIfOpen(inPipe[0]);
    closeIfOpen(errPipe[1]);
    closeIfOpen(outPipe[1]);
    closeIfOpen(slave);
    if (pid < 0) {
        closeIfOpen(inPipe[1]);
        closeIfOpen(errPipe[0]);
        closeIfOpen(outPipe[0]);
        closeIfOpen(master);
        return result;
    }

    if (!options.input.empty()) {
        ssize_t ignored = write(inPipe[1], options.input.data(), options.input.size());
        (void)ignored;
    }
    closeIfOpen(inPipe[1]);

    int outFd = options.terminal ? master : outPipe[0];
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    bool outOpen = true;
    bool errOpen = true;
    char buffer[4096];
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0},
                                {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        int n = poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(got));
            } else {
                // EOF, or EIO on a terminal whose last slave closed.
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    closeIfOpen(errPipe[0]);
    closeIfOpen(outPipe[0]);
    closeIfOpen(master);
    return result;
}

} // namespace qbtest
