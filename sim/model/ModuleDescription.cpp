#include "ModuleDescription.h"

#include "ModuleModel.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <vector>

namespace qbsim {

namespace {

struct ParseError {
    std::string text;
};

[[noreturn]] void sFail(const std::string& text) {
    throw ParseError{text};
}

// Splits at `separator` (blank means any run of white space) outside [...].
std::vector<std::string> sSplit(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    int depth = 0;
    bool any = false;
    auto flush = [&] {
        if (separator != ' ' || !current.empty()) {
            parts.push_back(current);
        }
        current.clear();
    };
    for (char c : text) {
        any = true;
        const bool blank = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (depth == 0 && ((separator == ' ' && blank) || c == separator)) {
            flush();
            continue;
        }
        if (c == '[') {
            ++depth;
        } else if (c == ']') {
            if (--depth < 0) {
                sFail("unbalanced ']'");
            }
        }
        current += c;
    }
    if (depth != 0) {
        sFail("unbalanced '['");
    }
    if (any) {
        flush();
    }
    return parts;
}

std::string sTrim(const std::string& text) {
    size_t from = 0;
    size_t to = text.size();
    while (from < to && std::isspace(static_cast<unsigned char>(text[from]))) {
        ++from;
    }
    while (to > from && std::isspace(static_cast<unsigned char>(text[to - 1]))) {
        --to;
    }
    return text.substr(from, to - from);
}

uint64_t sNumber(const std::string& text, const std::string& what, uint64_t max, int base = 0) {
    std::string digits = text;
    if (base == 0) {
        base = 10;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            base = 16;
            digits = digits.substr(2);
        }
    } else if (base == 16 && digits.size() > 2 && digits[0] == '0' &&
               (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    uint64_t value = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
    if (digits.empty() || ec != std::errc() || ptr != end) {
        sFail(what + ": not a number: '" + text + "'");
    }
    if (value > max) {
        sFail(what + ": out of range: '" + text + "'");
    }
    return value;
}

uint32_t sVersion(const std::string& text, const std::string& what) {
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
        return uint32_t(sNumber(text, what, 0xFFFFFFFF));
    }
    const std::vector<std::string> parts = sSplit(text, '.');
    if (parts.size() != 3) {
        sFail(what + ": expected MAJOR.MINOR.PATCH: '" + text + "'");
    }
    const auto major = uint32_t(sNumber(parts[0], what, 255, 10));
    const auto minor = uint32_t(sNumber(parts[1], what, 255, 10));
    const auto patch = uint32_t(sNumber(parts[2], what, 0xFFFFFF, 10));
    const auto packed = packVersion(major, minor, patch);
    if (!packed) {
        sFail(what + ": cannot be packed: '" + text + "'");
    }
    return *packed;
}

std::chrono::milliseconds sMillis(const std::string& text, const std::string& what) {
    return std::chrono::milliseconds(sNumber(text, what, 24ull * 3600 * 1000));
}

// "[@K][*N|*]" after a fault's other arguments.
FaultCount sCount(std::string& text, const std::string& what, FaultCount count) {
    const size_t star = text.find('*');
    if (star != std::string::npos) {
        const std::string n = text.substr(star + 1);
        count.times = n.empty() ? 0 : uint32_t(sNumber(n, what, 0xFFFFFFFF));
        if (!n.empty() && count.times == 0) {
            sFail(what + ": *0 would never strike");
        }
        text.erase(star);
    }
    const size_t at = text.find('@');
    if (at != std::string::npos) {
        const auto k = uint32_t(sNumber(text.substr(at + 1), what, 0xFFFFFFFF));
        if (k == 0) {
            sFail(what + ": occasions count from @1");
        }
        count.skip = k - 1;
        text.erase(at);
    }
    return count;
}

RequestMatch sMatch(const std::string& text, const std::string& what) {
    RequestMatch match;
    if (text == "any") {
        return match;
    }
    if (text == "sync") {
        match.kind = RequestMatch::Kind::Sync;
        return match;
    }
    match.kind = RequestMatch::Kind::Command;
    const size_t dot = text.find('.');
    match.command = uint8_t(sNumber(text.substr(0, dot), what, 255));
    if (dot != std::string::npos) {
        match.sub = uint8_t(sNumber(text.substr(dot + 1), what, 255));
    }
    return match;
}

void sFault(const std::string& item, Faults& faults) {
    std::string text = item;
    const std::string what = "fault '" + item + "'";
    const size_t colon = text.find(':');
    std::string name = text.substr(0, colon);
    std::string args = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    // A count may follow the name directly (badsum@2) or the arguments.
    std::string& counted = colon == std::string::npos ? name : args;
    if (name == "drop") {
        DropReplyFault fault;
        fault.count = sCount(counted, what, FaultCount{});
        if (args.empty()) {
            sFail(what + ": drop needs a request, e.g. drop:95.2");
        }
        fault.match = sMatch(args, what);
        faults.dropReplies.push_back(fault);
        return;
    }
    if (name == "delay") {
        DelayReplyFault fault;
        fault.count = sCount(counted, what, FaultCount{0, 0});
        const size_t second = args.find(':');
        fault.delay = sMillis(args.substr(0, second), what);
        if (second != std::string::npos) {
            fault.match = sMatch(args.substr(second + 1), what);
        }
        faults.delayReplies.push_back(fault);
        return;
    }
    if (name == "truncate") {
        TruncateReplyFault fault;
        fault.count = sCount(counted, what, FaultCount{});
        const size_t second = args.find(':');
        if (second == std::string::npos) {
            sFail(what + ": truncate needs a length and a request, e.g. truncate:5:95.0");
        }
        fault.length = uint8_t(sNumber(args.substr(0, second), what, 28));
        fault.match = sMatch(args.substr(second + 1), what);
        faults.truncateReplies.push_back(fault);
        return;
    }
    if (name == "noack" && args.empty()) {
        faults.ignoreI2CProbe = true;
        return;
    }
    if (name == "noreturn" && args.empty()) {
        faults.neverReturnAfterReboot = true;
        return;
    }
    if (name == "cut") {
        faults.disconnectAfterBytes = sNumber(args, what, UINT64_MAX);
        if (*faults.disconnectAfterBytes == 0) {
            sFail(what + ": cut needs at least one byte");
        }
        return;
    }
    const FaultCount count = sCount(name, what, FaultCount{});
    if (!args.empty()) {
        sFail(what + ": takes no arguments");
    }
    if (name == "badcount") {
        faults.wrongDataCount = count;
    } else if (name == "badsum") {
        faults.wrongSum = count;
    } else if (name == "refuse") {
        faults.refusePrepare = count;
    } else {
        sFail("unknown fault '" + item + "'");
    }
}

ModuleConfig sParse(const std::string& text, bool nested, bool keepUnknown,
                    std::map<std::string, std::string>& extras) {
    ModuleConfig config;
    std::set<std::string> seen;
    bool haveSerial = false;
    std::vector<std::string> downstream;
    for (const std::string& word : sSplit(text, ' ')) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            sFail("expected key=value: '" + word + "'");
        }
        const std::string key = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        if (!seen.insert(key).second) {
            sFail("'" + key + "' given twice");
        }
        if (value.empty()) {
            sFail("'" + key + "' has no value");
        }
        if (key == "serial") {
            config.serialNumber = uint32_t(sNumber(value, key, 0xFFFFFFFF, 16));
            haveSerial = true;
        } else if (key == "model") {
            config.model = uint8_t(sNumber(value, key, 255));
        } else if (key == "address") {
            config.address = uint8_t(sNumber(value, key, 254));
        } else if (key == "router") {
            config.routerAddress = uint8_t(sNumber(value, key, 255));
        } else if (key == "version") {
            config.version = sVersion(value, key);
        } else if (key == "build") {
            config.build = uint32_t(sNumber(value, key, 0xFFFFFFFF));
        } else if (key == "personality") {
            if (value == "module") {
                config.personality = Personality::Module;
            } else if (value == "router") {
                config.personality = Personality::Router;
            } else if (value == "loader") {
                config.personality = Personality::Loader;
            } else {
                sFail("personality: module, router or loader, not '" + value + "'");
            }
        } else if (key == "downstream") {
            if (nested) {
                sFail("a module behind a router has no downstream modules");
            }
            if (value.size() < 2 || value.front() != '[' || value.back() != ']') {
                sFail("downstream: expected [description; description]");
            }
            for (const std::string& part : sSplit(value.substr(1, value.size() - 2), ';')) {
                if (!sTrim(part).empty()) {
                    downstream.push_back(sTrim(part));
                }
            }
        } else if (key == "route") {
            if (value == "link") {
                config.routeGate = RouteGate::ForceRouteOrRouteToMe;
            } else if (value == "routetome") {
                config.routeGate = RouteGate::RouteToMe;
            } else {
                sFail("route: link or routetome, not '" + value + "'");
            }
        } else if (key == "uid") {
            const std::vector<std::string> words = sSplit(value, ':');
            if (words.size() != 4) {
                sFail("uid: expected four hex words W:W:W:W");
            }
            for (size_t i = 0; i < 4; ++i) {
                config.uniqueId[i] = uint32_t(sNumber(words[i], key, 0xFFFFFFFF, 16));
            }
        } else if (key == "loader-serial") {
            if (value == "own") {
                config.loaderUsesDefaultSerial = false;
            } else if (value == "default") {
                config.loaderUsesDefaultSerial = true;
            } else {
                sFail("loader-serial: own or default, not '" + value + "'");
            }
        } else if (key == "loadbase") {
            config.loadBase = uint32_t(sNumber(value, key, 0xFFFFFFFF));
        } else if (key == "blocksize") {
            config.blockSize = uint16_t(sNumber(value, key, 0xFFFF));
        } else if (key == "next-version") {
            config.nextVersion = sVersion(value, key);
        } else if (key == "next-build") {
            config.nextBuild = uint32_t(sNumber(value, key, 0xFFFFFFFF));
        } else if (key == "without") {
            for (const std::string& option : sSplit(value, ',')) {
                config.withoutOptions.insert(uint8_t(sNumber(option, key, 63)));
            }
        } else if (key == "heartbeat") {
            config.heartbeatInterval = sMillis(value, key);
        } else if (key == "heartbeat-value") {
            if (value == "alt") {
                config.heartbeatValue.reset();
            } else {
                config.heartbeatValue = uint8_t(sNumber(value, key, 1));
            }
        } else if (key == "restart") {
            config.restartTime = sMillis(value, key);
        } else if (key == "restart-delay") {
            config.restartDelay = sMillis(value, key);
        } else if (key == "frame-timeout") {
            config.frameTimeout = sMillis(value, key);
        } else if (key == "faults") {
            for (const std::string& item : sSplit(value, ',')) {
                sFault(item, config.faults);
            }
        } else if (keepUnknown && !nested) {
            extras[key] = value;
        } else {
            sFail("unknown key '" + key + "'");
        }
    }
    if (!haveSerial || config.serialNumber == 0) {
        sFail("serial=HEX is required and not 0");
    }
    if (config.address < 2 || (config.address & 1)) {
        sFail("address: even, 2..254");
    }
    if (!downstream.empty() && config.personality != Personality::Router) {
        sFail("downstream modules need personality=router");
    }
    std::set<uint8_t> addresses{config.address};
    for (const std::string& below : downstream) {
        std::map<std::string, std::string> none;
        ModuleConfig module = sParse(below, true, false, none);
        if (module.personality == Personality::Router) {
            sFail("a module behind a router cannot be a router itself");
        }
        if (!addresses.insert(module.address).second) {
            sFail("two modules at address " + std::to_string(module.address));
        }
        config.downstream.push_back(std::move(module));
    }
    return config;
}

std::string sHex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string sVersionText(uint32_t packed) {
    const VersionParts parts = unpackVersion(packed);
    const auto repacked = packVersion(parts.major, parts.minor, parts.patch);
    if (repacked && *repacked == packed) {
        return std::to_string(parts.major) + "." + std::to_string(parts.minor) + "." +
               std::to_string(parts.patch);
    }
    return "0x" + sHex(packed);
}

std::string sMatchText(const RequestMatch& match) {
    switch (match.kind) {
    case RequestMatch::Kind::Any:
        return "any";
    case RequestMatch::Kind::Sync:
        return "sync";
    case RequestMatch::Kind::Command:
        break;
    }
    std::string text = std::to_string(match.command);
    if (match.sub) {
        text += "." + std::to_string(*match.sub);
    }
    return text;
}

std::string sCountText(const FaultCount& count, const FaultCount& usual) {
    if (count == usual) {
        return {};
    }
    std::string text;
    if (count.skip != 0) {
        text += "@" + std::to_string(count.skip + 1);
    }
    if (count.times != usual.times) {
        text += count.always() ? std::string("*") : "*" + std::to_string(count.times);
    }
    return text;
}

std::string sFormat(const ModuleConfig& config) {
    const ModuleConfig usual;
    std::string text = "serial=" + sHex(config.serialNumber);
    auto add = [&](const std::string& word) { text += " " + word; };
    add("model=" + std::to_string(config.model));
    add("address=" + std::to_string(config.address));
    if (config.routerAddress != 0) {
        add("router=" + std::to_string(config.routerAddress));
    }
    add("version=" + sVersionText(config.version));
    add("build=" + std::to_string(config.build));
    if (config.personality == Personality::Router) {
        add("personality=router");
    } else if (config.personality == Personality::Loader) {
        add("personality=loader");
    }
    if (!config.downstream.empty()) {
        std::string list;
        for (const ModuleConfig& below : config.downstream) {
            list += (list.empty() ? "" : "; ") + sFormat(below);
        }
        add("downstream=[" + list + "]");
    }
    if (config.routeGate == RouteGate::RouteToMe) {
        add("route=routetome");
    }
    if (config.uniqueId != usual.uniqueId) {
        add("uid=" + sHex(config.uniqueId[0]) + ":" + sHex(config.uniqueId[1]) + ":" +
            sHex(config.uniqueId[2]) + ":" + sHex(config.uniqueId[3]));
    }
    if (config.loaderUsesDefaultSerial) {
        add("loader-serial=default");
    }
    if (config.loadBase != usual.loadBase) {
        add("loadbase=0x" + sHex(config.loadBase));
    }
    if (config.blockSize != usual.blockSize) {
        add("blocksize=" + std::to_string(config.blockSize));
    }
    if (config.nextVersion) {
        add("next-version=" + sVersionText(*config.nextVersion));
    }
    if (config.nextBuild) {
        add("next-build=" + std::to_string(*config.nextBuild));
    }
    if (!config.withoutOptions.empty()) {
        std::string list;
        for (uint8_t option : config.withoutOptions) {
            list += (list.empty() ? "" : ",") + std::to_string(option);
        }
        add("without=" + list);
    }
    if (config.heartbeatInterval != usual.heartbeatInterval) {
        add("heartbeat=" + std::to_string(config.heartbeatInterval.count()));
    }
    if (config.heartbeatValue) {
        add("heartbeat-value=" + std::to_string(*config.heartbeatValue));
    }
    if (config.restartTime != usual.restartTime) {
        add("restart=" + std::to_string(config.restartTime.count()));
    }
    if (config.restartDelay != usual.restartDelay) {
        add("restart-delay=" + std::to_string(config.restartDelay.count()));
    }
    if (config.frameTimeout != usual.frameTimeout) {
        add("frame-timeout=" + std::to_string(config.frameTimeout.count()));
    }
    std::vector<std::string> faults;
    const Faults& f = config.faults;
    for (const DropReplyFault& drop : f.dropReplies) {
        faults.push_back("drop:" + sMatchText(drop.match) + sCountText(drop.count, FaultCount{}));
    }
    for (const DelayReplyFault& delay : f.delayReplies) {
        std::string item = "delay:" + std::to_string(delay.delay.count());
        if (!(delay.match == RequestMatch{})) {
            item += ":" + sMatchText(delay.match);
        }
        faults.push_back(item + sCountText(delay.count, FaultCount{0, 0}));
    }
    for (const TruncateReplyFault& truncate : f.truncateReplies) {
        faults.push_back("truncate:" + std::to_string(truncate.length) + ":" +
                         sMatchText(truncate.match) + sCountText(truncate.count, FaultCount{}));
    }
    if (f.wrongDataCount) {
        faults.push_back("badcount" + sCountText(*f.wrongDataCount, FaultCount{}));
    }
    if (f.wrongSum) {
        faults.push_back("badsum" + sCountText(*f.wrongSum, FaultCount{}));
    }
    if (f.refusePrepare) {
        faults.push_back("refuse" + sCountText(*f.refusePrepare, FaultCount{}));
    }
    if (f.ignoreI2CProbe) {
        faults.push_back("noack");
    }
    if (f.neverReturnAfterReboot) {
        faults.push_back("noreturn");
    }
    if (f.disconnectAfterBytes) {
        faults.push_back("cut:" + std::to_string(*f.disconnectAfterBytes));
    }
    if (!faults.empty()) {
        std::string list;
        for (const std::string& item : faults) {
            list += (list.empty() ? "" : ",") + item;
        }
        add("faults=" + list);
    }
    return text;
}

} // namespace

DescriptionResult parseModuleDescription(const std::string& text, bool keepUnknown) {
    DescriptionResult result;
    try {
        result.config = sParse(text, false, keepUnknown, result.extras);
    } catch (const ParseError& error) {
        result.config = ModuleConfig{};
        result.extras.clear();
        result.error = error.text;
    }
    return result;
}

std::string formatModuleDescription(const ModuleConfig& config) {
    return sFormat(config);
}

std::unique_ptr<ModuleModel> makeModule(const std::string& description) {
    DescriptionResult parsed = parseModuleDescription(description);
    if (!parsed) {
        throw std::invalid_argument("module description: " + parsed.error);
    }
    return std::make_unique<ModuleModel>(std::move(parsed.config));
}

} // namespace qbsim
