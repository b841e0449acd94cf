// Connection points: the container, subscription bookkeeping, and firing to vtable and dispatch
// sinks while sinks come and go from inside their handlers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "event_doubles.h"

namespace event_test {
namespace {

using ::testing::_;
using ::testing::Eq;

com_ptr<IUnknown> recording_sink(std::vector<int>& calls, int tag, HRESULT result = S_OK) {
  return sink_of([&calls, tag, result](LONG) { return calls.push_back(tag), result; });
}

TEST(ConnectionPoint, KeepsCookiesSlotsAndReferencesAndItsContainerAlive) {
  const int live_before = live_objects;
  auto source = comrt::make<Source>();
  IUnknown* const src = source->identity();
  auto cp = point_of(src, IID_ITestEvents);
  std::vector<int> calls;
  auto a = recording_sink(calls, 1), b = recording_sink(calls, 2, E_ACCESSDENIED), c = recording_sink(calls, 3, E_FAIL);
  const DWORD ca = advise<ITestEvents>(src, a.get()), cb = advise<ITestEvents>(src, b.get());
  DWORD cookie = 99;  // a sink that does not answer ITestEvents
  EXPECT_EQ(cp->Advise(comrt::make<MockDispatchSink>()->identity(), &cookie), CONNECT_E_CANNOTCONNECT);

  // The connection enumerator is a snapshot holding its own references; after an Unadvise it lists
  // the remaining sink only, not the vacated slot before it.
  com_ptr<IEnumConnections> snapshot, after;
  ASSERT_EQ(cp->EnumConnections(snapshot.put()), S_OK);
  EXPECT_EQ(cp->Unadvise(ca), S_OK);
  EXPECT_EQ(cp->Unadvise(ca), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(cp->EnumConnections(after.put()), S_OK);
  EXPECT_EQ(after->Skip(2), S_FALSE);
  CONNECTDATA cd[3] = {}; ULONG fetched = 0;
  EXPECT_EQ(snapshot->Next(3, cd, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(cd[0].dwCookie, ca);
  EXPECT_EQ(comrt::attach(cd[0].pUnk).get(), a.get());
  EXPECT_EQ(comrt::attach(cd[1].pUnk).get(), b.get());
  snapshot = after = nullptr;
  EXPECT_EQ(ref_count(a.get()), 1u);

  // A vacated slot is reused in place: the other sinks keep their order; no cookie comes back.
  const DWORD cc = advise<ITestEvents>(src, c.get()), newest = advise<ITestEvents>(src, c.get());
  ASSERT_EQ(cp->Unadvise(newest), S_OK);
  const DWORD again = advise<ITestEvents>(src, c.get());
  for (DWORD used : {ca, cb, cc, newest}) EXPECT_NE(again, used);
  EXPECT_EQ(cp->Unadvise(again), S_OK);
  EXPECT_EQ(source->Ping(0), E_ACCESSDENIED);  // every sink is called in order; the last status counts
  EXPECT_EQ(calls, (std::vector<int>{3, 2}));
  source->point<ITestEvents>().disconnect_all();
  EXPECT_EQ(ref_count(b.get()), 1u);

  // A point keeps its container alive and leads back to it.
  source = nullptr;
  com_ptr<IConnectionPointContainer> back;
  ASSERT_EQ(cp->GetConnectionPointContainer(back.put()), S_OK);
  EXPECT_EQ(back.as<IUnknown>().get(), src);
  back = nullptr, cp = nullptr;
  EXPECT_EQ(live_objects, live_before + 3);  // the sinks a, b and c
}

TEST(ConnectionPoint, HandlersMayUnadviseAndAdviseDuringTheFiring) {
  const int live_before = live_objects;
  auto source = comrt::make<Source>();
  IUnknown* const src = source->identity();
  std::vector<int> calls;
  DWORD self_cookie = 0, victim_cookie = 0;
  // The first sink advises a new sink (appended behind the others), then unadvises itself and the
  // third sink, holding the last references to both.
  self_cookie = advise<ITestEvents>(src, sink_of([&](LONG) {
                                           calls.push_back(1);
                                           advise<ITestEvents>(src, recording_sink(calls, 4).get());
                                           EXPECT_EQ(unadvise<ITestEvents>(src, self_cookie), S_OK);
                                           return unadvise<ITestEvents>(src, victim_cookie);
                                         }).get());
  advise<ITestEvents>(src, recording_sink(calls, 2).get());
  victim_cookie = advise<ITestEvents>(src, recording_sink(calls, 3).get());

  EXPECT_EQ(source->Ping(0), S_OK);
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));  // sinks advised during a firing wait for the next one
  EXPECT_EQ(live_objects, live_before + 3);    // the source, sink 2 and sink 4
  calls.clear();
  source->Ping(0);
  EXPECT_EQ(calls, (std::vector<int>{2, 4}));
}

TEST(ConnectionPoint, DispatchSinksGetTheDispidAndExactlyTheArguments) {
  auto source = comrt::make<Source>();
  auto sink = comrt::make<MockDispatchSink>(), argument = comrt::make<MockDispatchSink>();
  advise<_ITestEvents>(source->identity(), sink->identity());
  IDispatch* const arg = static_cast<ITestDispatchSink*>(argument.get());
  EXPECT_CALL(*sink, Invoke(1, Eq(IID_NULL), LOCALE_USER_DEFAULT, DISPATCH_METHOD, _, nullptr, nullptr, nullptr))
      .WillOnce([&](DISPID, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) {
        // Positional arguments arrive last to first; the object holds a reference of its own.
        EXPECT_TRUE(p->cNamedArgs == 0 && p->cArgs == 2 && p->rgvarg[0].vt == VT_DISPATCH && p->rgvarg[1].vt == VT_I4);
        EXPECT_EQ(p->rgvarg[0].pdispVal, arg);
        EXPECT_EQ(p->rgvarg[1].lVal, 42);
        EXPECT_EQ(ref_count(arg), 2u);
        return E_FAIL;
      });
  EXPECT_EQ(source->point<_ITestEvents>().fire_dispatch(1, LONG{42}, arg), E_FAIL);
  EXPECT_EQ(ref_count(arg), 1u);
}

}  // namespace
}  // namespace event_test
