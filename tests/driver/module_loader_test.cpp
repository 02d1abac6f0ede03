#include "driver/module_loader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "tests/driver/parse_error_matchers.h"

namespace ductrine {
namespace {

namespace fs = std::filesystem;
using ::ductrine::testing::SameError;

const std::string kBin = fs::canonical(DUCTRINE_BIN_DIR).string();

class ModuleLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir = fs::temp_directory_path() / ("ductrine-modules-" + std::to_string(platform::ProcessId()) +
                                       "-" + std::to_string(counter++));
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string Folder(const char* name) const { return (dir / name).string(); }

  fs::path dir;
};

TEST(ModuleFileName, IsTheTypeNameInLowerCase) {
  EXPECT_EQ(ModuleFileName("TAILWRITER"), "tailwriter.so");
}

TEST(ModuleFolders, AVariableThatIsSetIsTheWholeSearch) {
  EXPECT_EQ(ModuleFolders("/one:/two/::/one/:/three//"),
            (std::vector<std::string>{"/one", "/two", "/three"}));
  EXPECT_EQ(ModuleFolders(""), std::vector<std::string>{});
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

TEST_F(ModuleLoader, FindsNoModuleInFoldersWithoutIt) {
  auto loaded = LoadStageEntry("tailwriter.so", {Folder("a"), Folder("b"), Folder("missing")});
  ASSERT_TRUE(std::holds_alternative<ParseError>(loaded));
  EXPECT_TRUE(SameError(std::get<ParseError>(loaded), 1001, {}));
}

TEST_F(ModuleLoader, LoadsAModuleAndFindsItsEntryPoint) {
  fs::copy_file(kBin + "/test_stage_module.so", dir / "b" / "stage.so");
  auto loaded = LoadStageEntry("stage.so", {Folder("a"), Folder("b")});
  ASSERT_TRUE(std::holds_alternative<StageEntry>(loaded))
      << testing::Describe(std::get<ParseError>(loaded).number, std::get<ParseError>(loaded).args);
  EXPECT_NE(std::get<StageEntry>(loaded), nullptr);
}

TEST_F(ModuleLoader, RefusesAFileThatIsNotALibrary) {
  std::ofstream(dir / "a" / "stage.so") << "not a library";
  fs::copy_file(kBin + "/test_stage_module.so", dir / "b" / "stage.so");
  // The first folder that has the file decides, even when a later one would do.
  auto loaded = LoadStageEntry("stage.so", {Folder("a"), Folder("b")});
  ASSERT_TRUE(std::holds_alternative<ParseError>(loaded));
  EXPECT_TRUE(SameError(std::get<ParseError>(loaded), 1020, {Folder("a") + "/", "stage.so"}));
}

TEST_F(ModuleLoader, RefusesALibraryWithoutBeginStage) {
  fs::copy_file(kBin + "/libductrine-platform.so", dir / "a" / "stage.so");
  auto loaded = LoadStageEntry("stage.so", {Folder("a")});
  ASSERT_TRUE(std::holds_alternative<ParseError>(loaded));
  EXPECT_TRUE(SameError(std::get<ParseError>(loaded), 1020, {Folder("a") + "/", "stage.so"}));
}

}  // namespace
}  // namespace ductrine
