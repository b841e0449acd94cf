// Enumerators over snapshots: the Next/Skip/Reset/Clone contract, references handed out and kept,
// and the VARIANT enumerator.
#include <gtest/gtest.h>

#include <vector>

#include "comrt/enumerator.h"
#include "event_doubles.h"

namespace event_test {
namespace {

using comrt::com_ptr;

class EnumeratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) objects.push_back(comrt::make<FnSink>([](LONG) { return S_OK; }));
  }
  com_ptr<IEnumUnknown> make_enum() {
    std::vector<com_ptr<IUnknown>> items;
    for (auto& o : objects) items.emplace_back(o->identity());
    return comrt::make_enumerator<IEnumUnknown>(std::move(items));
  }
  IUnknown* object(int i) { return objects[i]->identity(); }

  std::vector<com_ptr<FnSink>> objects;
};

// Takes over what Next delivered so it is released at the end of the test.
std::vector<com_ptr<IUnknown>> adopt(IUnknown** got, ULONG n) {
  std::vector<com_ptr<IUnknown>> r;
  for (ULONG i = 0; i < n; ++i) r.push_back(comrt::attach(got[i]));
  return r;
}

TEST_F(EnumeratorTest, NextDeliversInOrderAndReportsShortReads) {
  auto e = make_enum();
  IUnknown* got[4] = {};
  ULONG fetched = 99;
  ASSERT_EQ(e->Next(2, got, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  auto first = adopt(got, 2);
  EXPECT_EQ(first[0].get(), object(0));
  EXPECT_EQ(first[1].get(), object(1));
  // Each delivered entry has its own reference, besides the snapshot's and ours.
  EXPECT_EQ(ref_count(object(0)), 3u);

  EXPECT_EQ(e->Next(4, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(2));
  EXPECT_EQ(e->Next(1, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  // celt 1 may omit the count.
  e->Reset();
  ASSERT_EQ(e->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(0));
  // Asking for nothing delivers nothing.
  EXPECT_EQ(e->Next(0, nullptr, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
}

TEST_F(EnumeratorTest, NextRefusesBadArgumentsWithoutMoving) {
  auto e = make_enum();
  IUnknown* got[2] = {};
  ULONG fetched = 99;
  EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Next(2, got, nullptr), E_INVALIDARG);
  EXPECT_EQ(got[0], nullptr);
  ASSERT_EQ(e->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(0));
}

TEST_F(EnumeratorTest, SkipAndReset) {
  auto e = make_enum();
  IUnknown* got[1] = {};
  EXPECT_EQ(e->Skip(2), S_OK);
  ASSERT_EQ(e->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(2));
  EXPECT_EQ(e->Skip(0), S_OK);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  e->Reset();
  EXPECT_EQ(e->Skip(5), S_FALSE);  // past the end: stays at the end
  EXPECT_EQ(e->Next(1, got, nullptr), S_FALSE);
  EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);
  EXPECT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(0));
}

TEST_F(EnumeratorTest, CloneSharesTheSnapshotButHasItsOwnPosition) {
  auto e = make_enum();
  e->Skip(1);
  const ULONG refs = ref_count(object(0));
  com_ptr<IEnumUnknown> clone;
  ASSERT_EQ(e->Clone(clone.put()), S_OK);
  EXPECT_EQ(ref_count(object(0)), refs);  // no second copy of the snapshot
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);

  IUnknown* got[1] = {};
  // The clone starts where its source stood, then each moves on its own.
  ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(1));
  ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(2));
  ASSERT_EQ(e->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(adopt(got, 1)[0].get(), object(1));

  // The snapshot lives as long as its last enumerator.
  e = nullptr;
  EXPECT_EQ(ref_count(object(0)), refs);
  clone = nullptr;
  EXPECT_EQ(ref_count(object(0)), refs - 1);
}

TEST(Enumerator, EmptySnapshotDeliversNothing) {
  auto e = comrt::make_enumerator<IEnumUnknown>({});
  IUnknown* got[2] = {};
  ULONG fetched = 99;
  EXPECT_EQ(e->Next(2, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Next(1, got, nullptr), S_FALSE);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  EXPECT_EQ(e->Skip(0), S_OK);
  com_ptr<IEnumUnknown> clone;
  ASSERT_EQ(e->Clone(clone.put()), S_OK);
  EXPECT_EQ(clone->Next(1, got, nullptr), S_FALSE);
}

TEST(Enumerator, VariantEnumeratorHandsOutCopies) {
  auto item = comrt::make<Item>();
  IDispatch* const dispatch = static_cast<ITestItem*>(item.get());
  std::vector<comrt::variant> values;
  values.emplace_back(LONG{17});
  VARIANT raw;
  VariantInit(&raw);
  raw.vt = VT_DISPATCH;
  raw.pdispVal = com_ptr<IDispatch>(dispatch).detach();
  values.push_back(comrt::enum_variant::adopt(raw));
  EXPECT_EQ(raw.vt, VT_EMPTY);  // adopted
  EXPECT_EQ(ref_count(dispatch), 2u);

  auto e = comrt::make_enumerator<IEnumVARIANT>(std::move(values));
  VARIANT got[3];
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(got[0].vt, VT_I4);
  EXPECT_EQ(got[0].lVal, 17);
  EXPECT_EQ(got[1].vt, VT_DISPATCH);
  EXPECT_EQ(got[1].pdispVal, dispatch);
  EXPECT_EQ(ref_count(dispatch), 3u);  // the delivered copy holds its own reference
  VariantClear(&got[1]);
  e = nullptr;
  EXPECT_EQ(ref_count(dispatch), 1u);
}

TEST(Enumerator, ConnectionEnumeratorCarriesCookies) {
  auto sink = comrt::make<FnSink>([](LONG) { return S_OK; });
  auto e = comrt::make_enumerator<IEnumConnections>({{sink->identity(), 7}});
  CONNECTDATA cd{};
  ASSERT_EQ(e->Next(1, &cd, nullptr), S_OK);
  com_ptr<IUnknown> got = comrt::attach(cd.pUnk);
  EXPECT_EQ(got.get(), sink->identity());
  EXPECT_EQ(cd.dwCookie, 7u);
}

}  // namespace
}  // namespace event_test
