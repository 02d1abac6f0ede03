#include "driver/module_loader.h"

#include <algorithm>

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
  // Set but empty is unset: an empty value would otherwise switch off every
  // folder, including the ones that hold the modules of this very build.
  if (pathVariable != nullptr && *pathVariable != '\0') {
    // Set means chosen: a user who points it somewhere gets exactly that,
    // never a module picked up from the build or install tree behind it.
    std::string_view rest = pathVariable;
    while (!rest.empty()) {
      std::size_t end = rest.find(platform::kPathListSeparator);
      AddFolder(folders, std::string(rest.substr(0, end)));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return folders;
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
