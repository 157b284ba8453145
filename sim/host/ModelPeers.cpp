// Module descriptions are the module model's to parse.
#include "SimHost.h"

#include <stdexcept>

namespace qbsim::host {

PeerFactory modelPeerFactory() {
    return [](const std::string&) -> MadePeer {
        throw std::invalid_argument("this build has no module model to make modules from "
                                    "descriptions");
    };
}

} // namespace qbsim::host
