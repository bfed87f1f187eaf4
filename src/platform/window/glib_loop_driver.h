#pragma once

#include "platform/system/loop_bridge.h"

#include <memory>

namespace qz::platform {

// Runs our loop from GLib's default main context, at idle priority so that a socket that is
// always ready never holds back GTK's input and redraws. Part of the GTK module: the program
// itself never links GLib. Lets go of the loop when destroyed.
class GlibLoopDriver {
  public:
    explicit GlibLoopDriver(LoopBridge& loop);
    ~GlibLoopDriver();
    GlibLoopDriver(const GlibLoopDriver&) = delete;
    GlibLoopDriver& operator=(const GlibLoopDriver&) = delete;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::platform
