// The host's transfer interfaces against their published slot order: the host implements them, so
// a swapped method breaks every host silently.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "TransferQueue.h"

namespace {

// The vtable slot of a virtual member function, read from its pointer-to-member representation
// (Itanium C++ ABI: the pointer field holds 1 + the slot's byte offset for a virtual function on
// x86; on ARM the offset itself, with the virtual flag in the adjustment).
template <class M>
size_t slot_of(M pmf) {
  static_assert(sizeof(M) == 2 * sizeof(ptrdiff_t));
  ptrdiff_t repr[2];
  std::memcpy(repr, &pmf, sizeof repr);
#if defined(__arm__) || defined(__aarch64__)
  return static_cast<size_t>(repr[0]) / sizeof(void*);
#else
  return static_cast<size_t>(repr[0] - 1) / sizeof(void*);
#endif
}

constexpr size_t kFirstAfterUnknown = 3;

// The slots of `members` follow one another from `first` on.
void expect_consecutive(std::initializer_list<size_t> members, size_t first) {
  size_t index = 0;
  for (size_t slot : members) EXPECT_EQ(slot, first + index++) << "member " << index - 1;
}

TEST(TypeLibrarySlots, HostTransferOperationsFollowTheOrderOfOneRun) {
  using T = ITransferQueueItem;
  expect_consecutive({slot_of(&T::CreateQueueCopy), slot_of(&T::get_Kind), slot_of(&T::get_Source),
                      slot_of(&T::ApplyChangeSet), slot_of(&T::get_Dependencies)},
                     kFirstAfterUnknown);
  expect_consecutive({slot_of(&ITransferSourceDescriptor::get_Mode), slot_of(&ITransferSourceDescriptor::get_Path)},
                     kFirstAfterUnknown);
  expect_consecutive({slot_of(&ITransferQueue::InsertHead), slot_of(&ITransferQueue::InsertTail)}, kFirstAfterUnknown);
}

}  // namespace
