#pragma once

// What an operation hands back across the layers: its value, or the reason
// it failed. Below the console a reason is data (a code, a name, the numbers
// that matter), never a sentence: the console alone turns a reason into
// words.

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

// The value of an operation that only succeeds or fails.
struct Done {};

// A reason on its way into an Outcome: `return Fail(reason);`.
template <typename Reason>
struct Failure {
    Reason reason;
};

template <typename Reason>
Failure<std::decay_t<Reason>> Fail(Reason&& reason) {
    return {std::forward<Reason>(reason)};
}

template <typename Value, typename Reason>
class [[nodiscard]] Outcome {
  public:
    Outcome(Value value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <typename R>
    Outcome(Failure<R> failure) : state_(std::in_place_index<1>, std::move(failure.reason)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    Value& value() {
        assert(ok());
        return std::get<0>(state_);
    }
    const Value& value() const {
        assert(ok());
        return std::get<0>(state_);
    }
    // Only when !ok().
    const Reason& reason() const {
        assert(!ok());
        return std::get<1>(state_);
    }

  private:
    std::variant<Value, Reason> state_;
};
