// The trace point: one traced record request under the console lock, with
// the dialogue that asks the user what to do, the record dump, and the
// TRACE segment carried from one request to the next.
//
// Any number of stage threads, of this set and of every other set on the
// same console, may call TraceRequest at once; the console lock makes each
// call, from the segment read to the segment write, one exclusive step.

#include <cstdint>
#include <limits>
#include <string>

#include "messages/appl_message.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"
#include "trace/help_text.h"
#include "trace/record_dump.h"
#include "trace/trace_command.h"

namespace ductrine {
namespace {

using platform::Handle;
using platform::NamedEvent;
using platform::NamedMutex;

constexpr char kPrompt[] = "trace ?: ";

// The console lock for one call. Release() gives it back and closes the
// handle; it does so once, however many ways out call it, and the
// destructor covers the rest (including a stage ended at the prompt).
class ConsoleLock {
 public:
  ConsoleLock() {
    handle_ = NamedMutex::OpenOrCreate(ConsoleMutexName());
    held_ = handle_ != nullptr && NamedMutex::Acquire(handle_);
  }
  ~ConsoleLock() { Release(); }
  ConsoleLock(const ConsoleLock&) = delete;
  ConsoleLock& operator=(const ConsoleLock&) = delete;

  bool held() const { return held_; }

  void Release() {
    if (held_) NamedMutex::Release(handle_);
    held_ = false;
    platform::CloseObject(handle_);
    handle_ = nullptr;
  }

 private:
  Handle handle_ = nullptr;
  bool held_ = false;
};

// The trace events are flags: raised means an event of that name exists.
bool IsRaised(const std::string& name) {
  Handle event = NamedEvent::OpenExisting(name);
  if (event == nullptr) return false;
  platform::CloseObject(event);
  return true;
}

// Raised for good: the handle is kept for the life of the process.
void Raise(const std::string& name) { NamedEvent::OpenOrCreate(name, false, false); }

// The next request number. Past the largest 32-bit number the count starts
// again at 1 instead of overflowing.
std::int32_t NextRequestNumber(std::int32_t requestNumber) {
  return requestNumber == std::numeric_limits<std::int32_t>::max() ? 1 : requestNumber + 1;
}

// Reads one typed line into the command line. The console input gives the
// whole line; what does not fit the command line is dropped. End of input
// (no terminal) reads as an empty line, which is the enter command.
std::string ReadCommandLine() {
  std::string typed;
  if (!platform::ConsoleReadLine(&typed)) typed.clear();
  std::string commandLine;
  AppendCommandPiece(commandLine, typed);
  return commandLine;
}

enum class DialogueEnd {
  kDump,  // go on to the dump and the segment write (or, tracing off, to nothing)
  kDone,  // the call has ended; the console lock is released
};

struct TraceCall {
  CPipeSet& set;
  ConsoleLock& lock;
  std::int32_t runCount = 0;
  std::int32_t requestNumber = 0;
};

void ListSource(const CPipeSet& set) {
  CApplMessage listing(nullptr);
  for (const std::string& format : SourceListingFormats(set.sourceLines)) listing.Write(format);
}

DialogueEnd HoldDialogue(TraceCall& call) {
  CPipeSet& set = call.set;
  CApplMessage lineEnd(nullptr);
  for (;;) {
    if (!set.IsTraceOn()) return DialogueEnd::kDump;
    if (IsRaised(set.traceEndEventName)) {
      set.Quiesce(2);
      call.lock.Release();
      return DialogueEnd::kDone;
    }
    // Tested only here, where a prompt would follow, so that an Off given
    // elsewhere does not cut a Run count short.
    if (IsRaised(set.traceOffEventName)) {
      set.SetTraceOn(false);
      call.lock.Release();
      return DialogueEnd::kDone;
    }
    platform::ConsolePrompt(kPrompt);
    std::string commandLine = ReadCommandLine();
    lineEnd.Write("");

    TraceCommand command = ParseTraceCommand(commandLine);
    switch (command.kind) {
      case TraceCommandKind::kEnter:
        call.runCount = 0;
        return DialogueEnd::kDump;
      case TraceCommandKind::kRun:
        call.runCount = command.runCount;
        if (!set.WriteTraceSegment(call.runCount, call.requestNumber)) {
          call.lock.Release();
          set.Quiesce(1);
          return DialogueEnd::kDone;
        }
        return DialogueEnd::kDump;
      case TraceCommandKind::kHelp:
        set.ShowTraceHelp();
        break;
      case TraceCommandKind::kSource:
        ListSource(set);
        break;
      case TraceCommandKind::kOff:
        set.SetTraceOn(false);
        Raise(set.traceOffEventName);
        return DialogueEnd::kDump;  // tracing is off: no dump, no segment write
      case TraceCommandKind::kEnd:
        set.SetTraceOn(false);
        Raise(set.traceEndEventName);
        call.lock.Release();
        set.Quiesce(2);
        return DialogueEnd::kDone;
      case TraceCommandKind::kRefused:
        set.IssueSystemMessage(1033, kSeverityConsoleError, {commandLine, command.explanation});
        break;
    }
  }
}

}  // namespace

void CPipeSet::TraceRequest(CProcess& stage, std::int32_t operation, std::int32_t streamNo,
                            std::uint32_t recordNumber, const std::string& record) {
  if (stopping || !IsTraceOn()) return;
  CStage* entry = FindStage(stage);
  if (entry == nullptr || !entry->traced) return;

  ConsoleLock lock;
  // Without the lock the segment's read-update-write would not be one step.
  if (!lock.held()) return;
  // Another stage may have switched tracing off while this one waited.
  if (!IsTraceOn()) return;
  if (IsRaised(traceEndEventName)) {
    Quiesce(2);
    return;
  }

  TraceCall call{*this, lock};
  if (!ReadTraceSegment(call.runCount, call.requestNumber)) {
    Quiesce(1);
    return;
  }
  call.requestNumber = NextRequestNumber(call.requestNumber);

  if (call.runCount > 0) {
    --call.runCount;
  } else if (call.runCount == 0) {
    if (HoldDialogue(call) == DialogueEnd::kDone) return;
  }
  // A negative run count (Run *) stays as it is and never asks.

  if (!IsTraceOn()) return;
  std::string label;
  PipeLabel(stage.pipeIndex, label);
  RecordDump dump = BuildRecordDump(call.requestNumber, label,
                                    static_cast<std::int32_t>(stage.stageIndex), entry->typeName,
                                    operation, static_cast<long>(recordNumber), streamNo, record);
  CApplMessage message(false, false, dump.header.c_str());
  // The record is data: it may hold "%" and must not be read as a format.
  message.WriteText(dump.body);
  if (!WriteTraceSegment(call.runCount, call.requestNumber)) {
    lock.Release();
    Quiesce(1);
  }
}

}  // namespace ductrine
