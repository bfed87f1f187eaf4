#pragma once

#include "base/text.h"

#include <cerrno>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace qz {

// Why one of our own operations failed: what went wrong, kept in English until it is told, and
// the system's error number when a system call failed.
class Failure {
  public:
    Failure(Text text, int error = 0) : text_(std::move(text)), error_(error) {}

    // The errno of the system call that failed; 0 when none did.
    int error() const {
        return error_;
    }
    const Text& text() const {
        return text_;
    }
    // For the log: in English.
    std::string reason() const {
        return text_.english();
    }
    // For the user: in their language.
    std::string shown() const {
        return text_.translated();
    }

  private:
    Text text_;
    int error_ = 0;
};

// A failure of a system call: "what: <the system's reason>", with errno as it stands.
Failure systemFailure(Text what);
// The same with the errno kept from the call that failed.
Failure systemFailure(Text what, int error);

namespace detail {

// Ends the program, saying how a Result was misused.
[[noreturn]] void misusedResult(const std::string& what);

// In builds with assertions, whether a Result is still to be checked. A new one is; testing it,
// or taking its value or failure, checks it; moving it hands the duty on to the new one.
class CheckDuty {
  public:
#ifndef NDEBUG
    CheckDuty() = default;
    CheckDuty(CheckDuty&& other) noexcept {
        other.pending_ = false;
    }
    CheckDuty& operator=(CheckDuty&& other) noexcept {
        pending_ = true;
        other.pending_ = false;
        return *this;
    }
    void done() const {
        pending_ = false;
    }
    bool pending() const {
        return pending_;
    }

  private:
    mutable bool pending_ = true;
#else
    void done() const {}
    bool pending() const {
        return false;
    }
#endif
};

} // namespace detail

// The one way our own operations fail: the value (none for Result<>), or the Failure that says
// why there is none. (The design's own functions keep their own signatures.) Every Result must be
// checked: tested, its value or failure taken, or dropped with ignore(); in builds with
// assertions, one that is destroyed or overwritten unchecked ends the program, and so does taking
// a value where there is none, so that a forgotten failure shows in the tests rather than on a
// user's machine.
template <class T = void> class [[nodiscard]] Result {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

  public:
    Result() requires std::is_void_v<T>
    = default;
    // Not `value`: a function pointer of that name would shadow value().
    Result(Value held) requires(!std::is_void_v<T>)
        : state_(std::in_place_index<0>, std::move(held)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}
    Result(Result&&) = default;
    Result& operator=(Result&& other) {
        expectChecked();
        state_ = std::move(other.state_);
        duty_ = std::move(other.duty_);
        return *this;
    }
    ~Result() {
        expectChecked();
    }

    explicit operator bool() const {
        duty_.done();
        return state_.index() == 0;
    }
    const Value& value() const requires(!std::is_void_v<T>) {
        duty_.done();
#ifndef NDEBUG
        if (state_.index() != 0) {
            detail::misusedResult("a value taken from a failed Result: " +
                                  std::get<1>(state_).reason());
        }
#endif
        return std::get<0>(state_);
    }
    const Value& operator*() const requires(!std::is_void_v<T>) {
        return value();
    }
    const Value* operator->() const requires(!std::is_void_v<T>) {
        return &value();
    }

    const Failure& failure() const {
        duty_.done();
        return std::get<1>(state_);
    }
    // For the log: in English.
    std::string reason() const {
        return failure().reason();
    }
    // For the user: in their language.
    std::string shown() const {
        return failure().shown();
    }

    // Drops the result on purpose; `why` says, where it is called, why no failure matters there.
    void ignore(const char* /*why*/) const {
        duty_.done();
    }

  private:
    void expectChecked() const {
        if (duty_.pending()) {
            detail::misusedResult(
                "a Result left unchecked: " +
                (state_.index() == 0 ? std::string("a success") : std::get<1>(state_).reason()));
        }
    }

    std::variant<Value, Failure> state_;
    [[no_unique_address]] detail::CheckDuty duty_;
};

} // namespace qz
