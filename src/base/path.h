#pragma once

#include <string>

namespace qz::platform {

// Joins two path parts with exactly one separator between them, as the desktop platform's
// path-component append does. An empty base yields the component alone.
std::string appendPathComponent(const std::string& base, const std::string& component);

// The path's last component removed (everything up to its last "/"); "/" for a top-level entry.
std::string deletingLastPathComponent(const std::string& path);

} // namespace qz::platform
