// What a watch's traffic costs the server on the main loop: one input packet from the write
// intake to the input engine, and a trusted watch's hello to its stored sessionOpen.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

// A server advertising, with one watch paired and in session.
struct PairedRig {
    ServerRig rig;
    std::optional<TestWatch> watch;
    bool ready = false;

    PairedRig() {
        rig.startAdvertising();
        watch.emplace(*rig.peripheral);
        if (watch->startPairing()) {
            rig.answerPairing(true);
            ready = watch->finishSession();
        }
    }
    void deliver(std::span<const AttRequest> batch) {
        rig.server->peripheralManagerDidReceiveWriteRequests(*rig.peripheral, batch);
    }
};

// Built outside the timed loop: tagging a packet costs about what opening one does.
std::vector<AttRequest> nextMoves(TestWatch& watch) {
    std::vector<AttRequest> requests(1 << 16);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        // Alternating directions keep the engine's pending motion small, as a real hand does.
        const auto d = static_cast<std::int16_t>(i % 2 == 0 ? 3 : -3);
        requests[i] = {.characteristic = gatt::input,
                       .central = watch.central(),
                       .value = TestWatch::inputPacket(MoveInput{d, d}, watch.nextSequence++,
                                                       *watch.sessionKey())};
    }
    return requests;
}

void BM_InputPacketToEngine(benchmark::State& state) {
    PairedRig paired;
    if (!paired.ready) {
        state.SkipWithError("the watch did not pair");
        return;
    }
    std::vector<AttRequest> moves = nextMoves(*paired.watch);
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == moves.size()) {
            state.PauseTiming();
            if (!paired.watch->openTrustedSession()) {
                state.SkipWithError("the trusted watch got no new session");
                break;
            }
            moves = nextMoves(*paired.watch);
            next = 0;
            state.ResumeTiming();
        }
        paired.deliver(std::span(&moves[next++], 1));
    }
    // Every packet of the current session was accepted, in order.
    const Session* session = paired.rig.server->session(paired.watch->central());
    if (!session || !session->opener || session->opener->lastSequence() != next)
        state.SkipWithError("a packet was refused");
}
BENCHMARK(BM_InputPacketToEngine);

void BM_TrustedHelloToSessionOpen(benchmark::State& state) {
    PairedRig paired;
    if (!paired.ready) {
        state.SkipWithError("the watch did not pair");
        return;
    }
    const std::vector<AttRequest> hello{{.characteristic = gatt::request,
                                         .central = paired.watch->central(),
                                         .value = paired.watch->helloBytes()}};
    paired.deliver(hello);
    const Session* session = paired.rig.server->session(paired.watch->central());
    const auto reply = session ? decodeReply(session->reply) : std::nullopt;
    if (!session || session->reply.size() != 83 || !reply ||
        !std::holds_alternative<SessionOpenReply>(*reply)) {
        state.SkipWithError("the hello did not store a sessionOpen");
        return;
    }
    for (auto _ : state) {
        paired.deliver(hello);
        // The double keeps every answer; dropping them now and then keeps its memory flat.
        if (paired.rig.peripheral->responses.size() == 4096) {
            state.PauseTiming();
            paired.rig.peripheral->responses.clear();
            paired.rig.peripheral->latencyRequests.clear();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_TrustedHelloToSessionOpen)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
