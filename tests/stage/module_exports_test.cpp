// The tailwriter module is entered through one symbol; everything else it
// carries (its copy of the framework) stays its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

TEST(TailwriterModule, ExportsBeginStageAndNothingElse) {
  std::FILE* pipe = popen("nm -D --defined-only '" DUCTRINE_BIN_DIR "/tailwriter.so'", "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[4096], name[4096];
  while (std::fgets(line, sizeof line, pipe))
    if (std::sscanf(line, "%*s %*s %4095s", name) == 1) names.insert(name);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(names, std::set<std::string>{"BeginStage"});
}

}  // namespace
