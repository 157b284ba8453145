// The console display, with standard output on a pseudo-terminal and on a pipe.
#include "CLI_Display.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Captured {
    std::string out;
    std::string err;
};

// Runs `body` in a child whose standard output is a terminal (or a pipe) and
// whose standard error is a pipe; returns what each received.
Captured capture(bool terminal, const std::function<void(CLI_Display&)>& body) {
    int master = -1, slave = -1, outPipe[2] = {-1, -1}, errPipe[2];
    if (terminal) {
        struct termios raw;
        cfmakeraw(&raw);
        EXPECT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    } else {
        EXPECT_EQ(pipe(outPipe), 0);
    }
    EXPECT_EQ(pipe(errPipe), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(terminal ? slave : outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        CLI_Display display;
        body(display);
        _exit(0);
    }
    int outFd = terminal ? master : outPipe[0];
    close(terminal ? slave : outPipe[1]);
    close(errPipe[1]);
    Captured c;
    bool open[2] = {true, true};
    char buffer[1024];
    while (open[0] || open[1]) {
        struct pollfd fds[2] = {{open[0] ? outFd : -1, POLLIN, 0},
                                {open[1] ? errPipe[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, 5000) <= 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? c.out : c.err).append(buffer, static_cast<size_t>(n));
            } else {
                open[i] = false;
            }
        }
    }
    waitpid(pid, nullptr, 0);
    close(outFd);
    close(errPipe[0]);
    return c;
}

void drawEverything(CLI_Display& d) {
    d.info_message("info");
    d.update_progress(0.5);
    d.update_spinner(true, "Downloading");
    d.update_spinner(false, "Downloading");
    d.display_progress(true);
    d.display_progress(false);
    d.error_message("error");
}

const std::string kClear = "\r" + std::string(88, ' ') + "\r";

TEST(Display, NothingIsDrawnWhenOutputIsNotATerminal) {
    Captured c = capture(false, drawEverything);
    EXPECT_EQ(c.out, "info\n");
    EXPECT_EQ(c.err, "error\n");
}

TEST(Display, ProgressAndSpinnerOnATerminal) {
    Captured c = capture(true, drawEverything);
    std::string bar = "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) ";
    EXPECT_EQ(c.out, "info\n" + bar + "\r (Downloading) .      \r" + kClear + kClear);
    EXPECT_EQ(c.err, "error\n");
}

TEST(Display, ProgressGeometry) {
    struct Case {
        double fraction;
        const char* label;
        std::string text;
    };
    const Case cases[] = {
        {1.0, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
        {0.0, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {0.999, nullptr, "\r[" + std::string(68, '=') + ">] ( 99% ) "},
        {0.5, "lbl",
         "\r (lbl) [" + std::string(31, '=') + ">" + std::string(30, ' ') + "] ( 50% ) "},
        {1.5, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
    };
    for (const Case& k : cases) {
        Captured c = capture(true, [&](CLI_Display& d) { d.update_progress(k.fraction, k.label); });
        EXPECT_EQ(c.out, k.text) << k.fraction;
    }
    // A label too long for any bar leaves only the arrow.
    std::string label(70, 'L');
    Captured c = capture(true, [&](CLI_Display& d) { d.update_progress(0.5, label.c_str()); });
    EXPECT_EQ(c.out, "\r (" + label + ") [> ] ( 50% ) ");
}

TEST(Display, SpinnerCyclesThroughEightFrames) {
    Captured c = capture(true, [](CLI_Display& d) {
        for (int i = 0; i < 9; ++i) {
            d.update_spinner(true, i == 8 ? nullptr : "x");
        }
    });
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    std::string want;
    for (const char* f : frames) {
        want += std::string("\r (x) ") + f + "      \r";
    }
    want += "\r .      \r";
    EXPECT_EQ(c.out, want);
}

TEST(Display, MutedMessagesAndLongMessages) {
    Captured c = capture(true, [](CLI_Display& d) {
        d.mute_messages(true);
        d.message(UpdaterDisplayInterface::Info, "hidden %d", 1);
        d.message(UpdaterDisplayInterface::Error, "hidden %d", 2);
        d.update_spinner(true, nullptr); // drawing is not muted
        d.mute_messages(false);
        d.message(UpdaterDisplayInterface::Error, "shown %s", "now");
        d.message(static_cast<UpdaterDisplayInterface::Level>(7), "%s",
                  std::string(3000, 'a').c_str());
    });
    EXPECT_EQ(c.out, "\r .      \r" + std::string(2047, 'a') + "\n");
    EXPECT_EQ(c.err, "shown now\n");
}

TEST(Display, VersionLine) {
    Captured c = capture(false, [](CLI_Display& d) { _display_app_version(d); });
    EXPECT_EQ(c.out, "Updater (Version: 2.10.8 Sep 13 2024)\n");
}

} // namespace
