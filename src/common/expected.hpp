#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace tovali {

/// A value or the error that took its place; failures travel as values, never as exceptions.
template <typename T, typename E>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool hasValue() const { return state_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    // Callers check hasValue() first: a wrong access is a programming error, not a failure.
    T& value() {
        assert(hasValue());
        return *std::get_if<0>(&state_);
    }
    const T& value() const {
        assert(hasValue());
        return *std::get_if<0>(&state_);
    }
    const E& error() const {
        assert(!hasValue());
        return *std::get_if<1>(&state_);
    }

    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, E> state_;
};

} // namespace tovali
