#pragma once

#include <functional>

namespace qz::test {

// Dispatches the default GLib main context until `condition` holds or `seconds` have passed;
// returns whether it holds. Wakes up at least every 10 ms to look at the condition.
bool runMainContextUntil(const std::function<bool()>& condition, double seconds);

} // namespace qz::test
