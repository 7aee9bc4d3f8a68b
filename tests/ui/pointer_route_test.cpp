#include <gtest/gtest.h>

#include "support/memory_defaults.hpp"
#include "support/server_rig.hpp"
#include "ui/pointer_route.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

class NamedRoute final : public PointerRoute {
public:
    explicit NamedRoute(std::string name) : name_(std::move(name)) {}
    std::string description() override { return name_; }
    EventPoster& events() override { return recorder_; }
    Displays& displays() override { return recorder_; }
    Accessibility& accessibility() override { return accessibility_; }

private:
    std::string name_;
    EventRecorder recorder_;
    FlagAccessibility accessibility_;
};

TEST(PointerRoute, choice_takesTheFirstRouteThatWorksOrOnlyTheOneForced) {
    const struct {
        PointerChoice choice;
        bool wayland;
        const char* available; // routes that work: x = x11, w = wlroots, p = portal
        const char* chosen;
    } cases[] = {
        {PointerChoice::automatic, false, "xwp", "x11"},
        {PointerChoice::automatic, true, "xwp", "wlroots"},
        {PointerChoice::automatic, true, "xp", "portal"},
        {PointerChoice::automatic, true, "x", "x11"},
        {PointerChoice::automatic, true, "", "none"},
        {PointerChoice::portal, true, "xw", "none"},
        {PointerChoice::wlroots, false, "w", "wlroots"},
        {PointerChoice::x11, true, "xwp", "x11"},
    };
    MemoryDefaults defaults;
    CapturedLog log;
    for (const auto& c : cases) {
        const std::string available = c.available;
        const auto maker = [&](char key, const char* name) {
            return [=](const RouteContext&) -> std::unique_ptr<PointerRoute> {
                if (available.find(key) == std::string::npos)
                    return nullptr;
                return std::make_unique<NamedRoute>(name);
            };
        };
        const RouteMakers makers{maker('x', "x11"), maker('w', "wlroots"), maker('p', "portal")};
        const auto route =
            choosePointerRoute(c.choice, {.wayland = c.wayland}, makers,
                               {.defaults = defaults, .log = log, .doubleClickInterval = 0.5});
        EXPECT_EQ(route ? route->description() : "none", c.chosen)
            << static_cast<int>(c.choice) << " " << c.wayland << " " << c.available;
    }
}

} // namespace
