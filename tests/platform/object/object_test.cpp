// The object base: generated QueryInterface, FinalConstruct / FinalRelease, aggregation, the class
// factory's rules and the error boundary.
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

namespace {

int g_destroyed = 0, g_final_released = 0;

class Thing final : public comrt::implements<Thing, ITestB> {
 public:
  explicit Thing(HRESULT construct_result = S_OK) : construct_result_(construct_result) {}
  ~Thing() { ++g_destroyed; }
  HRESULT FinalConstruct() { return construct_result_; }
  void FinalRelease() noexcept {
    ++g_final_released;
    comrt::com_ptr<ITestB> self(this);  // taken and dropped during teardown: no second destruction
  }
  HRESULT STDMETHODCALLTYPE A(int* out) override {
    return comrt::boundary([&] { *comrt::check_pointer(out) = 7; });
  }
  HRESULT STDMETHODCALLTYPE B() override {
    return comrt::boundary([]() -> HRESULT { throw std::runtime_error("boom"); });
  }

 private:
  HRESULT construct_result_;
};

// An outer object that aggregates a Thing and exposes its ITestB.
class Outer final : public comrt::implements<Outer, ITestA> {
 public:
  HRESULT FinalConstruct() {
    inner_ = comrt::make_aggregated<Thing>(controlling_unknown());
    return S_OK;
  }
  void FinalRelease() noexcept { inner_ = nullptr; }
  HRESULT query_interface_extra(REFIID riid, void** ppv) {
    return riid == IID_ITestB ? inner_->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE A(int* out) override { return *out = 1, S_OK; }
  comrt::com_ptr<IUnknown> inner_;
};

TEST(ObjectBase, InterfacesIdentityFinalReleaseAndAFailingFinalConstruct) {
  g_destroyed = g_final_released = 0;
  {
    auto thing = comrt::make<Thing>();
    EXPECT_EQ(static_cast<ITestA*>(thing.as<ITestB>().get()), thing.as<ITestA>().get());
    EXPECT_EQ(thing.as<ITestA>().as<IUnknown>().get(), thing.as<ITestB>().as<IUnknown>().get());
    EXPECT_FALSE(thing.try_as<IDispatch>());
    int v = 0;
    EXPECT_EQ(thing->A(&v), S_OK);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(thing->A(nullptr), E_POINTER);
    EXPECT_EQ(thing->B(), E_FAIL);
    EXPECT_EQ(comrt::boundary([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  }
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

TEST(ObjectBase, AggregatedObjectDelegatesToItsOuterObject) {
  g_destroyed = 0;
  {
    auto outer = comrt::make<Outer>();
    auto b = outer.as<ITestB>();
    EXPECT_EQ(b->B(), E_FAIL);  // served by the inner object
    EXPECT_EQ(b.as<IUnknown>().get(), outer.as<IUnknown>().get()) << "identity is the outer object's";
    int v = 0;
    EXPECT_EQ(b.as<ITestA>()->A(&v), S_OK);
    EXPECT_EQ(v, 1);
    comrt::com_ptr<IUnknown> inner_self;  // the inner unknown answers IUnknown with itself
    ASSERT_EQ(outer->inner_->QueryInterface(IID_IUnknown, inner_self.put_void()), S_OK);
    EXPECT_EQ(inner_self.get(), outer->inner_.get());
  }
  EXPECT_EQ(g_destroyed, 1);
}

TEST(ClassFactory, AggregationAllowsOnlyIUnknownAndLockServerCountsInTheModule) {
  auto factory = comrt::make<comrt::class_factory<Thing>>();
  auto outer = comrt::make<Outer>();
  void* p = nullptr;
  EXPECT_EQ(factory->CreateInstance(outer->identity(), IID_ITestA, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  const int32_t before = comrt::module_lock_count().load();
  factory->LockServer(TRUE);
  EXPECT_EQ(comrt::module_lock_count().load(), before + 1);
  factory->LockServer(FALSE);
  EXPECT_EQ(comrt::module_lock_count().load(), before);
}

}  // namespace
