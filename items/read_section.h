// Lock-free reading of published pointers, for the scheduler's tick.
//
// A writer that replaces a published pointer (an item's trigger collection, the member array of a
// trigger collection) hands what it unpublished to retire() instead of releasing it. A reader that
// loads published pointers without a lock or a reference does so inside a read_section; whatever
// it loaded stays alive until its section ends:
//
//   writer:  old = published.exchange(fresh);          reader:  read_section section;
//            retire(release_old, old);                          p = published.load(); use *p
//
// retire() releases at once when no section is open anywhere, otherwise when the last open section
// ends (on the thread that ends it). Sections nest on a thread; opening one costs one atomic add
// for the outermost, so a reader opens one around a whole walk rather than per pointer. Readers
// load and writers exchange with the default (sequentially consistent) order, which the argument
// needs: a reader either entered before the writer's check (and the release waits for it) or
// loads the new pointer.
#pragma once

namespace tolvane {

class read_section {
 public:
  read_section() noexcept;
  ~read_section();
  read_section(const read_section&) = delete;
  read_section& operator=(const read_section&) = delete;
};

// Calls release(object) once no read section that was open at the time of the call is open any more.
void retire(void (*release)(void*) noexcept, void* object) noexcept;

}  // namespace tolvane
