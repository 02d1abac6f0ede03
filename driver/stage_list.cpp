#include "driver/stage_list.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "platform/platform.h"

namespace ductrine {
namespace {

// The built-in stages as a pipeline names them (Tailwriter is a module).
constexpr const char* kBuiltinStages = "CONSOLE, LITERAL, <";

// The command a module file stands for: its name without the suffix, in
// upper case; empty when the file cannot be a module a pipeline can name.
std::string CommandOf(const std::string& file) {
  const std::string_view suffix = platform::kModuleSuffix;
  if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return {};
  }
  std::string command = file.substr(0, file.size() - suffix.size());
  for (char& c : command) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (!((c >= '0' && c <= '9') || c == '_' || c == '-')) {
      return {};  // upper case in a file name, a dot, a blank: no command loads it
    }
  }
  return command;
}

}  // namespace

std::string StageListText(const std::vector<std::string>& folders) {
  std::string text = std::string("Built-in stages: ") + kBuiltinStages + "\n";
  text += "Stage modules (the first folder that has a module's file decides):\n";
  std::set<std::string> seen;
  bool any = false;
  for (const std::string& folder : folders) {
    std::vector<std::string> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      if (it->is_regular_file(error)) files.push_back(it->path().filename().string());
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      std::string command = CommandOf(file);
      if (command.empty()) continue;
      std::string path = (folder == "/" ? folder : folder + "/") + file;
      std::string line = "  " + command + std::string(command.size() < 18 ? 18 - command.size() : 1, ' ') + path;
      std::string reason;
      void* module = platform::StageModule::Load(path, &reason);
      // A library that loads but has no BeginStage (the platform library
      // itself) is no stage module; one the loader refuses (built against
      // another ABI, say) is what a pipeline naming it would meet.
      if (module != nullptr && platform::StageModule::Symbol(module, "BeginStage") == nullptr) continue;
      if (!seen.insert(command).second) {
        line += "  (not used: found in an earlier folder)";
      } else if (module == nullptr) {
        line += "  (cannot be loaded: " + reason + ")";
      }
      text += line + "\n";
      any = true;
    }
  }
  if (!any) text += "  (none)\n";
  text += "Folders searched, in order:\n";
  for (const std::string& folder : folders) text += "  " + folder + "\n";
  return text;
}

}  // namespace ductrine
