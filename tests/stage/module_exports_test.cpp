// A stage module is entered through one symbol; everything else it carries
// (its copy of the framework) stays its own. Both modules of the tree are
// built by ductrine_add_stage_module, the SDK's recipe.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdio>
#include <set>
#include <string>

namespace {

// The names a module exports, as the system's loader sees them.
std::set<std::string> ExportedNames(const std::string& moduleName) {
  std::set<std::string> names;
#if defined(_WIN32)
  HMODULE module = LoadLibraryExA((DUCTRINE_BIN_DIR "/" + moduleName + ".dll").c_str(), nullptr,
                                  DONT_RESOLVE_DLL_REFERENCES);
  EXPECT_NE(module, nullptr);
  if (module == nullptr) return names;
  auto* base = reinterpret_cast<const unsigned char*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (entry.Size != 0) {
    auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    auto* rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
      names.insert(reinterpret_cast<const char*>(base + rvas[i]));
    // Exports without a name would be entry points too.
    EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames);
  }
  FreeLibrary(module);
#else
  const std::string command = "nm -D --defined-only '" DUCTRINE_BIN_DIR "/" + moduleName + ".so'";
  std::FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  if (pipe == nullptr) return names;
  char line[4096], name[4096];
  while (std::fgets(line, sizeof line, pipe))
    if (std::sscanf(line, "%*s %*s %4095s", name) == 1) names.insert(name);
  EXPECT_EQ(pclose(pipe), 0);
#endif
  return names;
}

TEST(StageModules, ExportBeginStageAndNothingElse) {
  for (const char* module : {"tailwriter", "test_stage_module"})
    EXPECT_EQ(ExportedNames(module), std::set<std::string>{"BeginStage"}) << module;
}

}  // namespace
