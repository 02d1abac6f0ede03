#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "tests/harness/flavour.h"

namespace ductrine::platform {
namespace {

// A file made for the process alone (the stall dump) is always a new one: a
// name that is taken, by a file or by a link planted there, is refused and
// nothing is written through it.
TEST(PrivateFile, IsNewForTheOwnerAloneAndNeverWrittenThroughAName) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("ductrine-private-" + std::to_string(ProcessId()));
  test::RemoveAll(folder.string());
  fs::create_directory(folder);
  std::ofstream(folder / "taken.txt") << "kept";
  std::error_code noLinks;
  fs::create_symlink(folder / "target.txt", folder / "link.txt", noLinks);
  for (const char* name : {"new.txt", "taken.txt", "link.txt"}) {
    SCOPED_TRACE(name);
    if (name == std::string("link.txt") && noLinks) continue;
    const std::string path = (folder / name).string();
    std::FILE* file = CreatePrivateFile(path.c_str());
    if (name == std::string("new.txt")) {
      ASSERT_NE(file, nullptr);
      std::fputs("dump", file);
      std::fclose(file);
#if !defined(_WIN32)
      EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
      continue;
    }
    EXPECT_EQ(file, nullptr);
    if (file) std::fclose(file);
  }
  std::stringstream kept;
  kept << std::ifstream(folder / "taken.txt").rdbuf();
  EXPECT_EQ(kept.str(), "kept");
  EXPECT_FALSE(fs::exists(folder / "target.txt"));
  test::RemoveAll(folder.string());
}

}  // namespace
}  // namespace ductrine::platform
