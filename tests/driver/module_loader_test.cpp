#include "driver/module_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

namespace fs = std::filesystem;

const std::string kBin = fs::canonical(DUCTRINE_BIN_DIR).string();

TEST(ModuleFolders, AVariableThatIsSetIsTheWholeSearch) {
  std::string list = "/one:/two/::/one/:/three//";
  std::replace(list.begin(), list.end(), ':', platform::kPathListSeparator);
  EXPECT_EQ(ModuleFolders(list.c_str()), (std::vector<std::string>{"/one", "/two", "/three"}));
  EXPECT_EQ(ModuleFolders("/"), std::vector<std::string>{"/"});
  // Set but empty means not set, never "no folder at all". Not set: beside
  // the executable (this test's lives in the build tree's bin folder, as
  // pipe does, and so does the platform library), then the install folder.
  std::vector<std::string> folders = ModuleFolders("");
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(fs::canonical(folders[0]).string(), kBin);
  EXPECT_EQ(folders[1], folders[0] + "/../lib/ductrine");
}

TEST(LoadStageEntry, NamesTheFileAndTheFoldersSearchedWhenNoneHasIt) {
  auto loaded = LoadStageEntry("nosuch.so", {"/no/such", "/"});
  ASSERT_TRUE(std::holds_alternative<ParseError>(loaded));
  EXPECT_EQ(testing::Describe(std::get<ParseError>(loaded)), "1001");
  EXPECT_EQ(std::get<ParseError>(loaded).continuation, "\n" + std::string(20, ' ') + "Looked for 'nosuch.so' in: '/no/such', '/'");
}

// A library without BeginStage, and a file that is no library at all.
TEST(LoadStageEntry, RefusesAFileThatIsNoStageModule) {
  const fs::path dir = fs::temp_directory_path() / ("ductrine-modules-" + std::to_string(platform::ProcessId()));
  const std::string prefix = dir.string() + "/", suffix(platform::kModuleSuffix);
  fs::create_directories(dir);
  fs::copy_file(kBin + "/" DUCTRINE_PLATFORM_LIBRARY, dir / ("plain" + suffix), fs::copy_options::overwrite_existing);
  std::ofstream(dir / ("junk" + suffix)) << "not a library";
  EXPECT_TRUE(ModuleFileExists("junk" + suffix, {"/no-such-folder", dir.string()}));
  EXPECT_FALSE(ModuleFileExists("other" + suffix, {dir.string()}));
  auto plain = LoadStageEntry("plain" + suffix, {dir.string()});
  auto junk = LoadStageEntry("junk" + suffix, {dir.string()});
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  ASSERT_TRUE(std::holds_alternative<ParseError>(plain) && std::holds_alternative<ParseError>(junk));
  EXPECT_EQ(testing::Describe(std::get<ParseError>(plain)), "1020 '" + prefix + "' 'plain" + suffix + "'");
  const std::string refusal = testing::Describe(std::get<ParseError>(junk));
  EXPECT_EQ(refusal.rfind("1036 '" + prefix + "' 'junk" + suffix + "' '", 0), 0u) << refusal;
  EXPECT_GT(refusal.size(), ("1036 '" + prefix + "' 'junk" + suffix + "' ''").size()) << "the loader's reason";
}

}  // namespace
}  // namespace ductrine
