// Connection points: subscription bookkeeping, the container, and firing to vtable and dispatch
// sinks while sinks come and go.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "event_doubles.h"

namespace event_test {
namespace {

using comrt::com_ptr;
using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;

com_ptr<IConnectionPoint> find_point(IUnknown* source, REFIID riid) {
  com_ptr<IConnectionPoint> cp;
  comrt::check_hresult(comrt::com_ptr<IUnknown>(source).as<IConnectionPointContainer>()->FindConnectionPoint(
      riid, cp.put()));
  return cp;
}

com_ptr<FnSink> counting_sink(std::vector<int>& calls, int tag, HRESULT result = S_OK) {
  return comrt::make<FnSink>([&calls, tag, result](LONG) {
    calls.push_back(tag);
    return result;
  });
}

TEST(ConnectionPointContainer, FindsEachOutgoingInterfaceAndRefusesOthers) {
  auto source = comrt::make<Source>();
  auto container = source.as<IConnectionPointContainer>();

  com_ptr<IConnectionPoint> vt, disp;
  ASSERT_EQ(container->FindConnectionPoint(IID_ITestEvents, vt.put()), S_OK);
  ASSERT_EQ(container->FindConnectionPoint(IID__ITestEvents, disp.put()), S_OK);
  IID iid{};
  EXPECT_EQ(vt->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, IID_ITestEvents);
  EXPECT_EQ(disp->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, IID__ITestEvents);
  EXPECT_EQ(vt->GetConnectionInterface(nullptr), E_POINTER);

  auto* stale = reinterpret_cast<IConnectionPoint*>(8);
  EXPECT_EQ(container->FindConnectionPoint(IID_ITestSource, &stale), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(stale, nullptr);
  EXPECT_EQ(container->FindConnectionPoint(IID_ITestEvents, nullptr), E_POINTER);

  // The enumeration lists both points, in declaration order.
  com_ptr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
  IConnectionPoint* got[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  com_ptr<IConnectionPoint> first = comrt::attach(got[0]), second = comrt::attach(got[1]);
  EXPECT_EQ(first.get(), vt.get());
  EXPECT_EQ(second.get(), disp.get());
  EXPECT_EQ(container->EnumConnectionPoints(nullptr), E_POINTER);
}

TEST(ConnectionPointContainer, PointsShareTheContainersLifetime) {
  const int live_before = live_objects();
  auto source = comrt::make<Source>();
  IUnknown* const identity = source->identity();
  com_ptr<IConnectionPoint> cp = find_point(identity, IID_ITestEvents);
  source = nullptr;
  // The point alone keeps the source alive and leads back to it.
  EXPECT_EQ(live_objects(), live_before + 1);
  com_ptr<IConnectionPointContainer> back;
  ASSERT_EQ(cp->GetConnectionPointContainer(back.put()), S_OK);
  EXPECT_EQ(back.as<IUnknown>().get(), identity);
  EXPECT_EQ(cp->GetConnectionPointContainer(nullptr), E_POINTER);
  // The point answers for itself only.
  EXPECT_EQ(cp.as<IConnectionPoint>().get(), cp.get());
  EXPECT_FALSE(cp.try_as<ITestSource>());
  back = nullptr;
  cp = nullptr;
  EXPECT_EQ(live_objects(), live_before);
}

TEST(ConnectionPoint, AdviseAndUnadviseKeepTheBookkeeping) {
  auto source = comrt::make<Source>();
  auto cp = find_point(source->identity(), IID_ITestEvents);
  std::vector<int> calls;
  auto a = counting_sink(calls, 1), b = counting_sink(calls, 2);

  DWORD ca = 0, cb = 0;
  ASSERT_EQ(cp->Advise(a->identity(), &ca), S_OK);
  ASSERT_EQ(cp->Advise(b->identity(), &cb), S_OK);
  EXPECT_NE(ca, 0u);
  EXPECT_NE(cb, 0u);
  EXPECT_NE(ca, cb);
  EXPECT_EQ(ref_count(a->identity()), 2u);  // the point holds one reference

  // The same sink may subscribe twice and is then called twice.
  DWORD ca2 = 0;
  ASSERT_EQ(cp->Advise(a->identity(), &ca2), S_OK);
  EXPECT_NE(ca2, ca);
  EXPECT_EQ(source->Ping(0), S_OK);
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 1}));

  EXPECT_EQ(cp->Unadvise(ca), S_OK);
  EXPECT_EQ(cp->Unadvise(ca), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(cp->Unadvise(0), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(cp->Unadvise(0xDEADBEEF), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(cp->Unadvise(ca2), S_OK);
  EXPECT_EQ(ref_count(a->identity()), 1u);

  // A vacated slot is reused without disturbing the order of the others; cookies stay unique.
  auto c = counting_sink(calls, 3);
  DWORD cc = 0;
  ASSERT_EQ(cp->Advise(c->identity(), &cc), S_OK);
  EXPECT_NE(cc, cb);
  calls.clear();
  source->Ping(0);
  EXPECT_EQ(calls, (std::vector<int>{3, 2}));
}

TEST(ConnectionPoint, AdviseRefusesBadArguments) {
  auto source = comrt::make<Source>();
  auto cp = find_point(source->identity(), IID_ITestEvents);
  auto sink = comrt::make<FnSink>([](LONG) { return S_OK; });
  DWORD cookie = 99;
  EXPECT_EQ(cp->Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(cp->Advise(sink->identity(), nullptr), E_POINTER);
  // An object that does not answer the outgoing interface cannot connect.
  auto item = comrt::make<Item>();
  cookie = 99;
  EXPECT_EQ(cp->Advise(item->identity(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(ref_count(item->identity()), 1u);
  // A vtable sink cannot connect to the dispatch point and vice versa.
  EXPECT_EQ(find_point(source->identity(), IID__ITestEvents)->Advise(sink->identity(), &cookie),
            CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(ref_count(sink->identity()), 1u);
}

TEST(ConnectionPoint, EnumConnectionsIsASnapshot) {
  auto source = comrt::make<Source>();
  auto cp = find_point(source->identity(), IID_ITestEvents);
  std::vector<int> calls;
  auto a = counting_sink(calls, 1), b = counting_sink(calls, 2);
  DWORD ca = 0, cb = 0;
  cp->Advise(a->identity(), &ca);
  cp->Advise(b->identity(), &cb);

  com_ptr<IEnumConnections> e;
  ASSERT_EQ(cp->EnumConnections(e.put()), S_OK);
  ASSERT_EQ(cp->Unadvise(ca), S_OK);  // after the snapshot

  CONNECTDATA cd[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(3, cd, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(cd[0].dwCookie, ca);
  EXPECT_EQ(cd[1].dwCookie, cb);
  // Each entry carries the sink (as answered for the outgoing interface) with its own reference.
  EXPECT_EQ(cd[0].pUnk, static_cast<IUnknown*>(static_cast<ITestEvents*>(a.get())));
  EXPECT_EQ(ref_count(a->identity()), 3u);  // ours, the snapshot's, the delivered one
  comrt::attach(cd[0].pUnk);
  comrt::attach(cd[1].pUnk);
  e = nullptr;
  EXPECT_EQ(ref_count(a->identity()), 1u);
  EXPECT_EQ(cp->EnumConnections(nullptr), E_POINTER);
}

TEST(ConnectionPoint, FiringCallsEverySinkInOrderDespiteFailures) {
  auto source = comrt::make<Source>();
  std::vector<int> calls;
  // No sinks: S_OK.
  EXPECT_EQ(source->Ping(0), S_OK);
  auto a = counting_sink(calls, 1, E_FAIL), b = counting_sink(calls, 2, S_FALSE),
       c = counting_sink(calls, 3, E_ACCESSDENIED);
  for (auto* s : {a.get(), b.get(), c.get()}) advise<ITestEvents>(source->identity(), s->identity());
  // Every sink is called; the result is the last sink's status.
  EXPECT_EQ(source->Ping(0), E_ACCESSDENIED);
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
}

TEST(ConnectionPoint, SinksMayUnadviseThemselvesAndOthersWhileBeingCalled) {
  auto source = comrt::make<Source>();
  std::vector<int> calls;
  DWORD self_cookie = 0, victim_cookie = 0;
  const int live_before = live_objects();
  {
    // The first sink unadvises itself and the third; it is the last reference to both.
    auto first = comrt::make<FnSink>([&](LONG) {
      calls.push_back(1);
      EXPECT_EQ(unadvise<ITestEvents>(source->identity(), self_cookie), S_OK);
      EXPECT_EQ(unadvise<ITestEvents>(source->identity(), victim_cookie), S_OK);
      return S_OK;
    });
    self_cookie = advise<ITestEvents>(source->identity(), first->identity());
    advise<ITestEvents>(source->identity(), counting_sink(calls, 2)->identity());
    victim_cookie = advise<ITestEvents>(source->identity(), counting_sink(calls, 3)->identity());
  }
  EXPECT_EQ(source->Ping(0), S_OK);
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
  calls.clear();
  source->Ping(0);
  EXPECT_EQ(calls, (std::vector<int>{2}));
  // The unadvised sinks are gone once the firing dropped its reference.
  EXPECT_EQ(live_objects(), live_before + 1);
}

TEST(ConnectionPoint, SinksAdvisedDuringFiringAreCalledFromTheNextFiringOn) {
  auto source = comrt::make<Source>();
  std::vector<int> calls;
  int advised = 0;
  auto adder = comrt::make<FnSink>([&](LONG) {
    calls.push_back(1);
    if (advised++ == 0) advise<ITestEvents>(source->identity(), counting_sink(calls, 2)->identity());
    return S_OK;
  });
  advise<ITestEvents>(source->identity(), adder->identity());
  source->Ping(0);
  EXPECT_EQ(calls, (std::vector<int>{1}));
  calls.clear();
  source->Ping(0);
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
}

TEST(ConnectionPoint, DisconnectAllDropsEverySubscription) {
  auto source = comrt::make<Source>();
  std::vector<int> calls;
  auto a = counting_sink(calls, 1);
  const DWORD cookie = advise<ITestEvents>(source->identity(), a->identity());
  source->point<ITestEvents>().disconnect_all();
  EXPECT_EQ(ref_count(a->identity()), 1u);
  source->Ping(0);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(unadvise<ITestEvents>(source->identity(), cookie), CONNECT_E_NOCONNECTION);
}

// What a dispatch sink saw in one call.
struct seen_call {
  DISPID id;
  std::vector<VARTYPE> types;
  LONG n;
  IDispatch* item;
  ULONG item_refs;
};

TEST(ConnectionPoint, DispatchSinksReceiveTheDispidAndExactlyTheArguments) {
  auto source = comrt::make<Source>();
  source->item = comrt::make<Item>();
  IDispatch* const item_dispatch = static_cast<ITestItem*>(source->item.get());
  const ULONG item_refs = ref_count(item_dispatch);

  auto sink = comrt::make<MockDispatchSink>();
  advise<_ITestEvents>(source->identity(), sink->identity());
  std::vector<seen_call> seen;
  EXPECT_CALL(*sink, OnInvoke(kDispidOnPing, _, LOCALE_USER_DEFAULT, DISPATCH_METHOD, _, nullptr, nullptr, nullptr))
      .WillOnce(Invoke([&](DISPID id, REFIID riid, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) {
        EXPECT_EQ(riid, IID_NULL);
        EXPECT_EQ(p->cNamedArgs, 0u);
        EXPECT_EQ(p->rgdispidNamedArgs, nullptr);
        seen_call call{id, {}, 0, nullptr, 0};
        for (UINT i = 0; i < p->cArgs; ++i) call.types.push_back(p->rgvarg[i].vt);
        if (call.types == std::vector<VARTYPE>{VT_DISPATCH, VT_I4}) {
          // Positional arguments arrive last to first.
          call.item = p->rgvarg[0].pdispVal;
          call.n = p->rgvarg[1].lVal;
          call.item_refs = ref_count(call.item);
        }
        seen.push_back(call);
        return E_FAIL;  // ignored by the source
      }));
  EXPECT_EQ(source->Ping(42), S_OK);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].types, (std::vector<VARTYPE>{VT_DISPATCH, VT_I4}));
  EXPECT_EQ(seen[0].n, 42);
  EXPECT_EQ(seen[0].item, item_dispatch);
  // The argument held its own reference during the call and gave it back afterwards.
  EXPECT_EQ(seen[0].item_refs, item_refs + 1);
  EXPECT_EQ(ref_count(item_dispatch), item_refs);
}

TEST(ConnectionPoint, DispatchEventsWithoutArgumentsOrWithOtherTypes) {
  auto source = comrt::make<Source>();
  auto sink = comrt::make<MockDispatchSink>();
  advise<_ITestEvents>(source->identity(), sink->identity());
  auto unknown_arg = comrt::make<FnSink>([](LONG) { return S_OK; });
  VARIANT copied;
  VariantInit(&copied);
  copied.vt = VT_I2;
  copied.iVal = -7;

  ::testing::InSequence order;
  EXPECT_CALL(*sink, OnInvoke(4, _, _, DISPATCH_METHOD, _, _, _, _))
      .WillOnce(Invoke([](DISPID, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) {
        EXPECT_EQ(p->cArgs, 0u);
        return S_OK;
      }));
  EXPECT_CALL(*sink, OnInvoke(5, _, _, DISPATCH_METHOD, _, _, _, _))
      .WillOnce(Invoke([&](DISPID, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) {
        EXPECT_EQ(p->cArgs, 3u);
        EXPECT_EQ(p->rgvarg[2].vt, VT_UNKNOWN);
        EXPECT_EQ(p->rgvarg[2].punkVal, static_cast<IUnknown*>(static_cast<ITestEvents*>(unknown_arg.get())));
        EXPECT_EQ(p->rgvarg[1].vt, VT_R8);
        EXPECT_EQ(p->rgvarg[1].dblVal, 2.5);
        EXPECT_EQ(p->rgvarg[0].vt, VT_I2);
        EXPECT_EQ(p->rgvarg[0].iVal, -7);
        return S_OK;
      }));
  auto& cp = source->point<_ITestEvents>();
  EXPECT_EQ(cp.fire_dispatch(4), S_OK);
  EXPECT_EQ(cp.fire_dispatch(5, static_cast<ITestEvents*>(unknown_arg.get()), 2.5, copied), S_OK);
  EXPECT_EQ(ref_count(unknown_arg->identity()), 1u);
}

TEST(ConnectionPoint, VtableSinksAreCalledBeforeDispatchSinksOnEachFiring) {
  auto source = comrt::make<Source>();
  std::vector<int> calls;
  auto vt = counting_sink(calls, 1);
  auto disp = comrt::make<MockDispatchSink>();
  EXPECT_CALL(*disp, OnInvoke(_, _, _, _, _, _, _, _)).WillRepeatedly(Invoke([&](auto...) {
    calls.push_back(2);
    return S_OK;
  }));
  advise<_ITestEvents>(source->identity(), disp->identity());
  advise<ITestEvents>(source->identity(), vt->identity());
  source->Ping(1);
  source->Ping(2);
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 1, 2}));
}

}  // namespace
}  // namespace event_test
