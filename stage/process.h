// The stage side of the driver contract: the stage-call record that the
// driver passes to BeginStage, and CProcess, the base of every stage.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ductrine {

class CPipeSet;

// The stage-call record. Its layout is a binary contract with the driver,
// which is built separately: fields in this order, natural alignment.
struct CStageCall {
  std::uint8_t setupOk;
  CPipeSet* pipeSet;
  std::uint32_t pipeIndex;
  std::uint32_t stageIndex;
};

static_assert(offsetof(CStageCall, setupOk) == 0);
static_assert(offsetof(CStageCall, pipeSet) == alignof(void*));
static_assert(offsetof(CStageCall, pipeIndex) == 2 * sizeof(void*));
static_assert(offsetof(CStageCall, stageIndex) == 2 * sizeof(void*) + 4);
static_assert(alignof(CStageCall) == alignof(void*));

// Abstract base of every stage. Framework operations take the caller's
// CProcess to identify the calling stage. Not copyable: one object per call.
class CProcess {
 public:
  explicit CProcess(const CStageCall& call)
      : pipeSet(call.pipeSet), pipeIndex(call.pipeIndex), stageIndex(call.stageIndex) {}
  CProcess(const CProcess&) = delete;
  CProcess& operator=(const CProcess&) = delete;

  virtual ~CProcess() = 0;
  // Parses operands and declares the stage's stream limits; false: cannot run.
  virtual bool Setup() = 0;
  // The record loop; its result is the stage return code.
  virtual std::int32_t Run() = 0;

  CPipeSet* pipeSet;
  std::uint32_t pipeIndex;
  std::uint32_t stageIndex;
};

inline CProcess::~CProcess() = default;

// The stage entry point every module exports.
using StageEntry = std::int32_t (*)(CStageCall*);

}  // namespace ductrine
