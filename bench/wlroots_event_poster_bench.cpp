// Pointer moves posted through the wlroots virtual pointer to a private headless sway, counted
// once a window there has seen each of them.
#include <cstdlib>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/wlroots/wlroots_connection.hpp"
#include "platform/wlroots/wlroots_event_poster.hpp"
#include "support/event_recorder.hpp"
#include "support/headless_sway.hpp"
#include "support/wayland_observer.hpp"

namespace tovali {
namespace {

constexpr int movesPerBatch = 1000;

struct PrivateCompositor {
    PrivateCompositor() {
        if (!sway.error().empty()) {
            error = sway.error();
            return;
        }
        ::setenv("WAYLAND_DISPLAY", sway.socket().c_str(), 1);
        displays.displays = {{0, 0, test::HeadlessSway::width, test::HeadlessSway::height}};
        connection = WlrootsConnection::open();
        if (!connection) {
            error = "no virtual pointer on " + sway.socket();
            return;
        }
        poster = std::make_unique<WlrootsEventPoster>(*connection, displays, 0.5);
        observer = std::make_unique<test::WaylandObserver>(sway.socket());
        error = observer->error();
        // The first move only enters the window; the window sees motion from then on.
        for (const double x : {10.0, 20.0})
            poster->postMouseEvent({.type = MouseEventType::mouseMoved, .location = {x, 10}});
        if (error.empty() && !observer->waitFor("motion", 1))
            error = "the window never saw the pointer";
    }

    test::HeadlessSway sway;
    test::EventRecorder displays;
    std::unique_ptr<WlrootsConnection> connection;
    std::unique_ptr<WlrootsEventPoster> poster;
    std::unique_ptr<test::WaylandObserver> observer;
    std::string error;
};

void BM_MovesSeenByAWindow(benchmark::State& state) {
    static PrivateCompositor compositor;
    if (!compositor.error.empty()) {
        state.SkipWithError(compositor.error.c_str());
        return;
    }
    bool right = false;
    for (auto _ : state) {
        compositor.observer->clear();
        for (int i = 0; i < movesPerBatch; ++i) {
            right = !right; // every move changes the pointer's position
            compositor.poster->postMouseEvent(
                {.type = MouseEventType::mouseMoved, .location = {right ? 900.5 : 100.5, 500.0}});
        }
        if (!compositor.observer->waitFor("motion", movesPerBatch, 10000)) {
            const std::string seen =
                "the window saw only " +
                std::to_string(compositor.observer->events({"motion"}).size()) + " moves";
            state.SkipWithError(seen.c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * movesPerBatch);
}
BENCHMARK(BM_MovesSeenByAWindow)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace tovali
