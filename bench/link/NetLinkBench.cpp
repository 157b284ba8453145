// The link engine on TCP/IP, against the module model in a network
// namespace. Needs root.
//
//   EngineRequestReply/TcpNamespace     a request and its reply through the link engine
//   RawSocketRequestReply/TcpNamespace  the same exchange by a bare socket client, same module
//   IdleLinkCpu/Tcp                     CPU share of an idle connected link over 10 s: of the
//                                       threads the link brought up (link_cpu), and of the whole
//                                       process with its rigs (process_cpu)
//
// The last line printed is the ratio of the engine's exchange to the raw one.
#include "LinkBenchSupport.h"

#include "ModuleDescription.h"
#include "ModuleModel.h"
#include "Netns.h"
#include "TcpModuleRig.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace qbbench;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 9000;
const uint32_t kAddress = qbsim::netns::parseAddress("192.0.2.20").s_addr;

// One module on the network for the whole run, so that both clients of the
// exchange talk to the same one.
std::unique_ptr<qbsim::net::TcpModuleRig> gRig;
double gEngineSeconds = 0;
double gRawSeconds = 0;

void EngineRequestReply_TcpNamespace(benchmark::State& state) {
    qbsim::netns::Enter inHost(gRig->host());
    int32_t id = aLink_CreateTCPIP(kAddress, kPort);
    gEngineSeconds = engineRequestReply(state, id);
    aLink_Destroy(&id);
}
BENCHMARK(EngineRequestReply_TcpNamespace)->UseRealTime()->Unit(benchmark::kMicrosecond);

void RawSocketRequestReply_TcpNamespace(benchmark::State& state) {
    qbsim::netns::Enter inHost(gRig->host());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = kAddress;
    at.sin_port = htons(kPort);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        state.SkipWithError("no connection");
        close(fd);
        return;
    }
    uint8_t reply[64];
    const auto t0 = Clock::now();
    for (auto _ : state) {
        send(fd, kRequest, sizeof kRequest, MSG_NOSIGNAL);
        size_t got = 0;
        while (got < kReplySize) {
            pollfd p{fd, POLLIN, 0};
            ssize_t n = poll(&p, 1, 2000) == 1 ? recv(fd, reply + got, sizeof reply - got, 0) : -1;
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (got != kReplySize) {
            state.SkipWithError("no reply");
            break;
        }
    }
    gRawSeconds = perIteration(Clock::now() - t0, state.iterations());
    close(fd);
}
BENCHMARK(RawSocketRequestReply_TcpNamespace)->UseRealTime()->Unit(benchmark::kMicrosecond);

void IdleLinkCpu_Tcp(benchmark::State& state) {
    qbsim::netns::Enter inHost(gRig->host());
    idleLinkCpu(state, [] { return aLink_CreateTCPIP(kAddress, kPort); });
}
BENCHMARK(IdleLinkCpu_Tcp)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    if (!qbsim::netns::available()) {
        fprintf(stderr, "needs root for network namespaces\n");
        return 1;
    }
    gRig = std::make_unique<qbsim::net::TcpModuleRig>(qbsim::makeModule(kModel));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gRig.reset();
    if (gEngineSeconds > 0 && gRawSeconds > 0) {
        printf("TCP request and reply: engine %.1f us, raw socket %.1f us, ratio %.2f\n",
               gEngineSeconds * 1e6, gRawSeconds * 1e6, gEngineSeconds / gRawSeconds);
    }
    return 0;
}
