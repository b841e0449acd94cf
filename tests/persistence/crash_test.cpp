// A writer killed at any moment of a save leaves a complete schedule file: the one before that
// save or the one after it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "persistence_doubles.h"

namespace {

constexpr int kItems = 50;

TEST(CrashTest, AWriterKilledDuringSavesLeavesAWholeFile) {
  // A killed process loses nothing that reached the kernel, so a file system in memory serves
  // where there is one (and spares the disk 200 flushes).
  std::string pattern = std::filesystem::is_directory("/dev/shm")
                            ? "/dev/shm/tolvane-crash-XXXXXX"
                            : (std::filesystem::temp_directory_path() / "tolvane-crash-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path folder = pattern;
  std::shared_ptr<void> cleanup(nullptr, [&](void*) { std::error_code ec; std::filesystem::remove_all(folder, ec); });
  const std::string file = (folder / "schedule.xml").string(), items = std::to_string(kItems);
  std::mt19937 random(std::random_device{}());
  auto reader = comrt::make<tolvane::CScheduler>();
  for (int round = 0; round < 200; ++round) {
    // The writer tells of each save with a byte on its standard output.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::execl(SCHEDULE_FILE_WRITER, SCHEDULE_FILE_WRITER, file.c_str(), items.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    ASSERT_GT(pid, 0);
    // Wait for some saves (one at least, so that the file exists), then kill at a random moment.
    char byte;
    for (int i = 0, saves = 1 + static_cast<int>(random() % 3); i < saves; ++i)
      ASSERT_EQ(::read(fds[0], &byte, 1), 1) << "the writer stopped";
    ::usleep(static_cast<useconds_t>(random() % 3000));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(fds[0]);

    ASSERT_EQ(reader->Load(persist_test::text_of(file).get()), S_OK) << "round " << round;
    const auto loaded = persist_test::items_in(reader.get());
    ASSERT_EQ(loaded.size(), static_cast<size_t>(kItems)) << "round " << round;
    for (const auto& item : loaded) ASSERT_EQ(persist_test::name_of(item.get()), persist_test::name_of(loaded[0].get()));
  }
}

}  // namespace
