// tolvane-demo: a small host of the scheduling component.
//
// It registers libScheduler.so in a temporary registry, creates the scheduler by its ProgID through
// the runtime, gives it a site, subscribes to the item collection's events, and adds three items
// marked to run, each with a transfer action of the host's own. The scheduler's thread runs them on
// its next tick; the program prints every event and every "transfer", waits until each item has
// been announced twice (before and after its actions), then clears the site, releases everything,
// lets the runtime unload the library and exits 0.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>

#include <comrt/combase.h>
#include <comrt/guid.h>
#include <comrt/object.h>
#include <comrt/ocidl.h>
#include <comrt/strings.h>
#include <comrt/variant.h>

#include "Scheduler.h"
#include "host_objects.h"
#include "registration.h"

namespace demo {
namespace {

using comrt::com_ptr;

// What the demonstration schedules: one transfer per item; the last one is refused by its
// destination, so its run records a failure.
struct planned_item {
  const char16_t* name;
  const char* source;
  const char* destination;
  bool refused;
};
constexpr planned_item kPlan[] = {
    {u"Nightly backup", "/home/alice/documents", "sftp://backup.example.org/alice", false},
    {u"Photo upload", "/home/alice/pictures", "ftps://photos.example.net/upload", false},
    {u"Log archive", "/var/log/app", "sftp://archive.example.org/logs", true},
};
constexpr int kItemCount = sizeof(kPlan) / sizeof(kPlan[0]);

// A safety net only: the scheduler ticks every 500 ms, so the runs normally finish within a second.
constexpr std::chrono::seconds kPatience{30};

template <class I>
com_ptr<I> create(const char16_t* prog_id) {
  CLSID clsid{};
  check(CLSIDFromProgID(prog_id, &clsid), "look up a ProgID");
  com_ptr<I> object;
  check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, comrt::uuidof<I>(), object.put_void()),
        "create an object of the library");
  return object;
}

com_ptr<IScheduleItem> make_item(const planned_item& plan) {
  auto item = create<IScheduleItem>(u"Scheduler.ScheduleItem");
  check(item->put_Name(comrt::bstr(plan.name).get()), "name the item");
  com_ptr<IScheduleActions> actions;
  check(item->get_Actions(actions.put()), "get the item's actions");
  check(actions->Add(comrt::make<TransferAction>(plan.source, plan.destination, plan.refused).get()),
        "add the transfer action");
  check(item->put_ScheduleRun(VARIANT_TRUE), "mark the item to run");
  return item;
}

void run_scheduler(const std::string& folder) {
  auto scheduler = create<IScheduler>(u"Scheduler.Scheduler");
  say("scheduler: created by ProgID Scheduler.Scheduler");

  // The site: the scheduler proffers itself to it, and whoever holds the site reaches it there.
  auto site = comrt::make<HostSite>();
  auto with_site = comrt::query<IObjectWithSite>(scheduler.get());
  check(with_site->SetSite(site->identity()), "set the site");
  {
    com_ptr<IScheduler> through_site;
    check(site->QueryService(CLSID_Scheduler, IID_IScheduler, through_site.put_void()),
          "reach the scheduler through the site");
    say(std::string("site: service ") + comrt::to_utf8(comrt::to_u16string(CLSID_Scheduler)) + " is the scheduler: " +
        (through_site == scheduler ? "yes" : "no"));
  }

  // A schedule file that does not exist yet: the path is stored and the first save creates it.
  const std::string file = folder + "/schedule.xml";
  check(scheduler->Load(comrt::bstr(comrt::to_utf16(file)).get()), "load the schedule file");
  say("scheduler: schedule file " + file + " (new)");

  com_ptr<IScheduleItems> items;
  check(scheduler->get_Items(items.put()), "get the item collection");
  auto printer = comrt::make<ItemsEventsPrinter>(2 * kItemCount);
  com_ptr<IConnectionPoint> point;
  check(comrt::query<IConnectionPointContainer>(items.get())->FindConnectionPoint(IID_IScheduleItemsEvents, point.put()),
        "find the collection's events");
  DWORD cookie = 0;
  check(point->Advise(printer->identity(), &cookie), "subscribe to the collection's events");
  say("events: subscribed to the item collection, cookie " + std::to_string(cookie));

  for (const planned_item& plan : kPlan) check(scheduler->AddItem(make_item(plan).get()), "add an item");
  say("scheduler: " + std::to_string(kItemCount) + " items marked to run; waiting for the scheduler thread");

  if (!printer->finished().wait(kPatience)) throw step_failed{"see every item run within 30 s", E_FAIL};
  say("scheduler: every item has run");

  check(point->Unadvise(cookie), "unsubscribe");
  say("events: unsubscribed");
  check(with_site->SetSite(nullptr), "clear the site");
  say("site: cleared");
  // The last references go here; the scheduler stops its thread as it is released.
}

// Whether the process still has the library mapped (asked without loading it).
bool library_is_loaded(const std::string& library) {
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);
  return handle != nullptr;
}

void run() {
  const std::string library = scheduler_library_path();
  scratch_registry registry;
  say("registry: temporary store in " + registry.folder());
  register_library(library);
  say("registry: every class registered for the current user, served by " + library);

  check(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "initialise the runtime");
  say("runtime: initialised (multithreaded)");

  run_scheduler(registry.folder());
  say("scheduler: released");

  // Unloading takes two passes: the first marks the unused library, the second (after the delay,
  // here none) unloads it. The scheduler's thread may still be ending, which keeps the library in
  // use for a moment, so the host asks again for up to two seconds.
  for (int attempt = 0; attempt < 40 && library_is_loaded(library); ++attempt) {
    CoFreeUnusedLibrariesEx(0, 0);
    CoFreeUnusedLibrariesEx(0, 0);
    if (library_is_loaded(library)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  say(library_is_loaded(library) ? "runtime: the library is still loaded" : "runtime: the library has been unloaded");
  CoUninitialize();
  say("runtime: uninitialised");
}

}  // namespace
}  // namespace demo

int main() {
  try {
    demo::run();
  } catch (const demo::step_failed& f) {
    std::fprintf(stderr, "tolvane-demo: could not %s (%s)\n", f.step.c_str(), demo::status_text(f.hr).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tolvane-demo: %s\n", e.what());
    return 1;
  }
  demo::say("done");
  return 0;
}
