// The commands of tolvane-scheduler, shared by the program (which runs them over the schedule
// file, or sends them to a running scheduler) and the runner (which runs them over its live
// scheduler).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Scheduler.h"
#include "host/scheduler/args.h"
#include "host/scheduler/control.h"

namespace tolvane::cli {

class run_monitor;

// Where a command works: the scheduler of a runner (with its monitor) or one over the file.
struct context {
  IScheduler* scheduler;
  std::string schedule;
  std::ostream& out;
  run_monitor* runner = nullptr;  // set in a runner
};

// A command line sent to the runner, run over its live scheduler.
reply answer_request(const std::vector<std::string>& request, context& where);

// `run`: in run.cpp.
int run_scheduler(const arguments& args);

}  // namespace tolvane::cli
