// kestrane-sim: runs a program against simulated modules.
//
//   kestrane-sim --tcp "serial=2181F0EE model=14" -- kestrane-updater -D -t TCP
//
// See usage() in SimHost.cpp for the options and exit codes.
//
// The command runs in a PID namespace of its own: whatever it leaves
// running ends with it, and all of it ends when kestrane-sim does, even when
// kestrane-sim is killed. kestrane-sim itself gets SIGTERM when the process
// that started it ends (a test that crashed), and cleans up as on SIGTERM.
#include "SimHost.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kSetupFailed = 125;
constexpr auto kGrace = std::chrono::seconds(5); // after a forwarded signal, before SIGKILL

int sFail(const std::string& message) {
    std::fprintf(stderr, "kestrane-sim: %s\n", message.c_str());
    return kSetupFailed;
}

} // namespace

int main(int argc, char** argv) {
    using namespace qbsim;

    host::Options options;
    try {
        options = host::parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrane-sim: %s\n%s", error.what(), host::usage());
        return kSetupFailed;
    }
    if (options.help) {
        std::fputs(host::usage(), stdout);
        return 0;
    }
    if (!netns::available()) {
        return sFail("needs root (network namespaces)");
    }

    // First, while this process has no other thread: what the session makes
    // in the file system goes even if we are killed.
    std::optional<host::Janitor> janitor;
    try {
        janitor.emplace();
    } catch (const std::exception& error) {
        return sFail(error.what());
    }

    // The signals are taken here, on the main thread, one at a time; every
    // thread started from now on inherits the mask. The command starts with
    // an empty mask.
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&handled, sig);
    }
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN); // a closed report pipe must not skip the clean-up
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        return sFail("started by a process that has already ended");
    }

    std::optional<host::Session> session;
    try {
        session.emplace(options.modules, host::modelPeerFactory(), &*janitor);
    } catch (const std::exception& error) {
        return sFail(error.what());
    }

    {
        std::ofstream file;
        if (!options.reportPath.empty()) {
            file.open(options.reportPath, std::ios::trunc);
            if (!file) {
                return sFail("cannot write " + options.reportPath);
            }
        }
        std::ostream& report = options.reportPath.empty() ? std::cout : file;
        for (const auto& line : session->report()) {
            report << line << '\n';
        }
        report.flush();
    }

    pid_t child = -1;
    if (!options.command.empty()) {
        try {
            child = host::startCommand(*session, options.command).release();
        } catch (const std::system_error& error) {
            std::fprintf(stderr, "kestrane-sim: cannot start %s: %s\n", options.command[0].c_str(),
                         std::strerror(error.code().value()));
            return error.code().value() == ENOENT ? 127 : 126;
        }
    }

    int exitCode = 0;
    const Steady::time_point never = Steady::time_point::max();
    Steady::time_point killAt = never; // when a forwarded signal has not worked
    for (;;) {
        // Reap whatever ended; the command's end ends the run.
        bool commandEnded = false;
        int status;
        pid_t done;
        while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
            if (done == child) {
                exitCode = netns::exitCode(status);
                commandEnded = true;
            }
        }
        if (commandEnded) {
            break;
        }

        siginfo_t info{};
        int sig;
        if (killAt != never) {
            const auto left = killAt - Steady::now();
            if (left <= Steady::duration::zero()) {
                kill(child, SIGKILL);
                killAt = never;
                continue;
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            sig = sigtimedwait(&handled, &info, &wait);
        } else {
            sig = sigwaitinfo(&handled, &info);
        }
        if (sig < 0 || sig == SIGCHLD) {
            continue;
        }
        if (child < 0) {
            break; // serving without a command: a signal ends it
        }
        if (killAt != never) {
            kill(child, SIGKILL); // asked twice
        } else {
            kill(child, sig);
            killAt = Steady::now() + kGrace;
        }
    }
    session.reset(); // modules, rigs and namespaces
    return exitCode;
}
