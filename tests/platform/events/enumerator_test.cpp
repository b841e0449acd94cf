// Enumerators over snapshots: the Next/Skip/Reset/Clone contract and the references they hand out
// and keep.
#include <gtest/gtest.h>

#include <vector>

#include "comrt/enumerator.h"
#include "event_doubles.h"

namespace event_test {
namespace {

// The next entry delivered by `from` (null when none is left).
com_ptr<IUnknown> next(IEnumUnknown* from) {
  IUnknown* got = nullptr;
  return from->Next(1, &got, nullptr), comrt::attach(got);
}

TEST(Enumerator, NextSkipResetAndCloneFollowTheContract) {
  std::vector<com_ptr<FnSink>> objects;
  std::vector<com_ptr<IUnknown>> items;
  for (int i = 0; i < 3; ++i) items.emplace_back(objects.emplace_back(comrt::make<FnSink>(nullptr))->identity());
  auto object = [&](int i) { return objects[i]->identity(); };
  auto e = comrt::make_enumerator<IEnumUnknown>(std::move(items));
  IUnknown* got[4] = {}; ULONG fetched = 99;
  ASSERT_EQ(e->Next(2, got, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  com_ptr<IUnknown> first = comrt::attach(got[0]), second = comrt::attach(got[1]);
  EXPECT_EQ(ref_count(object(0)), 3u);  // ours, the snapshot's and the delivered one
  EXPECT_EQ(e->Next(4, got, &fetched), S_FALSE);  // fewer remained than asked for
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(std::vector<IUnknown*>({first.get(), second.get(), comrt::attach(got[0]).get()}),
            std::vector<IUnknown*>({object(0), object(1), object(2)}));

  e->Reset();
  EXPECT_EQ(e->Next(2, got, nullptr), E_INVALIDARG);  // only celt 1 may omit the count
  EXPECT_EQ(next(e.get()).get(), object(0));          // the failure did not move
  EXPECT_EQ(e->Skip(2), S_OK);                        // to exactly the end
  EXPECT_EQ(next(e.get()), nullptr);
  e->Reset();
  EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);  // past the end: stays at the end
  EXPECT_EQ(next(e.get()), nullptr);

  // A clone shares the snapshot and starts where its source stood, with its own position.
  e->Reset(), e->Skip(1);
  const ULONG refs = ref_count(object(0));
  com_ptr<IEnumUnknown> clone;
  ASSERT_EQ(e->Clone(clone.put()), S_OK);
  EXPECT_EQ(ref_count(object(0)), refs);  // no second copy of the snapshot
  EXPECT_EQ(next(clone.get()).get(), object(1));
  EXPECT_EQ(next(clone.get()).get(), object(2));
  EXPECT_EQ(next(e.get()).get(), object(1));
  e = nullptr;
  EXPECT_EQ(ref_count(object(0)), refs);  // the snapshot lives as long as its last enumerator
  clone = nullptr;
  EXPECT_EQ(ref_count(object(0)), refs - 1);
}

}  // namespace
}  // namespace event_test
