// Pointer moves through the real xdg-desktop-portal frontend, counted once the desktop's side
// (the backend's stand-in) has received all of their movement. Moves that wait for the portal
// are summed into fewer calls; "calls" counts those that arrived.
#include <QDBusConnection>

#include <benchmark/benchmark.h>

#include "platform/portal/portal_adapters.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/event_recorder.hpp"
#include "support/memory_defaults.hpp"
#include "support/portal_stand_in.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

constexpr int movesPerBatch = 1000;

void BM_PortalMoves(benchmark::State& state) {
    PortalWorld world;
    if (!world.error().empty()) {
        state.SkipWithError(world.error().c_str());
        return;
    }
    EventRecorder screen;
    screen.displays = {{0, 0, 4 * movesPerBatch, 1000}};
    MemoryDefaults defaults;
    CapturedLog log;
    const QString name = QStringLiteral("bench-portal-client");
    {
        PortalAdapters route =
            makePortalAdapters(QDBusConnection::connectToBus(world.address(), name), screen,
                               defaults, log, 0.5, "GNOME");
        route.accessibility->promptForPermission();
        if (!waitUntil([&] { return route.accessibility->isProcessTrusted(); })) {
            state.SkipWithError("the session did not start");
            return;
        }
        PortalStandIn& backend = world.backend();
        Point at = *route.events->pointerLocation();
        int calls = 0;
        int batches = 0;
        for (auto _ : state) {
            // One pixel per move, across the display and back, never reaching an edge.
            const double step = batches++ % 2 == 0 ? 1.0 : -1.0;
            const double target = backend.movedX + step * movesPerBatch;
            backend.forgetCalls();
            for (int i = 0; i < movesPerBatch; ++i) {
                at.x += step;
                route.events->postMouseEvent({.type = MouseEventType::mouseMoved, .location = at});
            }
            if (!waitUntil([&] { return backend.movedX == target; }, 10000)) {
                state.SkipWithError("moves were lost");
                break;
            }
            calls += static_cast<int>(backend.callCount("NotifyPointerMotion"));
        }
        // Separate calls that reached the desktop, a second.
        state.counters["calls"] = benchmark::Counter(calls, benchmark::Counter::kIsRate);
        state.SetItemsProcessed(state.iterations() * movesPerBatch);
    }
    QDBusConnection::disconnectFromBus(name);
}
BENCHMARK(BM_PortalMoves)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
