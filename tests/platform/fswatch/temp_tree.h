// A scratch folder for watcher tests, removed with everything in it (paths of any length).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace fswatch_test {

class temp_tree {
 public:
  temp_tree() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fswatch-XXXXXX";
    root_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    EXPECT_FALSE(root_.empty());
  }
  ~temp_tree() {
    const auto slash = root_.rfind('/');
    const int parent = ::open(root_.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    remove_at(parent, root_.substr(slash + 1).c_str());
    ::close(parent);
  }
  temp_tree(const temp_tree&) = delete;
  temp_tree& operator=(const temp_tree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // mkdir -p
  void make_folders(const std::string& relative) const {
    for (size_t at = 0; at != std::string::npos;) {
      at = relative.find('/', at + 1);
      ::mkdir(path(relative.substr(0, at)).c_str(), 0755);
    }
  }
  // Appends a line, creating the file.
  void write(const std::string& relative) const {
    const int fd = ::open(path(relative).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << relative;
    ASSERT_EQ(::write(fd, "x\n", 2), 2);
    ::close(fd);
  }
  void remove(const std::string& relative) const {
    const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    remove_at(fd, relative.c_str());
    ::close(fd);
  }

 private:
  static void remove_at(int at, const char* name) {
    const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      ::unlinkat(at, name, 0);
      return;
    }
    DIR* dir = ::fdopendir(fd);
    while (const dirent* e = ::readdir(dir)) {
      if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") remove_at(fd, e->d_name);
    }
    ::closedir(dir);
    ::unlinkat(at, name, AT_REMOVEDIR);
  }

  std::string root_;
};

// Waits until `done` holds, for at most ten seconds.
inline bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace fswatch_test
