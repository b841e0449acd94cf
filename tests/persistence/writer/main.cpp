// Saves a schedule file over and over until it is killed: generation n holds `items` items all
// named "gen-n". After each save it writes one byte to standard output, so that the caller knows
// that saving is under way.
//
//   schedule_file_writer FILE ITEMS
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <comrt/strings.h>
#include <comrt/variant.h>

#include "items/schedule_item.h"
#include "scheduler/scheduler.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int count = std::atoi(argv[2]);
  auto scheduler = comrt::make<tolvane::CScheduler>();
  if (FAILED(scheduler->Load(comrt::bstr(comrt::to_utf16(argv[1])).get()))) return 1;
  comrt::com_ptr<IScheduleItems> loaded;
  if (FAILED(scheduler->get_Items(loaded.put())) || FAILED(loaded->Empty())) return 1;
  std::vector<comrt::com_ptr<tolvane::CScheduleItem>> items;
  for (int i = 0; i < count; ++i) {
    items.push_back(comrt::make<tolvane::CScheduleItem>());
    scheduler->AddItem(items.back().get());
  }
  for (long generation = 1;; ++generation) {
    const comrt::bstr name(comrt::to_utf16("gen-" + std::to_string(generation)));
    for (auto& item : items) item->put_Name(name.get());
    if (FAILED(scheduler->Save())) return 1;
    if (::write(STDOUT_FILENO, "s", 1) != 1) return 1;
  }
}
