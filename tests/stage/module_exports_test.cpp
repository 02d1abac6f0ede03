// The module is loaded by name and entered through one symbol; everything
// else it carries (its copy of the framework) stays its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "tests/stage/module_loader.h"

namespace ductrine::test {
namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::set<std::string> names;
  const std::string command = "nm -D --defined-only '" + path + "' 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (fields >> address >> kind >> name) names.insert(name);
  }
  pclose(pipe);
  return names;
}

TEST(TailwriterModule, ExportsBeginStageAndNothingElse) {
  EXPECT_EQ(DefinedDynamicSymbols(TailwriterModulePath()), std::set<std::string>{"BeginStage"});
}

TEST(TailwriterModule, LoadsAndResolvesItsEntryPoint) {
  std::string error;
  EXPECT_NE(LoadTailwriterEntry(&error), nullptr) << error;
  void* module = dlopen(TailwriterModulePath(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(module, nullptr);
  // The framework inside the module is not reachable from outside.
  EXPECT_EQ(dlsym(module, "_ZN8ductrine8CPipeSet12IssueMessageERNS_8CProcessEjjRKSt6vectorINS_10MessageArgESaIS4_EE"),
            nullptr);
  dlclose(module);
}

}  // namespace
}  // namespace ductrine::test
