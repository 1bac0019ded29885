#pragma once
// A fresh directory under $TMPDIR, removed with everything in it when the object goes.

#include <filesystem>

namespace ferrowin::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& child) const {
    return path_ / child;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace ferrowin::testing
