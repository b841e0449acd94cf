// Loading and saving a schedule file of 10,000 items, each with a time trigger and a queue action,
// beside pugixml parsing and writing the same document on its own: the cost of the DOM objects, the
// archive and the schedule objects on top of the XML library.
//
// Files go to /dev/shm when it exists, so that the disk's flush does not dominate the save.
#include <benchmark/benchmark.h>
#include <pugixml.hpp>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <comrt/message_queue.h>
#include <comrt/ocidl.h>
#include <comrt/strings.h>
#include <comrt/variant.h>

#include "TransferQueue.h"
#include "XMLArchive.h"
#include "actions/queue_action.h"
#include "bench/bench_items.h"
#include "items/schedule_item.h"
#include "items/schedule_items.h"
#include "persistence/xml_archive.h"
#include "scheduler/scheduler.h"
#include "triggers/schedule_calendar.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;

constexpr int kItems = 10'000;

// A host transfer that stores its source and destination.
class BenchTransfer final
    : public comrt::implements<BenchTransfer, ITransferQueueItem, IXMLArchiveSerializable, IPersist> {
 public:
  HRESULT STDMETHODCALLTYPE CreateQueueCopy(ITransferQueueItem**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Kind(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Source(ITransferSourceDescriptor**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ApplyChangeSet(IFolderTreeChangeSet*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Dependencies(ITransferDependencies**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
    *id = CLSID_TransferQueueItem;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Serialize(IXMLArchive* archive, IXMLDOMNode* node) override {
    tolvane::CXMLDataExchange dx(archive, node);
    dx.ExchangeString(u"Source", source);
    dx.ExchangeString(u"Destination", destination);
    return S_OK;
  }
  std::u16string source = u"/srv/outgoing/reports", destination = u"sftp://backup.example.com/reports";
};

com_ptr<IScheduleTrigger> daily_trigger() {
  auto trigger = comrt::make<tolvane::CScheduleScheduleTrigger>();
  trigger->put_Recurrence(tvScheduleScheduleTriggerRecurrenceDaily);
  trigger->put_StartTimeAsUnixTime(1714550400);
  trigger->put_LastOccurrenceAsUnixTime(1714550400);
  trigger->put_UTC(VARIANT_TRUE);
  trigger->UpdateNextOccurrence();
  return trigger.as<IScheduleTrigger>();
}

com_ptr<IScheduleAction> queue_action() {
  auto action = comrt::make<tolvane::CScheduleQueueAction>();
  action->put_Item(comrt::make<BenchTransfer>().as<IUnknown>().get());
  action->put_DependOnPreviousItem(VARIANT_TRUE);
  return action.as<IScheduleAction>();
}

template <class T>
class factory final : public comrt::implements<factory<T>, IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    return comrt::make<T>()->QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

struct fixture {
  std::filesystem::path folder;
  std::filesystem::path file;
  com_ptr<tolvane::CScheduler> scheduler;

  fixture() {
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_ScheduleScheduleTrigger,
                          comrt::make<comrt::class_factory<tolvane::CScheduleScheduleTrigger>>().as<IUnknown>().get(),
                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    CoRegisterClassObject(CLSID_ScheduleQueueAction,
                          comrt::make<comrt::class_factory<tolvane::CScheduleQueueAction>>().as<IUnknown>().get(),
                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    CoRegisterClassObject(CLSID_TransferQueueItem, comrt::make<factory<BenchTransfer>>().as<IUnknown>().get(),
                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    tolvane::CScheduler::set_timer_clock(std::make_shared<comrt::manual_timer_clock>());  // no ticks
    std::string pattern = (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm")
                                                                : std::filesystem::temp_directory_path().string()) +
                          "/tolvane-bench-XXXXXX";
    folder = ::mkdtemp(pattern.data());
    file = folder / "schedule.xml";
    scheduler = comrt::make<tolvane::CScheduler>();
    scheduler->Load(comrt::bstr(comrt::to_utf16(file.string())).get());
    for (int i = 0; i < kItems; ++i) {
      auto item = bench::item_with(daily_trigger().get(), queue_action().get());
      item->put_Name(comrt::bstr(comrt::to_utf16("Upload " + std::to_string(i))).get());
      item->put_LastRunTime(FILETIME{0x12345678, 0x01DA9B2C});
      item->put_LastTaskResult(S_OK);
      item->put_Created(FILETIME{0x12340000, 0x01DA9B2C});
      scheduler->AddItem(item.get());
    }
    scheduler->Save();
  }
  ~fixture() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

fixture& shared() {
  static fixture f;
  return f;
}

void BM_SchedulerLoad(benchmark::State& state) {
  fixture& f = shared();
  const comrt::bstr path(comrt::to_utf16(f.file.string()));
  auto reader = comrt::make<tolvane::CScheduler>();
  for (auto _ : state) {
    if (reader->Load(path.get()) != S_OK) state.SkipWithError("load failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * std::filesystem::file_size(f.file));
}
BENCHMARK(BM_SchedulerLoad)->Unit(benchmark::kMillisecond);

// The same load into a new scheduler, as when a host starts: no previous schedule to free.
void BM_SchedulerLoadFresh(benchmark::State& state) {
  fixture& f = shared();
  const comrt::bstr path(comrt::to_utf16(f.file.string()));
  for (auto _ : state) {
    state.PauseTiming();
    auto reader = comrt::make<tolvane::CScheduler>();
    state.ResumeTiming();
    if (reader->Load(path.get()) != S_OK) state.SkipWithError("load failed");
    state.PauseTiming();
    reader = nullptr;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SchedulerLoadFresh)->Unit(benchmark::kMillisecond);

void BM_SchedulerSave(benchmark::State& state) {
  fixture& f = shared();
  for (auto _ : state) {
    if (f.scheduler->Save() != S_OK) state.SkipWithError("save failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * std::filesystem::file_size(f.file));
}
BENCHMARK(BM_SchedulerSave)->Unit(benchmark::kMillisecond);

// pugixml on the same file, with the options the runtime's document uses.
void BM_PugixmlLoad(benchmark::State& state) {
  fixture& f = shared();
  for (auto _ : state) {
    pugi::xml_document doc;
    const auto options = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments | pugi::parse_pi |
                         pugi::parse_declaration | pugi::parse_doctype;
    if (!doc.load_file(f.file.c_str(), options)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc.first_child());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * std::filesystem::file_size(f.file));
}
BENCHMARK(BM_PugixmlLoad)->Unit(benchmark::kMillisecond);

void BM_PugixmlSave(benchmark::State& state) {
  fixture& f = shared();
  pugi::xml_document doc;
  doc.load_file(f.file.c_str());
  const auto copy = f.folder / "pugixml.xml";
  for (auto _ : state) {
    if (!doc.save_file(copy.c_str(), "", pugi::format_raw | pugi::format_no_declaration)) {
      state.SkipWithError("save failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * std::filesystem::file_size(f.file));
}
BENCHMARK(BM_PugixmlSave)->Unit(benchmark::kMillisecond);

// The objects a load makes, without any XML: the floor under BM_SchedulerLoad. The clock is read
// once for all of them, as a load does.
void BM_ObjectsOnly(benchmark::State& state) {
  for (auto _ : state) {
    tolvane::schedule::tick_clock clock;
    auto items = comrt::make<tolvane::CScheduleItems>();
    for (int i = 0; i < kItems; ++i) {
      items->AddItem(bench::item_with(daily_trigger().get(), queue_action().get()).get());
    }
    items->Disconnect();
  }
}
BENCHMARK(BM_ObjectsOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
