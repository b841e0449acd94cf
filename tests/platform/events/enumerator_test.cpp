// Enumerators over snapshots: the Next/Skip/Reset/Clone contract and the references they hand out
// and keep.
#include <gtest/gtest.h>

#include <vector>

#include "comrt/enumerator.h"
#include "event_doubles.h"

namespace event_test {
namespace {

class EnumeratorTest : public ::testing::Test {
 protected:
  EnumeratorTest() {
    std::vector<com_ptr<IUnknown>> items;
    for (int i = 0; i < 3; ++i) {
      objects.push_back(comrt::make<FnSink>([](LONG) { return S_OK; }));
      items.emplace_back(objects.back()->identity());
    }
    e = comrt::make_enumerator<IEnumUnknown>(std::move(items));
  }
  IUnknown* object(int i) { return objects[i]->identity(); }
  // The next entry delivered by `from` (null when none is left).
  static com_ptr<IUnknown> next(IEnumUnknown* from) {
    IUnknown* got = nullptr;
    from->Next(1, &got, nullptr);
    return comrt::attach(got);
  }

  std::vector<com_ptr<FnSink>> objects;
  com_ptr<IEnumUnknown> e;
};

TEST_F(EnumeratorTest, NextSkipResetAndCloneFollowTheContract) {
  IUnknown* got[4] = {};
  ULONG fetched = 99;
  ASSERT_EQ(e->Next(2, got, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  com_ptr<IUnknown> first = comrt::attach(got[0]), second = comrt::attach(got[1]);
  EXPECT_EQ(first.get(), object(0));
  EXPECT_EQ(second.get(), object(1));
  EXPECT_EQ(ref_count(object(0)), 3u);  // ours, the snapshot's and the delivered one
  EXPECT_EQ(e->Next(4, got, &fetched), S_FALSE);  // fewer remained than asked for
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(comrt::attach(got[0]).get(), object(2));

  e->Reset();
  EXPECT_EQ(e->Next(2, got, nullptr), E_INVALIDARG);  // only celt 1 may omit the count
  EXPECT_EQ(next(e.get()).get(), object(0));          // the failure did not move
  EXPECT_EQ(e->Skip(2), S_OK);                        // to exactly the end
  EXPECT_EQ(next(e.get()), nullptr);
  e->Reset();
  EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);  // past the end: stays at the end
  EXPECT_EQ(next(e.get()), nullptr);

  // A clone shares the snapshot and starts where its source stood, with its own position.
  e->Reset();
  e->Skip(1);
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

TEST(Enumerator, VariantSnapshotsHandOutCopies) {
  auto object = comrt::make<MockDispatchSink>();
  IDispatch* const dispatch = static_cast<ITestDispatchSink*>(object.get());
  std::vector<comrt::variant> values;
  values.emplace_back(LONG{17});
  values.emplace_back(dispatch);
  auto e = comrt::make_enumerator<IEnumVARIANT>(std::move(values));
  VARIANT got[3];
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(got[0].lVal, 17);
  EXPECT_EQ(got[1].pdispVal, dispatch);
  EXPECT_EQ(ref_count(dispatch), 3u);  // the delivered copy holds its own reference
  VariantClear(&got[1]);
  e = nullptr;
  EXPECT_EQ(ref_count(dispatch), 1u);
}

}  // namespace
}  // namespace event_test
