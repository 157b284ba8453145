// Removes what a program made in the file system (device-node links,
// sandbox directories) when the program ends without doing it itself, as
// when it is killed: a small process of its own, started first, that is
// told what to remove and does so once the program's end has closed its
// pipe and the program is gone (its open files closed).
#ifndef QBSIM_HOST_JANITOR_H
#define QBSIM_HOST_JANITOR_H

#include <string>
#include <sys/types.h>

namespace qbsim::host {

class Janitor {
public:
    // Starts the janitor process; call it before any thread is started.
    // Throws std::system_error.
    Janitor();
    // Tells the janitor that the owner has cleaned up: it forgets all and ends.
    ~Janitor();
    Janitor(const Janitor&) = delete;
    Janitor& operator=(const Janitor&) = delete;

    // The symbolic link `path`, if it still points to `target` or to
    // nothing (a link to a pty of the dead owner, say).
    void removeLink(const std::string& path, const std::string& target);
    // The directory tree `path`; only directories directly under /tmp.
    void removeTree(const std::string& path);

    pid_t pid() const { return pid_; }

    // For tests: the janitor removes everything now, as it does when the
    // owner has died, and ends.
    void abandon();

private:
    void send(const std::string& record);
    int pipe_ = -1;
    pid_t pid_ = -1;
};

} // namespace qbsim::host

#endif
