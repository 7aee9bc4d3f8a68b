// Pointer moves posted through XTest to a private Xvfb, alone and with the two queries the
// engine makes once per frame.
#include <X11/Xlib.h>
#include <memory>
#include <optional>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_displays.hpp"
#include "platform/x11/x11_event_poster.hpp"
#include "support/xvfb_server.hpp"

namespace tovali {
namespace {

constexpr int movesPerBatch = 1000;

// One server for the whole run; the desktop's display is never used.
struct PrivateDesktop {
    PrivateDesktop() {
        if (!server.running()) {
            error = "cannot start Xvfb: " + server.error();
            return;
        }
        connection = X11Connection::open(server.displayName());
        if (!connection || !connection->hasXTest()) {
            error = "cannot post events to " + server.displayName();
            return;
        }
        poster.emplace(*connection, 0.5);
        displays.emplace(*connection);
    }

    test::XvfbServer server{1920, 1080};
    std::unique_ptr<X11Connection> connection;
    std::optional<X11EventPoster> poster;
    std::optional<X11Displays> displays;
    std::string error;
};

PrivateDesktop& privateDesktop() {
    static PrivateDesktop desktop;
    return desktop;
}

void postMoves(benchmark::State& state, bool withFrameQueries) {
    auto& desktop = privateDesktop();
    if (!desktop.error.empty()) {
        state.SkipWithError(desktop.error.c_str());
        return;
    }
    bool right = false;
    for (auto _ : state) {
        for (int i = 0; i < movesPerBatch; ++i) {
            if (withFrameQueries) {
                benchmark::DoNotOptimize(desktop.poster->pointerLocation());
                benchmark::DoNotOptimize(desktop.displays->activeDisplayBounds());
            }
            right = !right; // every move changes the pointer's position
            desktop.poster->postMouseEvent(
                {.type = MouseEventType::mouseMoved, .location = {right ? 900.5 : 100.5, 500.0}});
        }
        // Only moves the server has handled count, not ones still in a buffer.
        XSync(desktop.connection->display(), False);
    }
    state.SetItemsProcessed(state.iterations() * movesPerBatch);
}

BENCHMARK_CAPTURE(postMoves, moves, false)->UseRealTime();
BENCHMARK_CAPTURE(postMoves, movesWithFrameQueries, true)->UseRealTime();

} // namespace
} // namespace tovali

BENCHMARK_MAIN();
