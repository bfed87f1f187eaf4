#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace qz::test {

// Sets or unsets one environment variable for a scope and restores it afterwards.
class EnvGuard {
  public:
    EnvGuard(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            old_ = old;
        }
        apply(value);
    }
    ~EnvGuard() {
        apply(old_);
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    void apply(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    std::string name_;
    std::optional<std::string> old_;
};

} // namespace qz::test
