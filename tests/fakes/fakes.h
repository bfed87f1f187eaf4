#pragma once

// The run's settings, linked into test programs in place of the real ones.

#include "base/settings.h"

namespace qz::test {

// The run's settings, which the test may change (the executable's path chooses the bundle).
Settings& fakeRunSettings();

} // namespace qz::test
