// tolvane-regsvr as a user or a package script runs it: exit codes, messages, and the registry.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "Scheduler.h"
#include "platform/registry/registry_sandbox.h"
#include "registry_view.h"

namespace {

using namespace tolvane::test;

struct outcome {
  int status;
  std::string output;
};

// Runs the tool with the arguments, after the environment assignments given.
outcome regsvr(const std::string& arguments, const std::string& environment = "") {
  outcome o{-1, {}};
  FILE* pipe = ::popen((environment + TOLVANE_REGSVR + " " + arguments + " 2>&1").c_str(), "r");
  if (!pipe) return o;
  char buffer[512];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) o.output.append(buffer, n);
  const int raw = ::pclose(pipe);
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return o;
}

const std::u16string kServerKey = u"Software\\Classes\\CLSID\\{0946E232-81EA-4DF2-B7DB-CAF900E0D209}\\InprocServer32";

TEST(RegsvrTest, ExitCodesAndMessages) {
  registry_sandbox sandbox;
  const std::string library = TOLVANE_SCHEDULER_LIBRARY;
  registry_sandbox::write(sandbox.folder() + "/file", "");
  const std::string unwritable = "TOLVANE_REGISTRY_MACHINE=" + sandbox.folder() + "/file/machine.reg ";
  enum where { none, machine, user };
  const struct { std::string arguments; int status; std::string says; where registered; } cases[] = {
      {"--help", 0, "Usage: tolvane-regsvr [--unregister] [--user] LIBRARY", none},
      {"", 2, "no library given", none},
      {"--force " + library, 2, "unknown option --force", none},
      {library + " " + library, 2, "more than one library", none},
      {sandbox.folder() + "/missing.so", 3, "no such file", none},
      {sandbox.folder(), 3, "is a folder", none},
      {sandbox.folder() + "/file", 3, "cannot be loaded", none},
      {TOLVANE_RUNTIME_LIBRARY, 4, "not a component library", none},
      {"--user " + library, 0, "registered for the current user", user},
      {"--unregister --user " + library, 0, "unregistered for the current user", none},
      {library, 0, "registered machine-wide: " + library, machine},
      {"-u " + library, 0, "unregistered machine-wide", none},
      {"-- " + library, 0, "registered machine-wide", machine},
      {"--unregister " + library, 0, "unregistered", none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const outcome o = regsvr(c.arguments);
    EXPECT_EQ(o.status, c.status) << o.output;
    EXPECT_NE(o.output.find(c.says), std::string::npos) << o.output;
    EXPECT_EQ(text(HKEY_LOCAL_MACHINE, kServerKey).has_value(), c.registered == machine);
    EXPECT_EQ(text(HKEY_CURRENT_USER, kServerKey).has_value(), c.registered == user);
  }
  const outcome o = regsvr(library, unwritable);
  EXPECT_NE(o.output.find("the registry is not writable: run as root for a machine-wide registration, or use --user"),
            std::string::npos) << o.output;
  EXPECT_EQ(o.status, 1);
}

}  // namespace
