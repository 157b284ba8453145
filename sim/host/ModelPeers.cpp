// Modules made from their one-line descriptions by the module model.
#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "SimHost.h"

#include <stdexcept>

namespace qbsim::host {

PeerFactory modelPeerFactory() {
    return [](const std::string& description) {
        DescriptionResult parsed = parseModuleDescription(description);
        if (!parsed) {
            throw std::invalid_argument(parsed.error);
        }
        MadePeer made;
        made.moduleAddress = parsed.config.address;
        made.peer = std::make_unique<ModuleModel>(parsed.config);
        return made;
    };
}

} // namespace qbsim::host
