#include "driver/module_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/platform.h"
#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

namespace fs = std::filesystem;
using ::ductrine::testing::SameError;

const std::string kBin = fs::canonical(DUCTRINE_BIN_DIR).string();

TEST(ModuleFolders, AVariableThatIsSetIsTheWholeSearch) {
  std::string list = "/one:/two/::/one/:/three//";
  std::replace(list.begin(), list.end(), ':', platform::kPathListSeparator);
  EXPECT_EQ(ModuleFolders(list.c_str()), (std::vector<std::string>{"/one", "/two", "/three"}));
  // Set but empty means not set, never "no folder at all".
  EXPECT_EQ(ModuleFolders(""), ModuleFolders(nullptr));
  EXPECT_EQ(ModuleFolders("/"), std::vector<std::string>{"/"});
}

TEST(ModuleFolders, WithoutTheVariableSearchesBesideTheExecutableAndTheInstallFolder) {
  // This test's executable lives in the build tree's bin folder, as pipe does.
  std::vector<std::string> folders = ModuleFolders(nullptr);
  ASSERT_GE(folders.size(), 2u);
  EXPECT_EQ(fs::canonical(folders[0]).string(), kBin);
  EXPECT_EQ(folders[1], folders[0] + "/../lib/ductrine");
  // The platform library of the build tree lies beside the executable too,
  // so it adds no folder of its own.
  EXPECT_EQ(platform::PlatformLibraryFolder(), folders[0]);
}

TEST(LoadStageEntry, NamesTheFileAndTheFoldersSearchedWhenNoneHasIt) {
  struct Case { std::vector<std::string> folders; std::string where; };
  const Case cases[] = {
      {{"/no/such", "/"}, "'/no/such', '/'"},
      {{}, "(no folders)"},
  };
  for (const Case& c : cases) {
    auto loaded = LoadStageEntry("nosuch.so", c.folders);
    ASSERT_TRUE(std::holds_alternative<ParseError>(loaded));
    const ParseError& error = std::get<ParseError>(loaded);
    EXPECT_TRUE(SameError(error, 1001, {}));
    EXPECT_EQ(error.continuation, "\n                    Looked for 'nosuch.so' in: " + c.where);
  }
}

TEST(LoadStageEntry, RefusesALibraryWithoutBeginStage) {
  fs::path dir = fs::temp_directory_path() / ("ductrine-modules-" + std::to_string(platform::ProcessId()));
  fs::create_directories(dir);
  const std::string stage = "stage" + std::string(platform::kModuleSuffix);
  fs::copy_file(kBin + "/" DUCTRINE_PLATFORM_LIBRARY, dir / stage, fs::copy_options::overwrite_existing);
  auto loaded = LoadStageEntry(stage, {dir.string()});
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  ASSERT_TRUE(std::holds_alternative<ParseError>(loaded));
  EXPECT_TRUE(SameError(std::get<ParseError>(loaded), 1020, {dir.string() + "/", stage}));
}

TEST(LoadStageEntry, GivesTheLoadersReasonForAFileItRefuses) {
  fs::path dir = fs::temp_directory_path() / ("ductrine-modules-" + std::to_string(platform::ProcessId()));
  fs::create_directories(dir);
  const std::string stage = "stage" + std::string(platform::kModuleSuffix);
  std::FILE* file = std::fopen((dir / stage).string().c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("not a library", file);
  std::fclose(file);
  EXPECT_TRUE(ModuleFileExists(stage, {"/no-such-folder", dir.string()}));
  EXPECT_FALSE(ModuleFileExists("other" + std::string(platform::kModuleSuffix), {dir.string()}));
  auto loaded = LoadStageEntry(stage, {dir.string()});
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  ASSERT_TRUE(std::holds_alternative<ParseError>(loaded));
  const ParseError& error = std::get<ParseError>(loaded);
  EXPECT_EQ(error.number, 1036u);
  ASSERT_EQ(error.args.size(), 3u);
  EXPECT_EQ(error.args[0].text(), dir.string() + "/");
  EXPECT_EQ(error.args[1].text(), stage);
  EXPECT_FALSE(error.args[2].text().empty()) << "the loader's reason";
}

}  // namespace
}  // namespace ductrine
