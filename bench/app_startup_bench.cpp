// The real application, started in a private X server and buses: how long until its first status
// is on screen, and how much memory it holds with a watch connected.

#include <X11/keysym.h>
#include <chrono>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "link/wire_messages.hpp"
#include "support/app_world.hpp"
#include "support/test_watch.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

// Kibibytes of a /proc/<pid>/status line such as "VmRSS:".
double statusKib(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0)
            return std::stod(line.substr(field.size()));
    }
    return 0.0;
}

// From exec to a mapped window showing the status (there is no tray in the private server, so
// the menu window opens at start). Polling costs up to 5 ms of the figure.
void BM_StartUpToFirstStatus(benchmark::State& state) {
    for (auto _ : state) {
        AppWorld world;
        if (!world.error().empty()) {
            state.SkipWithError(world.error().c_str());
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        world.launch(TOVALI_EXECUTABLE);
        if (!world.waitForWindow("Tovali", 10'000)) {
            state.SkipWithError("no window");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_StartUpToFirstStatus)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// Resident memory after a watch paired through the panel, opened a session and moved the pointer.
void BM_ResidentMemoryWithOneWatch(benchmark::State& state) {
    const QString signal = QString::fromStdString(gatt::signal.toString()).toLower();
    for (auto _ : state) {
        AppWorld world;
        if (!world.error().empty() || !world.launch(TOVALI_EXECUTABLE).empty() ||
            !world.bluez().waitForRegistrations()) {
            state.SkipWithError("the application did not start");
            return;
        }
        const QString device = world.bluez().connectDevice("C0:FF:EE:00:00:02");
        world.bluez().subscribe(device, signal);
        StandInRadio radio(world.bluez(), device);
        TestWatch watch(radio, "Wrist");
        const auto panel = watch.startPairing()
                               ? world.waitForWindow("Let “Wrist” control this computer?")
                               : std::nullopt;
        if (!panel) {
            state.SkipWithError("no pairing panel");
            return;
        }
        // The panel never takes the focus itself and ignores answers in its first second.
        world.focus(*panel);
        if (!world.waitForFocus(*panel)) {
            state.SkipWithError("the pairing panel took no focus");
            return;
        }
        waitUntil([] { return false; }, 1100);
        world.pressKey(XK_Return);
        if (!world.bluez().waitForNotifications(device, 1) || !watch.finishSession()) {
            state.SkipWithError("no session");
            return;
        }
        for (int i = 0; i < 200; ++i)
            watch.move(3, -2);
        waitUntil([] { return false; }, 500);
        state.counters["rss_MiB"] = statusKib(world.pid(), "VmRSS:") / 1024.0;
        state.counters["peak_rss_MiB"] = statusKib(world.pid(), "VmHWM:") / 1024.0;
    }
}
BENCHMARK(BM_ResidentMemoryWithOneWatch)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
