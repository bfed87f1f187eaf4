#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <variant>

namespace qz {

// Why one of our own operations failed, in words fit for a log line.
struct Failure {
    std::string reason;
};

// A failure of a system call: "what: <the system's reason>", from errno as it stands.
inline Failure systemFailure(const std::string& what) {
    return Failure{what + ": " + std::strerror(errno)};
}

// The one way our own operations fail: the value, or the Failure that says why there is none.
// (The Parts' functions keep their own signatures.)
template <class T = void> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    explicit operator bool() const {
        return state_.index() == 0;
    }
    const T& value() const {
        return std::get<0>(state_);
    }
    const T& operator*() const {
        return value();
    }
    const T* operator->() const {
        return &value();
    }
    const std::string& reason() const {
        return std::get<1>(state_).reason;
    }

  private:
    std::variant<T, Failure> state_;
};

template <> class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)), failed_(true) {}

    explicit operator bool() const {
        return !failed_;
    }
    const std::string& reason() const {
        return failure_.reason;
    }

  private:
    Failure failure_;
    bool failed_ = false;
};

} // namespace qz
