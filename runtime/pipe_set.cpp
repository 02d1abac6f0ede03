// Lookups and small accessors of the pipeline set.

#include "runtime/pipe_set.h"

#include <cstdio>

#include "stage/process.h"

namespace ductrine {

const char* const kStageStateNames[4] = {"Active", "Complete", "Read-Pending ", "Write-Pending"};

void CStage::SetMaxInputStreams(std::uint32_t n) {
  maxInputStreams = n < kMaxInputStreamsCap ? n : kMaxInputStreamsCap;
}

void CPipeSet::RaiseReturnCode(std::uint32_t value) {
  // A plain compare-and-store would lose one of two raises made at once.
  std::atomic<std::uint32_t>& code = highestReturnCode.Atomic();
  std::uint32_t current = code.load(std::memory_order_relaxed);
  while (value > current &&
         !code.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
  }
}

void CPipeSet::SetTraceOn(bool on) {
  if (on) {
    char name[64];
    long console = platform::ConsoleIdentity();
    std::snprintf(name, sizeof name, "PIPETraceEndLock-%.8ld", console);
    traceEndEventName = name;
    std::snprintf(name, sizeof name, "PIPETraceOffLock-%.8ld", console);
    traceOffEventName = name;
  }
  traceOn = on ? 1 : 0;
}

void CPipeSet::PipeLabel(std::uint32_t pipeIndex, std::string& label) const {
  char text[32];
  std::snprintf(text, sizeof text, "%u", pipeIndex);
  label = text;
  if (!pipes.empty() && pipeIndex <= pipes.size() - 1) {
    const std::string& name = pipes[pipeIndex].name;
    if (!name.empty()) label += "," + name;
  } else if (!setName.empty()) {
    label += ", " + setName;
  }
}

}  // namespace ductrine
