#pragma once

#include "platform/system/directories.h"

#include <optional>
#include <string>

namespace qz {

// The run's private scratch directory, removed with its contents when the object goes. Making
// one also removes the scratch directories that runs killed before their end left behind.
class TempDir {
  public:
    explicit TempDir(std::string name);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string getDir() const;

  private:
    std::optional<platform::RunDirectory> dir_;
};

} // namespace qz
