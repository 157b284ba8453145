// Simulated TCP/IP modules made by the module model from their one-line
// descriptions (sim/model/ModuleDescription.h). On the network a
// description may also carry "ip=A.B.C.D" (the module's own address on the
// device side, 192.0.2.1 to 192.0.2.254 but not the host's 192.0.2.10) and
// "port=N" (its packet service, default 9000).
//
//   auto rig = qbsim::net::modelRig("serial=40F5849A model=14 address=6");
//   qbsim::netns::Enter inHost(rig.host());
#ifndef QBSIM_NET_MODEL_MODULES_H
#define QBSIM_NET_MODEL_MODULES_H

#include "TcpModuleRig.h"

#include <map>
#include <set>
#include <string>

namespace qbsim::net {

// Takes the words "key=value" whose keys are in `keys` out of a description
// into `taken` and returns the rest. Words inside brackets (nested
// descriptions) stay. Throws std::invalid_argument for a key given twice.
std::string takeWords(const std::string& description, const std::set<std::string>& keys,
                      std::map<std::string, std::string>& taken);

// Takes "ip=" and "port=" out of a description into `config` and returns
// the rest, the module's own. Throws std::invalid_argument for a wrong
// address or port.
std::string takeNetworkKeys(const std::string& description, TcpModuleConfig& config);

// Adds a module model to the rig; its module address is the one announced
// in discovery replies. Throws std::invalid_argument for a wrong
// description, std::system_error when it cannot serve.
TcpModule& addModel(TcpModuleRig& rig, const std::string& description);

// A rig with one module model: a module on the network in one line.
TcpModuleRig modelRig(const std::string& description);

} // namespace qbsim::net

#endif
