// The collections' bulk operations: Copy (a clone of every element of the source) and AddItems
// (the source's elements shared), on the trigger collection with a trivial trigger, and on the item
// collection, which also subscribes to every item it takes in and announces each one to a sink.
// Sizes from 10,000 to 100,000 elements; the cost per element must not grow with the size.
#include <benchmark/benchmark.h>

#include <comrt/object.h>

#include "items/schedule_item.h"
#include "items/schedule_items.h"
#include "triggers/schedule_triggers.h"

namespace {

using comrt::com_ptr;

// A trigger that does nothing but clone itself.
class TrivialTrigger final : public comrt::implements<TrivialTrigger, IScheduleTrigger> {
 public:
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override { return comrt::init_out(pVal), S_OK; }
  HRESULT STDMETHODCALLTYPE ToString(BSTR* pVal) override { return comrt::init_out(pVal), S_OK; }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleTrigger** ppClone) override {
    return comrt::boundary([&] { comrt::make<TrivialTrigger>().copy_to(comrt::init_out(ppClone)); });
  }
  HRESULT STDMETHODCALLTYPE IsSet() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Next() override { return S_OK; }
};

// A client of the item collection's events that only counts them.
class CountingSink final : public comrt::implements<CountingSink, IScheduleItemsEvents> {
 public:
  HRESULT STDMETHODCALLTYPE OnAddItem(IScheduleItem*) override { return ++events, S_OK; }
  HRESULT STDMETHODCALLTYPE OnRemoveItem(IScheduleItem*) override { return ++events, S_OK; }
  HRESULT STDMETHODCALLTYPE OnUpdateItem(IScheduleItem*) override { return ++events, S_OK; }
  HRESULT STDMETHODCALLTYPE OnRemoveAllItems() override { return ++events, S_OK; }
  int64_t events = 0;
};

com_ptr<tolvane::CScheduleTriggers> triggers(int64_t n) {
  auto c = comrt::make<tolvane::CScheduleTriggers>();
  for (int64_t i = 0; i < n; ++i) c->Add(comrt::make<TrivialTrigger>().get());
  return c;
}

com_ptr<tolvane::CScheduleItems> items(int64_t n) {
  auto c = comrt::make<tolvane::CScheduleItems>();
  for (int64_t i = 0; i < n; ++i) c->AddItem(comrt::make<tolvane::CScheduleItem>().get());
  return c;
}

com_ptr<tolvane::CScheduleItems> items_with_sink(const com_ptr<CountingSink>& sink) {
  auto c = comrt::make<tolvane::CScheduleItems>();
  com_ptr<IConnectionPoint> point;
  c->FindConnectionPoint(IID_IScheduleItemsEvents, point.put());
  DWORD cookie = 0;
  point->Advise(sink->identity(), &cookie);
  return c;
}

void report(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}

void BM_TriggersCopy(benchmark::State& state) {
  const auto source = triggers(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto target = comrt::make<tolvane::CScheduleTriggers>();
    state.ResumeTiming();
    if (target->Copy(source.get()) != S_OK) state.SkipWithError("Copy failed");
    state.PauseTiming();
    target = nullptr;
    state.ResumeTiming();
  }
  report(state);
}

void BM_TriggersAddItems(benchmark::State& state) {
  const auto source = triggers(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto target = comrt::make<tolvane::CScheduleTriggers>();
    state.ResumeTiming();
    if (target->AddItems(source.get()) != S_OK) state.SkipWithError("AddItems failed");
    state.PauseTiming();
    target = nullptr;
    state.ResumeTiming();
  }
  report(state);
}

void BM_ItemsAddItems(benchmark::State& state) {
  const auto source = items(state.range(0));
  const auto sink = comrt::make<CountingSink>();
  for (auto _ : state) {
    state.PauseTiming();
    auto target = items_with_sink(sink);
    state.ResumeTiming();
    if (target->AddItems(source.get()) != S_OK) state.SkipWithError("AddItems failed");
    state.PauseTiming();
    target->Disconnect();
    target = nullptr;
    state.ResumeTiming();
  }
  report(state);
}

void BM_ItemsCopy(benchmark::State& state) {
  const auto source = items(state.range(0));
  const auto sink = comrt::make<CountingSink>();
  for (auto _ : state) {
    state.PauseTiming();
    auto target = items_with_sink(sink);
    state.ResumeTiming();
    if (target->Copy(source.get()) != S_OK) state.SkipWithError("Copy failed");
    state.PauseTiming();
    target->Disconnect();
    target = nullptr;
    state.ResumeTiming();
  }
  report(state);
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : {10'000, 20'000, 40'000, 100'000}) b->Arg(n);
  b->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
}

BENCHMARK(BM_TriggersCopy)->Apply(sizes);
BENCHMARK(BM_TriggersAddItems)->Apply(sizes);
BENCHMARK(BM_ItemsAddItems)->Apply(sizes);
BENCHMARK(BM_ItemsCopy)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
