// Finding and loading stage modules. A module is a shared library whose one
// export is BeginStage; the pipe command looks for it
//   - first in the folders of DUCTRINE_MODULE_PATH (separated by colons, or
//     by semicolons on Windows) that are absolute paths;
//   - then beside the pipe executable (the build tree), in ../lib/ductrine
//     from it, and beside the platform library (where `cmake --install`
//     puts the modules).
// Modules stay loaded for the life of the process. Called on the driver's
// thread before the stages start.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "driver/pipeline_parser.h"
#include "stage/process.h"

namespace ductrine {

// The file that holds the module of a stage type: its type name in lower
// case with the system's suffix (TAILWRITER: tailwriter.so, tailwriter.dll).
std::string ModuleFileName(std::string_view typeName);

// The folders to search, in order, without duplicates. `pathVariable` is
// the value of DUCTRINE_MODULE_PATH, or null when it is not set; its empty
// entries and those that are not absolute paths are skipped.
std::vector<std::string> ModuleFolders(const char* pathVariable);

// True when one of the folders has a file named `fileName`.
bool ModuleFileExists(std::string_view fileName, const std::vector<std::string>& folders);

// Loads `fileName` from the first folder that has a file of that name and
// returns its BeginStage. 1001 when no folder has it, with the file name and
// the folders searched on a continuation line; 1020 (folder with its
// trailing "/", file name) when the library loads but has no BeginStage,
// and when the system's loader refuses the file, as it refuses a module
// linked against a platform library of another ABI version (another file
// name): then with the loader's explanation on a continuation line. 2014,
// a stage's message (what is launched, the code and its reason), when the
// process ran short of descriptors or memory for the load.
std::variant<StageEntry, ParseError> LoadStageEntry(std::string_view fileName,
                                                    const std::vector<std::string>& folders);

}  // namespace ductrine
