// The start handshake: a stage says it is set up, waits until the driver
// lets the run start, and does not run when any stage's setup failed.

#include <string>

#include "runtime/named_events.h"
#include "runtime/pipe_set.h"
#include "stage/begin_stage.h"
#include "stage/process.h"

namespace ductrine {
namespace {

// A handle-less stand-in so that a message can name the stage whose
// exception escaped after its object is gone.
class StageIdentity final : public CProcess {
 public:
  explicit StageIdentity(const CStageCall& call) : CProcess(call) {}
  bool Setup() override { return false; }
  std::int32_t Run() override { return 3; }
};

}  // namespace

bool CPipeSet::StartHandshake(CStageCall* call) {
  if (!call->setupOk) abortRun = 1;
  CStage* stage = FindStage(call->pipeIndex, call->stageIndex);
  if (!stage) return false;
  SignalEvent(stage->readyEventName);
  platform::Handle start = platform::NamedEvent::OpenOrCreate(stage->startEventName, true, false);
  platform::NamedEvent::Wait(start);
  platform::CloseObject(start);
  if (abortRun) return false;
  stage->started = 1;
  return true;
}

void ReportStageException(CStageCall* call, const char* what) {
  if (!call || !call->pipeSet) return;
  StageIdentity identity(*call);
  call->pipeSet->IssueMessage(identity, 2999, kSeverityError, {what});
}

}  // namespace ductrine
