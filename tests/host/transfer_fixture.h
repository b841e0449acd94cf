// Shared by the transfer-queue tests: a temporary folder with functions that write and list files, the
// host classes registered in the process, and a running queue whose observer is a GoogleMock.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <comrt/strings.h>

#include "host/queue/transfer_queue.h"

namespace host_test {

namespace fs = std::filesystem;
using comrt::com_ptr;
using tolvane::host::CTransferQueue;
using tolvane::host::CTransferQueueItem;

inline constexpr std::chrono::milliseconds kHangGuard{60'000};

class MockObserver : public tolvane::host::transfer_observer {
 public:
  MOCK_METHOD(void, transfer_started, (CTransferQueueItem&), (override));
  MOCK_METHOD(void, transfer_progress, (CTransferQueueItem&, const tolvane::host::transfer_progress&), (override));
  MOCK_METHOD(void, transfer_finished, (CTransferQueueItem&, HRESULT), (override));
};

class TransferTest : public ::testing::Test {
 public:
  TransferTest() {
    std::string pattern = (fs::temp_directory_path() / "tolvane-transfer-XXXXXX").string();
    root_ = fs::path(::mkdtemp(pattern.data()));
    // What a test does not state is allowed; a test's own expectations take precedence.
    EXPECT_CALL(observer, transfer_started(::testing::_)).Times(::testing::AnyNumber());
    EXPECT_CALL(observer, transfer_finished(::testing::_, ::testing::_)).Times(::testing::AnyNumber());
  }
  ~TransferTest() override {
    queue->stop();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path path(const std::string& relative) const { return root_ / relative; }
  void write(const std::string& relative, const std::string& content) const {
    fs::create_directories(path(relative).parent_path());
    std::ofstream(path(relative), std::ios::binary) << content;
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(path(relative), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // Every file below a folder, relative to it, hidden temporary files included.
  std::set<std::string> files_below(const std::string& relative) const {
    std::set<std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(path(relative), ec), end; !ec && it != end; it.increment(ec))
      if (it->is_regular_file()) files.insert(it->path().lexically_relative(path(relative)).generic_string());
    return files;
  }

  com_ptr<CTransferQueueItem> folder_transfer(const std::string& source, const std::string& destination) const {
    return CTransferQueueItem::create({source, destination, TRANSFER_ITEM_KIND_FOLDER});
  }
  // Queues the transfer at the tail and waits until it has finished; its result.
  HRESULT transfer(CTransferQueueItem* item) {
    EXPECT_EQ(queue->InsertTail(item), S_OK);
    EXPECT_TRUE(item->finished().wait(kHangGuard));
    return item->result();
  }

  fs::path root_;
  tolvane::host::transfer_class_registration classes = tolvane::host::register_transfer_classes();
  ::testing::NiceMock<MockObserver> observer;
  const com_ptr<CTransferQueue> queue = CTransferQueue::create(&observer);
};

}  // namespace host_test
