// libFuzzer target: the schedule file loader. Each input is a schedule file that a scheduler loads
// (IScheduler::Load: the document, the archive and every object's reading). No input may crash,
// hang, leak or read anything but the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <comrt/message_queue.h>
#include <comrt/strings.h>
#include <comrt/variant.h>

#include "scheduler/scheduler.h"
#include "server/module.h"

namespace {

struct harness {
  int fd = -1;
  comrt::bstr path;
  comrt::com_ptr<tolvane::CScheduler> scheduler;

  harness() {
    // The component's classes answer in the process, as they would through the registry, so the
    // triggers and actions a file names are made and read.
    size_t count = 0;
    const tolvane::class_entry* classes = tolvane::CSchedulerModule::classes(&count);
    for (size_t i = 0; i < count; ++i) {
      comrt::com_ptr<IUnknown> factory;
      DWORD cookie = 0;
      if (SUCCEEDED(tolvane::CSchedulerModule::instance().get_class_object(classes[i].clsid, IID_IUnknown,
                                                                             factory.put_void()))) {
        CoRegisterClassObject(classes[i].clsid, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
      }
    }
    // A clock that never moves: the scheduler thread never ticks, so each run is the load alone.
    tolvane::CScheduler::set_timer_clock(std::make_shared<comrt::manual_timer_clock>());
    scheduler = comrt::make<tolvane::CScheduler>();
    // The input lives in memory and is read through its path like any file.
    fd = ::memfd_create("schedule.xml", MFD_CLOEXEC);
    path = comrt::bstr(comrt::to_utf16("/proc/self/fd/" + std::to_string(fd)));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static harness h;
  if (::ftruncate(h.fd, 0) != 0 || ::pwrite(h.fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  h.scheduler->Load(h.path.get());
  return 0;
}
