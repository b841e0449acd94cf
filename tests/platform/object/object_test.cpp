// The object base: generated QueryInterface, reference counting, FinalConstruct / FinalRelease,
// aggregation and the error boundary.
#include <gtest/gtest.h>

#include <stdexcept>

#include "comrt/object.h"

struct ITestA : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE A(int* out) = 0;
};
COMRT_INTERFACE_ID(ITestA, IUnknown, 0x11111111, 0x1111, 0x1111, 1, 2, 3, 4, 5, 6, 7, 8)
struct ITestB : ITestA {
  virtual HRESULT STDMETHODCALLTYPE B() = 0;
};
COMRT_INTERFACE_ID(ITestB, ITestA, 0x22222222, 0x2222, 0x2222, 1, 2, 3, 4, 5, 6, 7, 8)
struct ITestC : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE C() = 0;
};
COMRT_INTERFACE_ID(ITestC, IUnknown, 0x33333333, 0x3333, 0x3333, 1, 2, 3, 4, 5, 6, 7, 8)

namespace {

int g_destroyed = 0;
int g_final_released = 0;

class Thing final : public comrt::implements<Thing, ITestB, ITestC> {
 public:
  explicit Thing(HRESULT construct_result = S_OK) : construct_result_(construct_result) {}
  ~Thing() { ++g_destroyed; }
  HRESULT FinalConstruct() { return construct_result_; }
  void FinalRelease() noexcept {
    ++g_final_released;
    // A reference taken and dropped during teardown must not destroy the object twice.
    comrt::com_ptr<ITestC> self(this);
  }
  HRESULT STDMETHODCALLTYPE A(int* out) override {
    return comrt::boundary([&] { *comrt::check_pointer(out) = 7; });
  }
  HRESULT STDMETHODCALLTYPE B() override {
    return comrt::boundary([]() -> HRESULT { throw std::runtime_error("boom"); });
  }
  HRESULT STDMETHODCALLTYPE C() override {
    return comrt::boundary([] { comrt::throw_hresult(E_ACCESSDENIED); });
  }

 private:
  HRESULT construct_result_;
};

TEST(ObjectBase, QueryInterfaceAnswersListedInterfacesAndTheirBases) {
  const int32_t before = comrt::module_lock_count().load();
  {
    auto thing = comrt::make<Thing>();
    EXPECT_EQ(comrt::module_lock_count().load(), before + 1);
    auto b = thing.as<ITestB>();
    auto a = thing.as<ITestA>();
    auto c = thing.as<ITestC>();
    EXPECT_EQ(static_cast<ITestA*>(b.get()), a.get());
    // Identity: IUnknown from any interface is the same pointer.
    EXPECT_EQ(a.as<IUnknown>().get(), c.as<IUnknown>().get());
    EXPECT_FALSE(thing.try_as<IDispatch>());
  }
  EXPECT_EQ(comrt::module_lock_count().load(), before);
}

TEST(ObjectBase, FinalReleaseRunsOnceAndAFailingFinalConstructDestroysAndThrowsItsStatus) {
  g_destroyed = g_final_released = 0;
  { auto thing = comrt::make<Thing>(); }
  EXPECT_EQ(g_final_released, 1);
  EXPECT_EQ(g_destroyed, 1);
  try {
    comrt::make<Thing>(E_ACCESSDENIED);
    FAIL();
  } catch (const comrt::hresult_error& e) {
    EXPECT_EQ(e.code(), E_ACCESSDENIED);
  }
  EXPECT_EQ(g_destroyed, 2);
}

TEST(ObjectBase, BoundaryTurnsExceptionsIntoStatuses) {
  auto thing = comrt::make<Thing>();
  int v = 0;
  EXPECT_EQ(thing->A(&v), S_OK);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(thing->B(), E_FAIL);
  EXPECT_EQ(thing->C(), E_ACCESSDENIED);
  EXPECT_EQ(comrt::boundary([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
}

// A minimal outer object that aggregates a Thing and exposes its ITestC.
class Outer final : public comrt::implements<Outer, ITestA> {
 public:
  HRESULT FinalConstruct() {
    inner_ = comrt::make_aggregated<Thing>(controlling_unknown());
    return S_OK;
  }
  void FinalRelease() noexcept { inner_ = nullptr; }
  HRESULT query_interface_extra(REFIID riid, void** ppv) {
    if (riid == IID_ITestC) return inner_->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE A(int* out) override {
    *out = 1;
    return S_OK;
  }
  comrt::com_ptr<IUnknown> inner_;
};

TEST(ObjectBase, AggregatedObjectDelegatesToItsOuterObject) {
  g_destroyed = 0;
  {
    auto outer = comrt::make<Outer>();
    auto c = outer.as<ITestC>();
    EXPECT_EQ(c->C(), E_ACCESSDENIED);  // served by the inner object
    // Identity and the other interfaces come from the outer object.
    EXPECT_EQ(c.as<IUnknown>().get(), outer.as<IUnknown>().get());
    int v = 0;
    EXPECT_EQ(c.as<ITestA>()->A(&v), S_OK);
    EXPECT_EQ(v, 1);
    // The inner unknown answers IUnknown with itself, not the outer identity.
    comrt::com_ptr<IUnknown> inner_self;
    ASSERT_EQ(outer->inner_->QueryInterface(IID_IUnknown, inner_self.put_void()), S_OK);
    EXPECT_EQ(inner_self.get(), outer->inner_.get());
  }
  EXPECT_EQ(g_destroyed, 1);
}

TEST(ClassFactory, AggregationAllowsOnlyIUnknown) {
  auto factory = comrt::make<comrt::class_factory<Thing>>();
  auto outer = comrt::make<Outer>();
  void* p = nullptr;
  EXPECT_EQ(factory->CreateInstance(outer->identity(), IID_ITestA, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  comrt::com_ptr<ITestC> c;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITestC, c.put_void()), S_OK);
  EXPECT_EQ(c->C(), E_ACCESSDENIED);
  const int32_t before = comrt::module_lock_count().load();
  factory->LockServer(TRUE);
  EXPECT_EQ(comrt::module_lock_count().load(), before + 1);
  factory->LockServer(FALSE);
  EXPECT_EQ(comrt::module_lock_count().load(), before);
}

}  // namespace
