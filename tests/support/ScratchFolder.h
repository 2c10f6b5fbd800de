#pragma once
// A fresh folder for one test, removed with everything in it afterwards.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace morvane::testing {

class ScratchFolder {
 public:
  // In the system's temporary folder.
  ScratchFolder() : ScratchFolder(std::filesystem::temp_directory_path().string()) {}
  // Under `root`. Tests that start programs from the folder pass a folder of the build tree:
  // a temporary folder may be mounted so that nothing in it can be run.
  explicit ScratchFolder(const std::string& root) {
    std::string pattern = root + "/morvane-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "cannot make a scratch folder under " << root;
      return;
    }
    path_ = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

  const std::string& path() const { return path_; }
  // The path of `name` in the folder.
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  // Writes the bytes into a file of that name and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = Path(name);
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  // The names in the folder.
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
