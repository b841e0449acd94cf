// A scratch folder for watcher tests, removed with everything in it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace fswatch_test {

class temp_tree {
 public:
  temp_tree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fswatch-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    EXPECT_FALSE(root_.empty());
  }
  ~temp_tree() { remove(""); }
  temp_tree(const temp_tree&) = delete;
  temp_tree& operator=(const temp_tree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  void make_folders(const std::string& relative) const {
    std::error_code ignored;
    std::filesystem::create_directories(path(relative), ignored);
  }
  // Appends a line, creating the file.
  void write(const std::string& relative) const { ASSERT_TRUE(std::ofstream(path(relative), std::ios::app) << "x\n"); }
  void remove(const std::string& relative) const {
    std::error_code ignored;
    std::filesystem::remove_all(relative.empty() ? root_ : path(relative), ignored);
  }

 private:
  std::string root_;
};

// Waits until `done` holds, for at most ten seconds.
inline bool eventually(const std::function<bool()>& done) {
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !done();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace fswatch_test
