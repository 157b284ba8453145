// The link engine on the pty rigs, against the module model: the CPU an
// idle connected link takes over 10 s on a serial port (at 115200 bit/s) and
// through the family's driver node (a pty in /dev standing in for the
// driver; needs root). link_cpu is the share of the threads the link brought
// up, process_cpu that of the whole process with the rig.
#include "LinkBenchSupport.h"

#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "PtyRig.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

namespace {

using namespace qbbench;

void IdleLinkCpu_Serial(benchmark::State& state) {
    auto module = qbsim::makeModule(kModel);
    qbsim::pty::SerialRig rig(*module, {qbsim::pty::Pacing::Fixed, 115200, 10});
    std::string port = rig.portPath();
    idleLinkCpu(state, [&] { return aLink_CreateSerial(kSerial, port.c_str(), 115200); });
}
BENCHMARK(IdleLinkCpu_Serial)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// The USB link through the family's driver node (a pty standing in for it).
void IdleLinkCpu_DriverNode(benchmark::State& state) {
    if (geteuid() != 0) {
        state.SkipWithError("the node goes into /dev, which needs root");
        return;
    }
    auto module = qbsim::makeModule("serial=7E0F0001 model=14 address=2");
    qbsim::pty::NodeRig rig(*module);
    idleLinkCpu(state, [] { return aLink_CreateUSB(0x7E0F0001); });
}
BENCHMARK(IdleLinkCpu_DriverNode)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
