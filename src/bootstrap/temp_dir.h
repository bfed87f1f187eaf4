#pragma once

#include <string>

namespace qz {

// The run's private scratch directory, removed with its contents when the object goes.
class TempDir {
  public:
    explicit TempDir(std::string name);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string getDir() const;

  private:
    std::string path_;
};

} // namespace qz
