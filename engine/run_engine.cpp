#include "engine/run_engine.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <memory>

#include "runtime/named_events.h"

namespace ductrine {
namespace {

using platform::Handle;
using platform::NamedEvent;

std::atomic<unsigned> g_runCounter{0};

struct StageSlot {
  CStageCall call{};
  std::int32_t returnCode = 0;
};

}  // namespace

RunEngine::RunEngine(CPipeSet& set) : set_(set) {
  for (const CPipe& pipe : set_.pipes) entries_.emplace_back(pipe.stages.size(), nullptr);
}

void RunEngine::SetEntry(std::uint32_t pipe, std::uint32_t stage, StageEntry entry) {
  entries_.at(pipe).at(stage) = entry;
}

void RunEngine::NameEvents() {
  // Named objects outlive a run (a stop keeps its handles), so every run
  // gets names of its own.
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "Ductrine-%u-%u", platform::ProcessId(),
                g_runCounter.fetch_add(1) + 1);
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      std::string base = std::string(prefix) + "-P" + std::to_string(stage.pipeIndex) + "-S" +
                         std::to_string(stage.stageIndex);
      stage.readyEventName = base + "-Ready";
      stage.startEventName = base + "-Start";
      for (std::size_t i = 0; i < stage.outputs.size(); ++i)
        stage.outputs[i].recordEventName = base + "-Out" + std::to_string(i) + "-Record";
      for (std::size_t i = 0; i < stage.inputs.size(); ++i)
        stage.inputs[i].consumedEventName = base + "-In" + std::to_string(i) + "-Consumed";
    }
}

void RunEngine::FinishStage(CStage& stage) {
  // Sever first, then wake: a partner that wakes must find the link severed.
  for (CInputStream& in : stage.inputs) {
    in.Sever();
    if (CStage* peer = set_.FindStage(in.peerPipe, in.peerStage))
      if (COutputStream* out = peer->OutputAt(in.peerStream)) out->Sever();
  }
  for (COutputStream& out : stage.outputs) {
    out.Sever();
    if (CStage* peer = set_.FindStage(out.peerPipe, out.peerStage))
      if (CInputStream* in = peer->InputAt(out.peerStream)) in->Sever();
  }
  for (CInputStream& in : stage.inputs) {
    if (CStage* peer = set_.FindStage(in.peerPipe, in.peerStage))
      if (COutputStream* out = peer->OutputAt(in.peerStream)) SignalEvent(out->recordEventName);
    SignalEvent(in.consumedEventName);
  }
  for (COutputStream& out : stage.outputs) {
    SignalEvent(out.recordEventName);
    if (CStage* peer = set_.FindStage(out.peerPipe, out.peerStage))
      if (CInputStream* in = peer->InputAt(out.peerStream)) SignalEvent(in->consumedEventName);
  }
  stage.state = kStateComplete;
}

void IssueForStage(CPipeSet& set, const CStage& stage, std::uint32_t number,
                   const MessageArgs& values) {
  // A stand-in that lends the stage's position to the message.
  class Identity final : public CProcess {
   public:
    explicit Identity(const CStageCall& call) : CProcess(call) {}
    bool Setup() override { return false; }
    std::int32_t Run() override { return 3; }
  } identity(CStageCall{0, &set, stage.pipeIndex, stage.stageIndex});
  set.IssueMessage(identity, number, kSeverityError, values);
}

void RunEngine::ReportLaunchFailure(CStage& stage, int code) {
  IssueForStage(set_, stage, 2014, {"stage", code, platform::ReasonText(code)});
}

std::string RunEngine::WriteStallDump() {
  std::error_code error;
  std::filesystem::path folder = dumpFolder_.empty()
                                     ? std::filesystem::temp_directory_path(error)
                                     : std::filesystem::path(dumpFolder_);
  // A new file only, under a name nobody can plant a link at beforehand:
  // a file of that name, or a link, is never written through.
  std::random_device random;
  std::string path;
  std::FILE* file = nullptr;
  for (int attempt = 0; attempt < 16 && file == nullptr; ++attempt) {
    char name[96];
    std::snprintf(name, sizeof name, "ductrine-stall-%u-%u-%08x.txt", platform::ProcessId(),
                  g_runCounter.load(), static_cast<unsigned>(random()));
    path = (folder / name).string();
    file = platform::CreatePrivateFile(path.c_str());
  }
  auto failed = [&folder](int code) {
    return "(none), no dump could be written in: '" + folder.string() + "', Rc: " +
           std::to_string(code) + ",\n                    Reason: " + platform::ReasonText(code);
  };
  if (!file) return failed(platform::LastErrorCode());
  static const char* const kStates[] = {"running", "ended", "waiting for a record",
                                        "waiting for its record to be taken"};
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      std::uint32_t state = stage.state;
      std::fprintf(file, "Pipe(%u),Stage(%u),Type(%s): %s", stage.pipeIndex, stage.stageIndex,
                   stage.typeName.c_str(), state < 4 ? kStates[state] : "unknown");
      if (state == kStateReadPending && stage.lastInputStream >= 0)
        std::fprintf(file, " on input stream %d", static_cast<int>(stage.lastInputStream));
      if (state == kStateWritePending)
        std::fprintf(file, " on output stream %u", static_cast<unsigned>(stage.lastOutputStream));
      std::fprintf(file, "; reads %u, writes %u", static_cast<unsigned>(stage.readCount),
                   static_cast<unsigned>(stage.writeCount));
      for (std::size_t i = 0; i < stage.inputs.size(); ++i)
        std::fprintf(file, "; input %zu: %u records", i,
                     static_cast<unsigned>(stage.inputs[i].recordCount));
      for (std::size_t i = 0; i < stage.outputs.size(); ++i)
        std::fprintf(file, "; output %zu: %u records", i,
                     static_cast<unsigned>(stage.outputs[i].recordCount));
      std::fprintf(file, "\n");
    }
  // A dump cut short (a full disk) is no dump: it goes, and the message says so.
  const bool written = std::fflush(file) == 0 && !std::ferror(file);
  const int code = platform::LastErrorCode();
  if (std::fclose(file) != 0 || !written) {
    const int reported = written ? platform::LastErrorCode() : code;
    platform::EraseFile(path.c_str());
    return failed(reported);
  }
  return path;
}

RunResult RunEngine::Run() {
  NameEvents();
  std::vector<Handle> held;
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      stage.pipeSet = &set_;
      held.push_back(NamedEvent::OpenOrCreate(stage.readyEventName, true, false));
      held.push_back(NamedEvent::OpenOrCreate(stage.startEventName, true, false));
      for (COutputStream& out : stage.outputs)
        held.push_back(out.recordEvent = NamedEvent::OpenOrCreate(out.recordEventName, true, false));
      for (CInputStream& in : stage.inputs)
        held.push_back(in.consumedEvent =
                           NamedEvent::OpenOrCreate(in.consumedEventName, true, false));
    }
  // Before any stage starts, so a record operation looks nothing up; an end
  // that names no stream of the set keeps a null peer, as the lookup gave.
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      for (COutputStream& out : stage.outputs)
        if (CStage* peer = set_.FindStage(out.peerPipe, out.peerStage))
          out.consumer = peer->InputAt(out.peerStream);
      for (CInputStream& in : stage.inputs)
        if (CStage* peer = set_.FindStage(in.peerPipe, in.peerStage))
          in.producer = peer->OutputAt(in.peerStream);
    }

  std::vector<std::vector<std::unique_ptr<StageSlot>>> slots(set_.pipes.size());
  RunResult result;
  // When the dispatcher goes, every worker of the run has ended: its
  // destructor joins the stage threads.
  {
    platform::Dispatcher dispatcher;
    // The start barrier is a fiber of the calling thread: it waits for every
    // stage's ready event, lets the driver check the set, and starts them all.
    dispatcher.Spawn([this] {
      for (CPipe& pipe : set_.pipes)
        for (CStage& stage : pipe.stages) {
          Handle ready = NamedEvent::OpenOrCreate(stage.readyEventName, true, false);
          NamedEvent::Wait(ready);
          platform::CloseObject(ready);
        }
      if (startCheck_) startCheck_(set_);
      for (CPipe& pipe : set_.pipes)
        for (CStage& stage : pipe.stages) SignalEvent(stage.startEventName);
    });

    bool launchFailed = false;
    for (std::uint32_t p = 0; p < set_.pipes.size(); ++p)
      for (std::uint32_t s = 0; s < set_.pipes[p].stages.size(); ++s) {
        auto slot = std::make_unique<StageSlot>();
        slot->call.setupOk = 0;
        slot->call.pipeSet = &set_;
        slot->call.pipeIndex = p;
        slot->call.stageIndex = s;
        StageEntry entry = entries_[p][s];
        StageSlot* raw = slot.get();
        CStage* stage = &set_.pipes[p].stages[s];
        slots[p].push_back(std::move(slot));
        if (!launchFailed) {
          stage->threadHandle = dispatcher.Spawn(
              [this, raw, entry] {
                if (entry) {
                  raw->returnCode = entry(&raw->call);
                } else {
                  raw->call.setupOk = 0;  // no entry point: the stage cannot run
                  set_.StartHandshake(&raw->call);
                  raw->returnCode = 3;
                }
              },
              // However the stage ends; an ended stage counts as one that
              // returned 0.
              [this, stage] { FinishStage(*stage); }, threadPerStage_);
          if (stage->threadHandle) continue;
          // No stage runs when one cannot be started. Those not yet running
          // are dropped with their stacks (memory may be what ran out); those
          // that run already (a thread each) see the run aborted at the start
          // barrier and return 3.
          const int code = platform::LastErrorCode();
          launchFailed = true;
          set_.abortRun = 1;
          for (std::uint32_t q = 0; q <= p; ++q)
            for (std::uint32_t t = 0; t < (q == p ? s : set_.pipes[q].stages.size()); ++t) {
              CStage& spawned = set_.pipes[q].stages[t];
              if (!dispatcher.Discard(spawned.threadHandle)) continue;
              spawned.threadHandle = nullptr;
              slots[q][t]->returnCode = 3;
              FinishStage(spawned);
              SignalEvent(spawned.readyEventName);
            }
          ReportLaunchFailure(*stage, code);
        }
        raw->returnCode = 3;
        FinishStage(*stage);
        SignalEvent(stage->readyEventName);
      }

    // A stall is reported and the run stopped; fibers that still wait after
    // the stop are ended where they wait.
    for (int attempt = 0; !dispatcher.Run() && attempt < 3; ++attempt) {
      if (attempt == 0) {
        std::string dump = WriteStallDump();
        set_.IssueSystemMessage(1005, kSeverityError, {dump});
        set_.Quiesce(1);
      } else {
        dispatcher.EndParked();
      }
    }
    if (endCheck_) endCheck_(set_);
  }

  for (std::uint32_t p = 0; p < set_.pipes.size(); ++p) {
    result.returnCodes.emplace_back();
    for (std::uint32_t s = 0; s < set_.pipes[p].stages.size(); ++s)
      result.returnCodes[p].push_back(slots[p][s]->returnCode);
  }
  // Only now, with every worker of the run gone, may the per-run pointers go.
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      stage.threadHandle = nullptr;
      for (COutputStream& out : stage.outputs) {
        out.recordEvent = nullptr;
        out.consumer = nullptr;
      }
      for (CInputStream& in : stage.inputs) {
        in.consumedEvent = nullptr;
        in.producer = nullptr;
      }
    }
  for (Handle event : held) platform::CloseObject(event);
  result.highestReturnCode = set_.highestReturnCode;
  return result;
}

}  // namespace ductrine
