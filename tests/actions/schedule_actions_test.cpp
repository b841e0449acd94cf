// The action collection, and through it the generic collection: indexed access, removal by
// identity, enumerators over snapshots, deep copies and their failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "actions/schedule_actions.h"
#include "fakes/schedule_doubles.h"

namespace {

using comrt::com_ptr;
using fakes::FakeAction;
using tolvane::CScheduleActions;

// An action collection of someone else's making: its typed enumerator fails to be made
// (`enum_status`), or hands out `elements` and then fails with `fetch_status`.
class ScriptedEnum final : public comrt::implements<ScriptedEnum, IEnumScheduleAction> {
 public:
  ScriptedEnum(std::vector<com_ptr<IScheduleAction>> e, HRESULT fetch) : elements_(std::move(e)), fetch_(fetch) {}
  HRESULT STDMETHODCALLTYPE Next(ULONG, IScheduleAction** rgelt, ULONG* fetched) override {
    *fetched = 0;
    if (position_ == elements_.size()) return fetch_;
    elements_[position_++].copy_to(rgelt);
    *fetched = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumScheduleAction**) override { return E_NOTIMPL; }

 private:
  std::vector<com_ptr<IScheduleAction>> elements_;
  size_t position_ = 0;
  HRESULT fetch_;
};

class ScriptedActions final : public comrt::implements<ScriptedActions, IScheduleActions> {
 public:
  HRESULT STDMETHODCALLTYPE get_NewEnum(IEnumScheduleAction** ppEnum) override {
    if (FAILED(enum_status)) return enum_status;
    comrt::make<ScriptedEnum>(elements, fetch_status).copy_to(ppEnum);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG, IScheduleAction**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleActions**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Copy(IScheduleActions*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Empty() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Add(IScheduleAction*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(IScheduleAction*) override { return E_NOTIMPL; }

  HRESULT enum_status = S_OK;
  HRESULT fetch_status = S_FALSE;
  std::vector<com_ptr<IScheduleAction>> elements;
};

class ActionsTest : public ::testing::Test {
 protected:
  com_ptr<IScheduleAction> action(int tag, HRESULT result = S_OK) { return comrt::make<FakeAction>(tag, result, log); }

  static std::vector<com_ptr<IScheduleAction>> elements(IScheduleActions* c, bool reverse = false) {
    com_ptr<IEnumScheduleAction> e;
    if (reverse) {
      EXPECT_EQ(static_cast<CScheduleActions*>(c)->NewEnumReverse(e.put()), S_OK);
    } else {
      EXPECT_EQ(c->get_NewEnum(e.put()), S_OK);
    }
    return drain(e.get());
  }
  static std::vector<com_ptr<IScheduleAction>> drain(IEnumScheduleAction* e) {
    std::vector<com_ptr<IScheduleAction>> out;
    for (;;) {
      com_ptr<IScheduleAction> a;
      ULONG fetched = 0;
      if (e->Next(1, a.put(), &fetched) != S_OK) return out;
      out.push_back(a);
    }
  }
  static std::vector<int> tags(const std::vector<com_ptr<IScheduleAction>>& v) {
    std::vector<int> out;
    for (const auto& a : v) out.push_back(static_cast<FakeAction*>(a.get())->tag);
    return out;
  }
  static LONG count(IScheduleActions* c) {
    LONG n = -1;
    EXPECT_EQ(c->get_Count(&n), S_OK);
    return n;
  }

  std::shared_ptr<fakes::run_log> log = std::make_shared<fakes::run_log>();
  com_ptr<CScheduleActions> actions = comrt::make<CScheduleActions>();
};

TEST_F(ActionsTest, ItemAddressesPositionsInOrderAndRefusesEveryOtherIndex) {
  auto* sentinel = reinterpret_cast<IScheduleAction*>(1);
  IScheduleAction* out = sentinel;
  EXPECT_EQ(actions->get_Item(0, &out), E_INVALIDARG);
  EXPECT_EQ(out, nullptr);

  auto a = action(1), b = action(2), c = action(3);
  ASSERT_EQ(actions->Add(a.get()), S_OK);
  ASSERT_EQ(actions->Add(b.get()), S_OK);
  ASSERT_EQ(actions->AddItemAtHead(c.get()), S_OK);
  EXPECT_EQ(tags(elements(actions.get())), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(actions->get_Item(count(actions.get()) - 1, &out), S_OK);
  EXPECT_EQ(out, b.get());
  comrt::attach(out);
  for (LONG bad : {-1, 3, INT32_MIN}) {
    out = sentinel;
    EXPECT_EQ(actions->get_Item(bad, &out), E_INVALIDARG) << bad;
    EXPECT_EQ(out, nullptr);
  }

  EXPECT_EQ(actions->Add(nullptr), E_INVALIDARG);
  EXPECT_EQ(actions->AddItemAtHead(nullptr), E_INVALIDARG);
  EXPECT_EQ(count(actions.get()), 3);
  EXPECT_EQ(actions->get_Item(0, nullptr), E_POINTER);
  EXPECT_EQ(actions->get_Count(nullptr), E_POINTER);
  EXPECT_EQ(actions->get_NewEnum(nullptr), E_POINTER);
  EXPECT_EQ(actions->get__NewEnum(nullptr), E_POINTER);
  EXPECT_EQ(actions->Clone(nullptr), E_POINTER);
}

TEST_F(ActionsTest, RemoveTakesOnlyTheFirstEntryHoldingThatPointer) {
  auto a = action(1), b = action(2), stranger = action(3);
  const ULONG refs = fakes::ref_count(a.get());
  actions->Add(a.get());
  actions->Add(b.get());
  actions->Add(a.get());
  EXPECT_EQ(actions->Remove(a.get()), S_OK);
  EXPECT_EQ(tags(elements(actions.get())), (std::vector<int>{2, 1}));
  EXPECT_EQ(actions->Remove(stranger.get()), E_FAIL);
  EXPECT_EQ(actions->Remove(nullptr), E_INVALIDARG);
  EXPECT_EQ(count(actions.get()), 2);
  EXPECT_EQ(actions->Empty(), S_OK);
  EXPECT_EQ(count(actions.get()), 0);
  EXPECT_EQ(fakes::ref_count(a.get()), refs);  // every entry gave its reference back
}

TEST_F(ActionsTest, EnumeratorsKeepTheSnapshotOfTheirCreation) {
  com_ptr<IEnumScheduleAction> none;
  ASSERT_EQ(actions->get_NewEnum(none.put()), S_OK);
  ASSERT_TRUE(none);
  IScheduleAction* got[2] = {};
  ULONG fetched = 9;
  EXPECT_EQ(none->Next(2, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  com_ptr<IUnknown> script;
  ASSERT_EQ(actions->get__NewEnum(script.put()), S_OK);
  ASSERT_TRUE(script);
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(script.as<IEnumVARIANT>()->Next(1, &v, &fetched), S_FALSE);

  for (int tag : {1, 2, 3}) actions->Add(action(tag).get());
  com_ptr<IEnumScheduleAction> forward, backward;
  ASSERT_EQ(actions->get_NewEnum(forward.put()), S_OK);
  ASSERT_EQ(actions->NewEnumReverse(backward.put()), S_OK);
  actions->Empty();
  actions->Add(action(4).get());
  EXPECT_EQ(tags(drain(forward.get())), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(tags(drain(backward.get())), (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(tags(elements(actions.get())), (std::vector<int>{4}));

  // Actions do not answer IDispatch, so there is no script enumerator over them.
  IUnknown* raw = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(actions->get__NewEnum(&raw), E_FAIL);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(ActionsTest, CopyAndCloneAreDeepAndKeepTheOrder) {
  auto source = comrt::make<CScheduleActions>();
  for (int tag : {1, 2, 3}) source->Add(action(tag).get());
  const auto originals = elements(source.get());
  actions->Add(action(9).get());

  ASSERT_EQ(actions->Copy(source.get()), S_OK);
  auto copies = elements(actions.get());
  EXPECT_EQ(tags(copies), (std::vector<int>{1, 2, 3}));
  for (size_t i = 0; i < copies.size(); ++i) EXPECT_NE(copies[i], originals[i]);
  EXPECT_EQ(elements(source.get()), originals);

  // Onto itself: same order, every element a new object.
  ASSERT_EQ(actions->Copy(actions.get()), S_OK);
  auto again = elements(actions.get());
  EXPECT_EQ(tags(again), (std::vector<int>{1, 2, 3}));
  for (size_t i = 0; i < again.size(); ++i) EXPECT_NE(again[i], copies[i]);
  EXPECT_EQ(actions->Copy(nullptr), E_INVALIDARG);
  EXPECT_EQ(count(actions.get()), 3);

  com_ptr<IScheduleActions> clone;
  ASSERT_EQ(source->Clone(clone.put()), S_OK);
  EXPECT_NE(clone.get(), static_cast<IScheduleActions*>(source.get()));
  auto cloned = elements(clone.get());
  EXPECT_EQ(tags(cloned), (std::vector<int>{1, 2, 3}));
  EXPECT_NE(cloned[0], originals[0]);

  com_ptr<IScheduleActions> empty;
  ASSERT_EQ(comrt::make<CScheduleActions>()->Clone(empty.put()), S_OK);
  ASSERT_TRUE(empty);
  EXPECT_EQ(count(empty.get()), 0);
}

TEST_F(ActionsTest, AFailedCopyReportsTheCodeAndKeepsTheClonesMadeBeforeIt) {
  auto source = comrt::make<CScheduleActions>();
  auto refusing = comrt::make<FakeAction>(2, S_OK, log);
  refusing->clone_result = E_ACCESSDENIED;
  source->Add(action(1).get());
  source->Add(refusing.get());
  source->Add(action(3).get());
  actions->Add(action(9).get());
  EXPECT_EQ(actions->Copy(source.get()), E_ACCESSDENIED);
  EXPECT_EQ(tags(elements(actions.get())), (std::vector<int>{1}));
  IScheduleActions* clone = reinterpret_cast<IScheduleActions*>(1);
  EXPECT_EQ(source->Clone(&clone), E_ACCESSDENIED);
  EXPECT_EQ(clone, nullptr);

  // A source without an enumerator leaves the collection as it was.
  auto scripted = comrt::make<ScriptedActions>();
  scripted->enum_status = E_OUTOFMEMORY;
  EXPECT_EQ(actions->Copy(scripted.get()), E_OUTOFMEMORY);
  EXPECT_EQ(tags(elements(actions.get())), (std::vector<int>{1}));

  // A fetch that fails after two elements: the list was cleared and holds their clones.
  scripted->enum_status = S_OK;
  scripted->elements = {action(5), action(6)};
  scripted->fetch_status = E_UNEXPECTED;
  EXPECT_EQ(actions->Copy(scripted.get()), E_UNEXPECTED);
  EXPECT_EQ(tags(elements(actions.get())), (std::vector<int>{5, 6}));
  EXPECT_NE(elements(actions.get())[0], scripted->elements[0]);
}

TEST_F(ActionsTest, KeepsOneSiteAndHandsItOut) {
  com_ptr<IUnknown> got;
  EXPECT_EQ(actions->GetSite(IID_IUnknown, got.put_void()), E_FAIL);
  auto site = action(1);
  EXPECT_EQ(actions->SetSite(site.get()), S_OK);
  EXPECT_EQ(actions->SetSite(site.get()), S_OK);
  EXPECT_EQ(actions->GetSite(IID_IScheduleAction, got.put_void()), S_OK);
  EXPECT_EQ(got.get(), site.get());
  EXPECT_EQ(actions->SetSite(nullptr), S_OK);
  EXPECT_EQ(fakes::ref_count(site.get()), 2u);  // the test's and got's
}

}  // namespace
