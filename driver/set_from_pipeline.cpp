#include "driver/set_from_pipeline.h"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/set_builder.h"

namespace ductrine {
namespace {

// Marks an entry that exists only to give a higher stream its number: no
// stage answers to this pipe index, so nothing ever follows its link.
constexpr std::uint32_t kNoPeer = std::numeric_limits<std::uint32_t>::max();

void DetachUnconnected(CStreamLink& link) {
  if (link.IsConnected()) return;
  link.peerPipe = kNoPeer;
  link.peerStage = kNoPeer;
  link.peerStream = kNoPeer;
}

void ApplySelection(const SelectionSpec& selection, CStage& stage) {
  if (!selection.active) return;
  stage.selectActive = 1;
  stage.selectWords = selection.words ? 1 : 0;
  stage.selectFields = selection.fields ? 1 : 0;
  stage.selectFrom = selection.from;
  stage.selectTo = selection.to;
  if (selection.words) stage.wordSeparators = selection.separators;
  if (selection.fields) stage.fieldSeparators = selection.separators;
  stage.selectUpper = selection.upper ? 1 : 0;
  stage.selectReverse = selection.reverse ? 1 : 0;
}

std::string PositionLabel(const CPipeSet& set, std::uint32_t pipe) {
  std::string label;
  set.PipeLabel(pipe, label);
  return label;
}

// "(pipe,stage,stream)" of each peer, blank-separated.
std::string PeerList(const std::vector<const CStreamLink*>& links) {
  std::string text;
  for (const CStreamLink* link : links) {
    if (!text.empty()) text += ' ';
    text += "(" + std::to_string(link->peerPipe) + "," + std::to_string(link->peerStage) + "," +
            std::to_string(link->peerStream) + ")";
  }
  return text;
}

std::string StreamList(const std::vector<const CStreamLink*>& links) {
  std::string text;
  for (const CStreamLink* link : links) {
    if (!text.empty()) text += ' ';
    text += std::to_string(link->streamNo);
  }
  return text;
}

// Connected streams numbered at or above `limit`.
template <class Stream>
std::vector<const CStreamLink*> Beyond(const std::vector<Stream>& streams, std::uint32_t limit) {
  std::vector<const CStreamLink*> found;
  for (std::uint32_t n = limit; n < streams.size(); ++n) {
    if (streams[n].IsConnected()) found.push_back(&streams[n]);
  }
  return found;
}

int Clamp(long long value) { return (value < 1 || value > 255) ? 255 : static_cast<int>(value); }

}  // namespace

std::optional<ParseError> BuildPipeSet(const ParsedPipeline& parsed, std::string_view text,
                                       std::uint32_t recordLimit, CPipeSet& set) {
  for (const Connection& c : parsed.connections) {
    if (c.fromStage == c.toStage) {
      return ParseError{1011, {parsed.stages[c.toStage].label + ":", "a connection to another stage"}};
    }
  }

  for (const StageCommand& command : StageCommands()) {
    CStageType type;
    for (std::string_view name : command.names) {
      if (!name.empty()) type.names.emplace_back(name);
    }
    set.stageTypes.push_back(std::move(type));
  }
  set.recordLimit = recordLimit;
  set.sourceLines = parsed.sourceLines;
  set.traceSource = std::string(text);
  set.setName = parsed.name;

  SetBuilder builder(set);
  std::vector<StageRef> refs(parsed.stages.size());
  for (std::size_t p = 0; p < parsed.pipes.size(); ++p) {
    std::uint32_t pipe = builder.AddPipe(parsed.name);
    for (std::uint32_t index : parsed.pipes[p]) {
      const StageSpec& selection = parsed.stages[index];
      // The type is found by its command name, which stageTypes holds in
      // the parser's order, so the type index carries over unchanged; a
      // module command's type is added behind the driver's types.
      refs[index] = builder.AddStage(pipe, selection.typeName, selection.operands);
      CStage& stage = builder.Stage(refs[index]);
      ApplySelection(selection.selection, stage);
      stage.traced = parsed.trace ? 1 : 0;
    }
  }
  for (const Connection& c : parsed.connections) {
    builder.Connect(refs[c.fromStage], c.fromStream, refs[c.toStage], c.toStream);
  }
  for (CPipe& pipe : set.pipes) {
    for (CStage& stage : pipe.stages) {
      stage.inputStreamCount = stage.InputCount();
      for (CInputStream& in : stage.inputs) DetachUnconnected(in);
      for (COutputStream& out : stage.outputs) DetachUnconnected(out);
    }
  }
  return std::nullopt;
}

bool CheckDeclaredLimits(CPipeSet& set) {
  if (set.abortRun) return true;
  bool fine = true;
  for (CPipe& pipe : set.pipes) {
    for (CStage& stage : pipe.stages) {
      const std::string label = PositionLabel(set, stage.pipeIndex);
      const CInputStream* primary = stage.InputAt(0);
      if (stage.inputRequired != 0 && (primary == nullptr || !primary->IsConnected())) {
        set.IssueSystemMessage(1024, kSeverityError,
                               {label, stage.stageIndex, stage.typeName, "primary"});
        fine = false;
      }
      std::vector<const CStreamLink*> inputs = Beyond(stage.inputs, stage.maxInputStreams);
      if (!inputs.empty()) {
        set.IssueSystemMessage(
            1025, kSeverityError,
            {StreamList(inputs), label, stage.stageIndex, stage.typeName, stage.typeName,
             stage.maxInputStreams.load(), stage.InputCount(), PeerList(inputs)});
        fine = false;
      }
      std::vector<const CStreamLink*> outputs = Beyond(stage.outputs, stage.maxOutputStreams);
      if (!outputs.empty()) {
        set.IssueSystemMessage(
            1027, kSeverityError,
            {StreamList(outputs), label, stage.stageIndex, stage.typeName, stage.typeName,
             stage.maxOutputStreams.load(), stage.OutputCount(), PeerList(outputs)});
        fine = false;
      }
    }
  }
  if (!fine) set.abortRun = 1;
  return fine;
}

int ExitStatus(const RunResult& result) {
  bool allZero = result.highestReturnCode == 0;
  long long largest = std::numeric_limits<long long>::min();
  for (const auto& pipe : result.returnCodes) {
    for (std::int32_t code : pipe) {
      if (code != 0) allZero = false;
      largest = std::max<long long>(largest, code);
    }
  }
  if (allZero) return 0;
  if (result.highestReturnCode != 0) return Clamp(result.highestReturnCode);
  return Clamp(largest);
}

int FailureExitStatus(std::uint32_t highestReturnCode) { return Clamp(highestReturnCode); }

}  // namespace ductrine
