// The command line of tolvane-scheduler: options and operands of one command, and the failures a
// user can act on, each with the program's exit status.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane::cli {

// Exit statuses, as the usage text lists them.
enum exit_status : int {
  exit_ok = 0,
  exit_failed = 1,     // the work itself failed (a transfer, the registry, another run is active)
  exit_usage = 2,      // bad command line: unknown option, bad time, missing folder
  exit_schedule = 3,   // the schedule file cannot be read or written
  exit_no_item = 4,    // no item of that name
  exit_component = 5,  // the scheduler component cannot be loaded
};

// Thrown by a command: the message says what went wrong and what to do.
struct failure {
  int status;
  std::string message;
};

struct option_rule {
  std::string_view name;  // "--every"
  int values = 0;         // how many values follow the option
  bool paths = false;     // the values are paths: made absolute (URLs stay as they are)
};

struct arguments {
  std::vector<std::string> operands;
  std::vector<std::pair<std::string, std::vector<std::string>>> options;  // in the order given
  bool help = false;

  bool has(std::string_view name) const;
  // The values of the option's last occurrence; empty when it is not given.
  std::vector<std::string> values(std::string_view name) const;
  std::string value(std::string_view name, std::string fallback = {}) const;
  // Operands and options again as a command line (paths made absolute).
  std::vector<std::string> to_argv() const;
};

// Throws failure{exit_usage} for an unknown option or a missing value.
arguments parse_arguments(std::span<const std::string> args, std::span<const option_rule> options);

}  // namespace tolvane::cli
