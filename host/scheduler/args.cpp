#include "host/scheduler/args.h"

#include <algorithm>
#include <filesystem>

namespace tolvane::cli {

bool arguments::has(std::string_view name) const {
  return std::any_of(options.begin(), options.end(), [&](const auto& o) { return o.first == name; });
}

std::vector<std::string> arguments::values(std::string_view name) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it)
    if (it->first == name) return it->second;
  return {};
}

std::string arguments::value(std::string_view name, std::string fallback) const {
  auto v = values(name);
  return v.empty() ? fallback : v.front();
}

std::vector<std::string> arguments::to_argv() const {
  std::vector<std::string> argv;
  for (const auto& [name, vals] : options) {
    argv.push_back(name);
    argv.insert(argv.end(), vals.begin(), vals.end());
  }
  // Operands after "--", so that one starting with '-' stays an operand.
  argv.push_back("--");
  argv.insert(argv.end(), operands.begin(), operands.end());
  return argv;
}

arguments parse_arguments(std::span<const std::string> args, std::span<const option_rule> options) {
  arguments parsed;
  bool only_operands = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (only_operands || arg.size() < 2 || arg[0] != '-') {
      parsed.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_operands = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      parsed.help = true;
      continue;
    }
    std::vector<std::string> values;
    if (const auto eq = arg.find('='); eq != std::string::npos) {  // --option=value
      values.push_back(arg.substr(eq + 1));
      arg.resize(eq);
    }
    const auto rule = std::find_if(options.begin(), options.end(), [&](const option_rule& o) { return o.name == arg; });
    if (rule == options.end()) throw failure{exit_usage, "unknown option " + arg};
    if (values.size() > static_cast<std::size_t>(rule->values)) throw failure{exit_usage, arg + " takes no value"};
    while (values.size() < static_cast<std::size_t>(rule->values)) {
      if (++i >= args.size()) {
        throw failure{exit_usage, arg + " needs " + std::to_string(rule->values) + (rule->values == 1 ? " value" : " values")};
      }
      values.push_back(args[i]);
    }
    if (rule->paths) {
      for (std::string& v : values)
        if (!v.empty() && v.find("://") == std::string::npos) v = std::filesystem::absolute(v).lexically_normal().string();
    }
    parsed.options.emplace_back(arg, std::move(values));
  }
  return parsed;
}

}  // namespace tolvane::cli
