#include "engine/run_engine.h"

#include <atomic>
#include <cstdio>
#include <memory>

namespace ductrine {
namespace {

using platform::Handle;
using platform::NamedEvent;

std::atomic<unsigned> g_runCounter{0};

void SignalEvent(const std::string& name) {
  Handle event = NamedEvent::OpenOrCreate(name, true, false);
  NamedEvent::Set(event);
  platform::CloseObject(event);
}

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

RunResult RunEngine::Run() {
  NameEvents();
  std::vector<Handle> held;
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      stage.pipeSet = &set_;
      held.push_back(NamedEvent::OpenOrCreate(stage.readyEventName, true, false));
      held.push_back(NamedEvent::OpenOrCreate(stage.startEventName, true, false));
      for (COutputStream& out : stage.outputs)
        held.push_back(NamedEvent::OpenOrCreate(out.recordEventName, true, false));
      for (CInputStream& in : stage.inputs)
        held.push_back(NamedEvent::OpenOrCreate(in.consumedEventName, true, false));
    }

  std::vector<std::vector<std::unique_ptr<StageSlot>>> slots(set_.pipes.size());
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
      stage->threadHandle = platform::StartThread(
          [this, raw, entry] {
            if (entry) {
              raw->returnCode = entry(&raw->call);
            } else {
              raw->call.setupOk = 0;  // no entry point: the stage cannot run
              set_.StartHandshake(&raw->call);
              raw->returnCode = 3;
            }
          },
          // However the stage ends; a terminated stage counts as one that
          // returned 0.
          [this, stage] { FinishStage(*stage); });
    }

  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      Handle ready = NamedEvent::OpenOrCreate(stage.readyEventName, true, false);
      NamedEvent::Wait(ready);
      platform::CloseObject(ready);
    }
  if (startCheck_) startCheck_(set_);
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) SignalEvent(stage.startEventName);

  RunResult result;
  for (std::uint32_t p = 0; p < set_.pipes.size(); ++p) {
    result.returnCodes.emplace_back();
    for (std::uint32_t s = 0; s < set_.pipes[p].stages.size(); ++s) {
      CStage& stage = set_.pipes[p].stages[s];
      platform::JoinThread(stage.threadHandle);
      result.returnCodes[p].push_back(slots[p][s]->returnCode);
    }
  }
  for (CPipe& pipe : set_.pipes)
    for (CStage& stage : pipe.stages) {
      platform::CloseObject(stage.threadHandle);
      stage.threadHandle = nullptr;
    }
  for (Handle event : held) platform::CloseObject(event);
  result.highestReturnCode = set_.highestReturnCode;
  return result;
}

}  // namespace ductrine
