#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace tovali {

/// Ends a subscription when dropped.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }

    void reset() {
        if (auto cancel = std::exchange(cancel_, {})) {
            cancel();
        }
    }

private:
    std::function<void()> cancel_;
};

/// A value whose observers hear of every assignment, equal values included, before the new
/// value is in place.
template <typename T>
class Published {
public:
    using Observer = std::function<void(const T& newValue)>;

    explicit Published(T initial) : value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& value() const { return value_; }

    void set(T newValue) {
        announce(newValue);
        value_ = std::move(newValue);
    }

    /// The observer hears of later assignments only. An observer may subscribe or unsubscribe
    /// others, or itself, while it is being told.
    [[nodiscard]] Subscription subscribe(Observer observer) const {
        const std::uint64_t id = observers_->nextId++;
        observers_->entries.push_back({id, std::make_shared<Observer>(std::move(observer))});
        return Subscription([weak = std::weak_ptr<Observers>(observers_), id] {
            if (const auto observers = weak.lock()) {
                std::erase_if(observers->entries, [id](const auto& e) { return e.id == id; });
            }
        });
    }

private:
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<Observer> observer;
    };
    struct Observers {
        std::uint64_t nextId = 0;
        std::vector<Entry> entries;
    };

    void announce(const T& newValue) {
        if (observers_->entries.empty()) {
            return;
        }
        // A snapshot: observers that subscribe or leave during the announcement do not upset it.
        const std::vector<Entry> snapshot = observers_->entries;
        for (const Entry& entry : snapshot) {
            const bool stillSubscribed = std::ranges::any_of(
                observers_->entries, [&](const Entry& e) { return e.id == entry.id; });
            if (stillSubscribed) {
                (*entry.observer)(newValue);
            }
        }
    }

    T value_;
    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

/// Tells the observer the current value at once, then every assignment.
template <typename T>
[[nodiscard]] Subscription observe(const Published<T>& published,
                                   std::function<void(const T&)> observer) {
    auto shared = std::make_shared<std::function<void(const T&)>>(std::move(observer));
    Subscription subscription = published.subscribe([shared](const T& value) { (*shared)(value); });
    (*shared)(published.value());
    return subscription;
}

/// Tells the observer the latest pair at once, then again whenever either value is assigned,
/// with the other value as it stands.
template <typename A, typename B>
[[nodiscard]] Subscription observeLatest(const Published<A>& first, const Published<B>& second,
                                         std::function<void(const A&, const B&)> observer) {
    auto shared = std::make_shared<std::function<void(const A&, const B&)>>(std::move(observer));
    auto both = std::make_shared<std::pair<Subscription, Subscription>>(
        first.subscribe([shared, &second](const A& value) { (*shared)(value, second.value()); }),
        second.subscribe([shared, &first](const B& value) { (*shared)(first.value(), value); }));
    (*shared)(first.value(), second.value());
    return Subscription([both] {
        both->first.reset();
        both->second.reset();
    });
}

/// Passes a value on only when it differs from the last one passed on.
template <typename T, typename Equal = std::equal_to<T>>
std::function<void(const T&)> removingDuplicates(std::function<void(const T&)> next,
                                                 Equal equal = {}) {
    return [next = std::move(next), equal, last = std::optional<T>()](const T& value) mutable {
        if (last && equal(*last, value)) {
            return;
        }
        last = value;
        next(value);
    };
}

} // namespace tovali
