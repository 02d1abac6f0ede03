// The stop of a whole run: sever every stream, wake every waiter, stop every
// sub-pipeline and end every console stage. The four passes are separate
// walks so that every stream is severed before anyone is woken.

#include <cstdio>
#include <strings.h>

#include "runtime/named_events.h"
#include "runtime/pipe_set.h"

namespace ductrine {
namespace {

using platform::Handle;
using platform::NamedEvent;

// The stop keeps its event handles for the life of the process, so the events
// stay raised (and signalled) for any stage that opens them later.
void RaiseAndKeep(const std::string& name) {
  Handle event = NamedEvent::OpenOrCreate(name, true, false);
  NamedEvent::Set(event);
}

const char* FirstCommandName(const CPipeSet& set, const CStage& stage) {
  if (stage.typeIndex >= set.stageTypes.size()) return "";
  const auto& names = set.stageTypes[stage.typeIndex].names;
  return names.empty() ? "" : names.front().c_str();
}

}  // namespace

void CPipeSet::Quiesce(std::int32_t cause) {
  std::uint8_t expected = 0;
  if (!stopping.Atomic().compare_exchange_strong(expected, 1)) return;
  if (markStop) stopMarked = 1;
  EndTrace();

  for (CPipe& pipe : pipes)
    for (CStage& stage : pipe.stages) {
      for (CInputStream& in : stage.inputs) in.Sever();
      for (COutputStream& out : stage.outputs) out.Sever();
    }
  for (CPipe& pipe : pipes)
    for (CStage& stage : pipe.stages)
      for (COutputStream& out : stage.outputs) RaiseAndKeep(out.recordEventName);
  for (CPipe& pipe : pipes)
    for (CStage& stage : pipe.stages)
      for (CInputStream& in : stage.inputs) RaiseAndKeep(in.consumedEventName);

  for (CPipe& pipe : pipes)
    for (CStage& stage : pipe.stages) {
      const char* type = FirstCommandName(*this, stage);
      if (strcasecmp(type, "CALLPIPE") == 0) {
        char name[32];
        std::snprintf(name, sizeof name, "CALLPIPE-%.5d", static_cast<int>(stage.callpipeId));
        SignalEvent(name);
        std::snprintf(name, sizeof name, "PIPEStopLock%.5d", static_cast<int>(stage.callpipeId));
        NamedEvent::OpenOrCreate(name, false, false);
        NamedEvent::Wait(stage.callpipeHandle);
      } else if (strcasecmp(type, "CONSOLE") == 0) {
        // Never the calling thread: a console stage that stops the run ends
        // on its own when it sees its streams severed.
        if (!platform::IsCurrentThread(stage.threadHandle))
          platform::TerminateThreadAt(stage.threadHandle);
      }
    }

  RaiseReturnCode(cause == 1 ? 3 : 0);
}

}  // namespace ductrine
