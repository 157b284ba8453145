// Holds a simulated network until it is killed: namespaces, a module serving
// in them and a program started on the host side. Prints where they are so
// that a test can check that nothing survives the kill.
#include "Netns.h"
#include "ScriptedPeer.h"
#include "TcpModuleRig.h"

#include <cstdio>
#include <unistd.h>

int main() {
    qbsim::net::TcpModuleRig rig(std::make_unique<netsim::ScriptedPeer>());
    auto child = qbsim::netns::Process::spawn(&rig.host(), {"sleep", "600"});
    std::printf("%s %s %d\n", rig.host().path().c_str(), rig.device().path().c_str(),
                static_cast<int>(child.pid()));
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}
