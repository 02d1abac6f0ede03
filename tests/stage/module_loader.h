// Loads the built tailwriter module the way the pipe command does, so the
// tests run the real artefact and nothing but its exported entry point.
#pragma once

#include <dlfcn.h>

#include <string>

#include "stage/process.h"

namespace ductrine::test {

inline const char* TailwriterModulePath() { return DUCTRINE_BIN_DIR "/tailwriter.so"; }

// The module's BeginStage, or null (with the loader's complaint in `error`).
// The module stays loaded for the life of the process.
inline StageEntry LoadTailwriterEntry(std::string* error = nullptr) {
  static void* module = dlopen(TailwriterModulePath(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    if (error) *error = dlerror();
    return nullptr;
  }
  return reinterpret_cast<StageEntry>(dlsym(module, "BeginStage"));
}

}  // namespace ductrine::test
