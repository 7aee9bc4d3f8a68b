#pragma once

#include <optional>
#include <variant>
#include <vector>

#include "platform/displays.hpp"
#include "platform/event_poster.hpp"

namespace tovali::test {

using PostedEvent = std::variant<MouseEvent, ScrollEvent>;

/// Records every posted event, with a pointer and displays that a test scripts. By default the
/// pointer goes wherever the last mouse event put it, as a real system's does.
class EventRecorder : public EventPoster, public Displays {
public:
    std::optional<Point> pointerLocation() override { return pointer; }
    void postMouseEvent(const MouseEvent& event) override {
        posted.emplace_back(event);
        if (pointerFollowsEvents) {
            pointer = event.location;
        }
    }
    void postScrollEvent(const ScrollEvent& event) override { posted.emplace_back(event); }
    void endScroll() override { scrollEndsAfter.push_back(posted.size()); }
    double doubleClickInterval() const override { return 0.5; }
    std::span<const Rect> activeDisplayBounds() override { return displays; }

    std::vector<MouseEvent> mouseEvents() const;
    std::vector<ScrollEvent> scrollEvents() const;

    std::optional<Point> pointer = Point{};
    bool pointerFollowsEvents = true;
    std::vector<Rect> displays{{0.0, 0.0, 1920.0, 1080.0}};
    std::vector<PostedEvent> posted;
    /// For each end of scrolling, how many events had been posted before it.
    std::vector<std::size_t> scrollEndsAfter;
};

} // namespace tovali::test
