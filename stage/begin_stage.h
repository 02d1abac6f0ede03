// The body of BeginStage, instantiated by each stage module for its own
// stage class: construct, Setup, start handshake, Run, destroy.
//
// No exception leaves it: on a stage thread an escaped exception would end
// the whole process and lose every other stage's buffered records. It is
// reported with message 2999 and the stage returns 3. The unwind of a fiber
// or thread that a stop ends is not an exception to catch and passes through.
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <memory>

#include "platform/platform.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"

// How a stage module exports BeginStage, its only export.
#if defined(_WIN32)
#define DUCTRINE_STAGE_EXPORT __declspec(dllexport)
#else
#define DUCTRINE_STAGE_EXPORT __attribute__((visibility("default")))
#endif

namespace ductrine {

// The module's identity for the per-call module-state switch.
inline const void* ThisModule() {
  static const char module = 0;
  return &module;
}

void ReportStageException(CStageCall* call, const char* what);

// The unwind of an ended thread carries no C++ object, so binding the
// reference that lets it pass is not undefined behaviour to report.
#if defined(__GNUC__)
#define DUCTRINE_PASSES_THREAD_END __attribute__((no_sanitize("undefined")))
#else
#define DUCTRINE_PASSES_THREAD_END
#endif

template <class Stage>
DUCTRINE_PASSES_THREAD_END std::int32_t BeginStageBody(CStageCall* call) {
  platform::ModuleStateGuard moduleState(ThisModule());
  std::unique_ptr<Stage> stage;
  bool handshakeMade = false;
  try {
    stage = std::make_unique<Stage>(*call);
    call->setupOk = stage->Setup() ? 1 : 0;
    handshakeMade = true;
    if (!call->pipeSet->StartHandshake(call)) return 3;
    return stage->Run();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const platform::FiberEnd&) {
    throw;  // a stop ends this stage's fiber: its unwind must reach the fiber's end
  } catch (const std::exception& error) {
    stage.reset();
    ReportStageException(call, error.what());
  } catch (...) {
    stage.reset();
    ReportStageException(call, "unknown exception");
  }
  // A setup that threw still owes the driver its ready event, or the run
  // would wait for it for ever; it counts as a failed setup.
  if (!handshakeMade) {
    call->setupOk = 0;
    call->pipeSet->StartHandshake(call);
  }
  return 3;
}

}  // namespace ductrine
