// A simulated module described in one line, so that a rig, the host program
// and tests can start one without code:
//
//   serial=40F5849A model=14 address=2 version=2.15.3 build=12345
//   serial=2181F0EE model=13 personality=router
//       downstream=[serial=11 model=14 address=4; serial=12 model=15 address=6]
//   serial=1234ABCD model=14 personality=loader uid=01234567:89ABCDEF:00000001:00000002
//   serial=40F5849A model=14 next-version=2.16.0 next-build=12346 faults=drop:95.2,badsum
//
// Words are key=value pairs separated by blanks; order does not matter and
// no key may appear twice. Numbers are decimal, or hexadecimal with 0x;
// serial numbers and unique-identifier words are always hexadecimal.
//
//   serial=HEX          serial number (required, not 0)
//   model=N             model number (also the USB product id), default 0
//   address=N           module address, even, 2..254, default 2
//   router=N            router address reported by system option 2; default 0,
//                       behind a router the router's address
//   version=M.m.p       firmware version, packed as the module reports it
//                       (or the packed value itself as 0x...), default 2.15.0
//   build=N             firmware build number, default 0
//   personality=module|router|loader
//                       loader: a recovery loader (answers option 39) that
//                       becomes a module once it reboots into new firmware
//   downstream=[D; D]   router only: the modules on its bus, each D a
//                       description of its own (no further downstream)
//   route=link|routetome
//                       router only: carry the host's traffic to the modules
//                       behind it once the link forced the route (175 with 1)
//                       or routeToMe(1) was set (link, the default), or only
//                       while routeToMe(1) is set (routetome)
//   uid=W:W:W:W         loader: the chip's unique identifier, four hex words
//                       in the order a fingerprint shows them
//   loader-serial=own|default
//                       a started loader shows its own serial number (own,
//                       the default) or 0xCDCAACCF (default)
//   loadbase=N          load base in the INIT reply, default 0x20000000
//   blocksize=N         block size in the PREPARE reply, default 512
//   next-version=M.m.p, next-build=N
//                       what the module runs after the loader reboots it
//   without=N,N         system options the module does not have
//   heartbeat=MS        heartbeat interval while a host talks to it, 0 = none
//                       (the default)
//   heartbeat-value=alt|0|1
//                       x of the heartbeats [0, x]: alternating (default) or fixed
//   restart=MS          time off the transport on a restart, default 300
//   restart-delay=MS    time from a restarting reply to going off, default 0
//   frame-timeout=MS    a partial packet older than this is dropped, default 500
//   faults=F,F          faults, each one of
//       drop:MATCH[@K][*N|*]   leave out the reply to a matching request
//       delay:MS[:MATCH][@K][*N|*]
//                              hold matching replies back (default: every reply)
//       truncate:LEN:MATCH[@K][*N|*]
//                              cut the reply to a matching request to LEN data bytes
//       badcount[@K][*N|*]     answer a DATA packet with a count one short
//       badsum[@K][*N|*]       report the sum plus one in a SUM reply
//       refuse[@K][*N|*]       refuse a PREPARE
//       noreturn               stay away after REBOOT
//       noack                  behind a router: its bus address is not
//                              acknowledged on the I2C bus, yet it answers
//       cut:N                  drop off the transport after N bytes from the host
//     MATCH is any, sync (the address query), CMD or CMD.SUB: the command
//     code and its second byte (the option code for entity commands, e.g.
//     3.9; the sub-command otherwise, e.g. 95.2, 73.255). @K lets the first
//     K-1 occasions pass; *N strikes N occasions, * every one. Without them
//     a fault strikes once, on the first occasion (delay: on every one).
#ifndef QBSIM_MODEL_MODULE_DESCRIPTION_H
#define QBSIM_MODEL_MODULE_DESCRIPTION_H

#include "ModuleConfig.h"

#include <map>
#include <memory>
#include <string>

namespace qbsim {

class ModuleModel;

struct DescriptionResult {
    ModuleConfig config;
    std::string error; // empty on success
    // Words the model does not know, when the caller asked to keep them
    // (a rig's own settings, such as a TCP port).
    std::map<std::string, std::string> extras;

    explicit operator bool() const { return error.empty(); }
};

// Reads a description. With `keepUnknown` words with other keys go to
// `extras`; without it they are an error.
DescriptionResult parseModuleDescription(const std::string& text, bool keepUnknown = false);

// The description of a configuration; parsing it gives the same
// configuration back.
std::string formatModuleDescription(const ModuleConfig& config);

// Parses and builds the module; throws std::invalid_argument with the
// parser's message when the description is wrong.
std::unique_ptr<ModuleModel> makeModule(const std::string& description);

} // namespace qbsim

#endif
