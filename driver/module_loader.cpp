#include "driver/module_loader.h"

#include <algorithm>
#include <filesystem>

#include "platform/platform.h"

namespace ductrine {
namespace {

void AddFolder(std::vector<std::string>& folders, std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) return;
  if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
    folders.push_back(std::move(folder));
  }
}

}  // namespace

std::string ModuleFileName(std::string_view typeName) {
  std::string name;
  for (char c : typeName) name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return name + std::string(platform::kModuleSuffix);
}

std::vector<std::string> ModuleFolders(const char* pathVariable) {
  std::vector<std::string> folders;
  // The user's folders come first, so a module of one's own can stand in
  // for an installed one; the default folders follow, so Tailwriter and
  // the other installed modules stay within reach.
  std::string_view rest = pathVariable != nullptr ? pathVariable : "";
  while (!rest.empty()) {
    std::size_t end = rest.find(platform::kPathListSeparator);
    std::string folder(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    // A relative entry would be looked up from whatever folder pipe runs
    // in, where anyone who can write there could plant a module: skipped.
    if (std::filesystem::path(folder).has_root_directory()) AddFolder(folders, std::move(folder));
  }
  std::string executable = platform::ExecutableFolder();
  if (!executable.empty()) {
    AddFolder(folders, executable);
    AddFolder(folders, executable + "/../lib/ductrine");
  }
  AddFolder(folders, platform::PlatformLibraryFolder());
  return folders;
}

bool ModuleFileExists(std::string_view fileName, const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    std::string path = (folder == "/" ? folder : folder + "/") + std::string(fileName);
    if (platform::FileExists(path.c_str())) return true;
  }
  return false;
}

std::variant<StageEntry, ParseError> LoadStageEntry(std::string_view fileName,
                                                    const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    std::string prefix = folder == "/" ? folder : folder + "/";
    std::string path = prefix + std::string(fileName);
    if (!platform::FileExists(path.c_str())) continue;
    // The first folder that has the file decides; a broken module is
    // reported rather than passed over for an older one further on.
    std::string error;
    void* module = platform::StageModule::Load(path, &error);
    if (module == nullptr) {
      const int code = platform::LastErrorCode();
      // A process short of descriptors or memory is no fault of the module.
      if (code != 0) {
        return ParseError{2014, {"stage module: '" + path + "'", code, platform::ReasonText(code)}};
      }
      if (error.empty()) error = "unknown loader error";
      return ParseError{1020, {prefix, fileName}, "\n                    Reason: " + error};
    }
    void* entry = platform::StageModule::Symbol(module, "BeginStage");
    if (entry == nullptr) return ParseError{1020, {prefix, fileName}};
    return reinterpret_cast<StageEntry>(entry);
  }
  // The catalogue text says nothing of where the module was looked for.
  std::string searched = "\n                    Looked for '" + std::string(fileName) + "' in: ";
  if (folders.empty()) searched += "(no folders)";
  for (std::size_t i = 0; i < folders.size(); ++i) searched += (i ? ", '" : "'") + folders[i] + "'";
  return ParseError{1001, {}, searched};
}

}  // namespace ductrine
