#include "support/event_recorder.hpp"

namespace tovali::test {

namespace {

template <typename Event>
std::vector<Event> eventsOf(const std::vector<PostedEvent>& posted) {
    std::vector<Event> events;
    for (const PostedEvent& event : posted) {
        if (const auto* wanted = std::get_if<Event>(&event)) {
            events.push_back(*wanted);
        }
    }
    return events;
}

} // namespace

std::vector<MouseEvent> EventRecorder::mouseEvents() const {
    return eventsOf<MouseEvent>(posted);
}

std::vector<ScrollEvent> EventRecorder::scrollEvents() const {
    return eventsOf<ScrollEvent>(posted);
}

} // namespace tovali::test
