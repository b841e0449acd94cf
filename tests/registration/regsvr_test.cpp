// tolvane-regsvr as a user or a package script runs it: exit codes, messages, and the registry.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/registry/registry_sandbox.h"
#include "registry_view.h"

namespace {

using namespace tolvane::test;

// Runs the tool with the arguments after the environment assignments given: exit status and output.
std::pair<int, std::string> regsvr(const std::string& arguments, const std::string& environment = "") {
  FILE* pipe = ::popen((environment + TOLVANE_REGSVR + " " + arguments + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[512];
  while (size_t n = pipe ? std::fread(buffer, 1, sizeof buffer, pipe) : 0) output.append(buffer, n);
  const int raw = pipe ? ::pclose(pipe) : -1;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output};
}

TEST(RegsvrTest, ExitCodesMessagesAndTheRegistryLeft) {
  registry_sandbox sandbox;
  const std::string lib = TOLVANE_SCHEDULER_LIBRARY, folder = sandbox.folder();
  registry_sandbox::write(folder + "/file", "");
  const std::u16string server = u"Software\\Classes\\CLSID\\{0946E232-81EA-4DF2-B7DB-CAF900E0D209}\\InprocServer32";
  enum where { none, machine, user };
  const struct { std::string arguments, environment; int status; std::string says; where registered; } cases[] = {
      {"--help", "", 0, "Usage: tolvane-regsvr [--unregister] [--user] LIBRARY", none},
      {"", "", 2, "no library given", none},
      {"--force " + lib, "", 2, "unknown option --force", none},
      {folder + "/missing.so", "", 3, "no such file", none},
      {folder + "/file", "", 3, "cannot be loaded", none},
      {folder, "", 3, "is a folder", none},
      {TOLVANE_RUNTIME_LIBRARY, "", 4, "not a component library", none},
      {"--user " + lib, "", 0, "registered for the current user", user},
      {"--unregister --user " + lib, "", 0, "unregistered for the current user", none},
      {lib, "TOLVANE_REGISTRY_MACHINE=" + folder + "/file/m.reg ", 1, "not writable: run as root for a machine-wide "
       "registration, or use --user", none},
      {lib, "", 0, "registered machine-wide: " + lib, machine},
      {"-u " + lib, "", 0, "unregistered machine-wide", none}};
  for (const auto& c : cases) {
    const auto [status, output] = regsvr(c.arguments, c.environment);
    EXPECT_EQ(status, c.status) << c.arguments << ": " << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.arguments << ": " << output;
    EXPECT_EQ(text(HKEY_LOCAL_MACHINE, server).has_value(), c.registered == machine) << c.arguments;
    EXPECT_EQ(text(HKEY_CURRENT_USER, server).has_value(), c.registered == user) << c.arguments;
  }
}

}  // namespace
