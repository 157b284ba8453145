#include "ModelModules.h"

#include "ModuleDescription.h"
#include "ModuleModel.h"

#include <arpa/inet.h>
#include <cctype>
#include <stdexcept>

namespace qbsim::net {

namespace {

uint16_t sPort(const std::string& text) {
    size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || value == 0 || value > 65535 ||
        !std::isdigit(static_cast<unsigned char>(text[0]))) {
        throw std::invalid_argument("port=" + text + ": not a TCP port");
    }
    return static_cast<uint16_t>(value);
}

} // namespace

std::string takeWords(const std::string& description, const std::set<std::string>& keys,
                      std::map<std::string, std::string>& taken) {
    std::string rest = description;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i]))) {
            ++i;
        }
        // One word; brackets keep nested descriptions in one piece.
        const size_t start = i;
        int depth = 0;
        while (i < rest.size() &&
               (depth > 0 || !std::isspace(static_cast<unsigned char>(rest[i])))) {
            depth += rest[i] == '[' ? 1 : rest[i] == ']' ? -1 : 0;
            ++i;
        }
        const std::string word = rest.substr(start, i - start);
        const size_t equals = word.find('=');
        const std::string key = word.substr(0, equals);
        if (equals == std::string::npos || keys.count(key) == 0) {
            continue;
        }
        if (!taken.emplace(key, word.substr(equals + 1)).second) {
            throw std::invalid_argument(key + "= given twice");
        }
        rest.erase(start, i - start);
        i = start;
    }
    // Tidy the blanks the removed words leave.
    std::string tidy;
    for (char c : rest) {
        if (std::isspace(static_cast<unsigned char>(c)) &&
            (tidy.empty() || std::isspace(static_cast<unsigned char>(tidy.back())))) {
            continue;
        }
        tidy += c;
    }
    while (!tidy.empty() && std::isspace(static_cast<unsigned char>(tidy.back()))) {
        tidy.pop_back();
    }
    return tidy;
}

std::string takeNetworkKeys(const std::string& description, TcpModuleConfig& config) {
    std::map<std::string, std::string> taken;
    std::string rest = takeWords(description, {"ip", "port"}, taken);
    if (auto ip = taken.find("ip"); ip != taken.end()) {
        const std::string& address = ip->second;
        const uint32_t host = ntohl(netns::parseAddress(address).s_addr);
        if ((host >> 8) != 0xC00002 || (host & 0xFF) == 0 || (host & 0xFF) == 10 ||
            (host & 0xFF) == 255) {
            throw std::invalid_argument("ip=" + address +
                                        ": the device side uses 192.0.2.1 to 192.0.2.254 "
                                        "without 192.0.2.10");
        }
        config.address = address;
    }
    if (auto port = taken.find("port"); port != taken.end()) {
        config.port = sPort(port->second);
    }
    return rest;
}

TcpModule& addModel(TcpModuleRig& rig, const std::string& description) {
    TcpModuleConfig config;
    const std::string own = takeNetworkKeys(description, config);
    DescriptionResult parsed = parseModuleDescription(own);
    if (!parsed) {
        throw std::invalid_argument(parsed.error);
    }
    config.moduleAddress = parsed.config.address;
    return rig.add(std::make_unique<ModuleModel>(parsed.config), config);
}

TcpModuleRig modelRig(const std::string& description) {
    TcpModuleRig rig;
    addModel(rig, description);
    return rig;
}

} // namespace qbsim::net
