#include "base/path.h"

namespace qz::platform {

std::string appendPathComponent(const std::string& base, const std::string& component) {
    std::string head = base;
    while (head.size() > 1 && head.back() == '/') {
        head.pop_back();
    }
    std::string::size_type start = component.find_first_not_of('/');
    const std::string tail = start == std::string::npos ? std::string() : component.substr(start);
    if (head.empty()) {
        return tail;
    }
    if (tail.empty()) {
        return head;
    }
    return head == "/" ? head + tail : head + "/" + tail;
}

std::string deletingLastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return slash == 0 ? std::string("/") : p.substr(0, slash);
}

} // namespace qz::platform
