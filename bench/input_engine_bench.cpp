// The cost of one display frame of the input engine with pointer and scroll motion pending,
// without the platform's own posting: the ports here answer at once and drop what is posted.
#include <array>

#include <benchmark/benchmark.h>

#include "input/input_engine.hpp"

namespace {

using namespace tovali;

class NullDesktop : public EventPoster, public Displays {
public:
    std::optional<Point> pointerLocation() override { return pointer; }
    void postMouseEvent(const MouseEvent& event) override {
        pointer = event.location;
        benchmark::DoNotOptimize(event);
    }
    void postScrollEvent(const ScrollEvent& event) override { benchmark::DoNotOptimize(event); }
    double doubleClickInterval() const override { return 0.5; }
    std::span<const Rect> activeDisplayBounds() override { return displays; }

    Point pointer{960, 540};
    std::array<Rect, 2> displays{Rect{0, 0, 1920, 1080}, Rect{1920, 0, 2560, 1440}};
};

class BenchLink : public DisplayLink {
public:
    void setPaused(bool paused) override { paused_ = paused; }
    bool isPaused() const override { return paused_; }
    double timestamp() const override { return now; }
    double duration() const override { return 1.0 / 60.0; }

    double now = 0.0;

private:
    bool paused_ = true;
};

class BenchLoop : public MainLoop {
public:
    double uptime() const override { return 1.0; }
    double continuousTime() const override { return 1.0; }
    double wallTime() const override { return 1.0; }
    TimerHandle runAfter(double, TimerClock, std::function<void()>) override { return nullptr; }
    TimerHandle runEvery(double, std::function<void()>) override { return nullptr; }
    std::unique_ptr<DisplayLink> makeDisplayLink(std::function<void(DisplayLink&)> f) override {
        frame = std::move(f);
        auto made = std::make_unique<BenchLink>();
        link = made.get();
        return made;
    }

    std::function<void(DisplayLink&)> frame;
    BenchLink* link = nullptr;
};

void BM_FrameWithPointerAndScrollPending(benchmark::State& state) {
    NullDesktop desktop;
    BenchLoop loop;
    InputEngine engine(desktop, desktop, loop);
    const InputEvent move = MoveInput{7, -3};
    const InputEvent scroll = ScrollInput{0, 40};
    engine.handleInput(move);
    for (auto _ : state) {
        // Keep both smoothers busy so that every frame moves and scrolls; the moves go back and
        // forth so that the pointer stays clear of the display edges.
        engine.handleInput(move);
        engine.handleInput(scroll);
        loop.link->now += 1.0 / 60.0;
        loop.frame(*loop.link);
        desktop.pointer = {960, 540};
    }
}
BENCHMARK(BM_FrameWithPointerAndScrollPending);

} // namespace

BENCHMARK_MAIN();
