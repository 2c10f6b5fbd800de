#pragma once
// A fresh directory for one test, removed with everything in it afterwards. It lies in the
// build tree, where programs may be run (a temporary folder may forbid that).

#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>

namespace morvane::testing {

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = std::string(MORVANE_SCRATCH_ROOT) + "/update-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

  // The names in the directory.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored))
      names.insert(entry.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

}  // namespace morvane::testing
