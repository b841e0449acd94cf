// A schedule file that the tests script: what reaches it, with which path, and what it answers.
#pragma once

#include <gmock/gmock.h>

#include <string>

#include "scheduler/scheduler.h"

namespace sched_test {

class MockStorage : public tolvane::schedule_storage {
 public:
  MOCK_METHOD(HRESULT, load, (const std::u16string& path, IXMLArchiveSerializable* root), (noexcept, override));
  MOCK_METHOD(HRESULT, save, (const std::u16string& path, IXMLArchiveSerializable* root), (noexcept, override));
};

}  // namespace sched_test
