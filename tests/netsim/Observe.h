// Looks at namespaces and processes from outside, for the clean-up checks.
#ifndef NETSIM_OBSERVE_H
#define NETSIM_OBSERVE_H

#include "Netns.h"

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace netsim {

std::set<std::string> interfaces(const qbsim::netns::Namespace& ns);

// Processes whose network namespace has this inode.
std::vector<pid_t> processesIn(ino_t inode);

// Waits until the namespace has nothing but loopback left: a veth pair goes
// when the namespace at its other end is gone.
bool onlyLoopbackWithin(const qbsim::netns::Namespace& ns, std::chrono::milliseconds limit);

// Waits for a process (not necessarily our child) to end.
bool endsWithin(pid_t pid, std::chrono::milliseconds limit);

} // namespace netsim

#endif
