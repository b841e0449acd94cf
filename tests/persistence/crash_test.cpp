// A writer killed at any moment of a save leaves a complete schedule file: the one before that
// save or the one after it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "persistence_doubles.h"

namespace {

constexpr int kItems = 50;

// Starts the writer with its output on a pipe; returns its pid and the pipe's read end.
pid_t start_writer(const std::string& file, int& output) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    const std::string items = std::to_string(kItems);
    ::execl(SCHEDULE_FILE_WRITER, SCHEDULE_FILE_WRITER, file.c_str(), items.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  output = fds[0];
  return pid;
}

TEST(CrashTest, AWriterKilledDuringSavesLeavesAWholeFile) {
  // A process that is killed loses nothing that reached the kernel, so a file system in memory
  // serves (and spares the disk 200 flushes).
  char pattern[] = "/dev/shm/tolvane-crash-XXXXXX";
  const bool in_memory = ::mkdtemp(pattern) != nullptr;
  sched_test::scratch_folder disk;
  const std::filesystem::path folder = in_memory ? std::filesystem::path(pattern) : disk.path();
  struct remove_folder {
    std::filesystem::path path;
    ~remove_folder() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } cleanup{folder};
  const auto file = folder / "schedule.xml";
  std::mt19937 random(std::random_device{}());
  auto reader = comrt::make<tolvane::CScheduler>();
  for (int round = 0; round < 200; ++round) {
    int output = -1;
    const pid_t pid = start_writer(file.string(), output);
    ASSERT_GT(pid, 0);
    // Wait for some saves (one at least, so that the file exists), then kill at a random moment.
    const int saves = 1 + static_cast<int>(random() % 3);
    char byte;
    for (int i = 0; i < saves; ++i) ASSERT_EQ(::read(output, &byte, 1), 1) << "the writer stopped";
    ::usleep(static_cast<useconds_t>(random() % 3000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(output);

    ASSERT_EQ(reader->Load(persist_test::text_of(file).get()), S_OK) << "round " << round;
    const auto items = persist_test::items_in(reader.get());
    ASSERT_EQ(items.size(), static_cast<size_t>(kItems)) << "round " << round;
    for (const auto& item : items) ASSERT_EQ(persist_test::name_of(item.get()), persist_test::name_of(items[0].get()));
  }
}

}  // namespace
