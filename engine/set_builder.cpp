#include "engine/set_builder.h"

namespace ductrine {

std::uint32_t SetBuilder::AddPipe(std::string name) {
  set_.pipes.push_back(CPipe{std::move(name), {}});
  return static_cast<std::uint32_t>(set_.pipes.size() - 1);
}

StageRef SetBuilder::AddStage(std::uint32_t pipe, const std::string& typeName,
                              std::string operands) {
  while (set_.pipes.size() <= pipe) AddPipe();
  std::uint32_t typeIndex = 0;
  while (typeIndex < set_.stageTypes.size() && set_.stageTypes[typeIndex].names.front() != typeName)
    ++typeIndex;
  if (typeIndex == set_.stageTypes.size()) set_.stageTypes.push_back(CStageType{{typeName}});

  CPipe& target = set_.pipes[pipe];
  CStage stage;
  stage.pipeSet = &set_;
  stage.pipeIndex = pipe;
  stage.stageIndex = static_cast<std::uint32_t>(target.stages.size());
  stage.typeIndex = typeIndex;
  stage.typeName = typeName;
  stage.operands = std::move(operands);
  target.stages.push_back(std::move(stage));
  return StageRef{pipe, static_cast<std::uint32_t>(target.stages.size() - 1)};
}

std::pair<std::uint32_t, std::uint32_t> SetBuilder::Connect(StageRef from, StageRef to) {
  auto output = static_cast<std::uint32_t>(Stage(from).outputs.size());
  auto input = static_cast<std::uint32_t>(Stage(to).inputs.size());
  Connect(from, output, to, input);
  return {output, input};
}

void SetBuilder::Connect(StageRef from, std::uint32_t output, StageRef to, std::uint32_t input) {
  CStage& producer = Stage(from);
  while (producer.outputs.size() <= output) {
    producer.outputs.emplace_back();
    producer.outputs.back().streamNo = static_cast<std::int32_t>(producer.outputs.size() - 1);
  }
  CStage& consumer = Stage(to);
  while (consumer.inputs.size() <= input) {
    consumer.inputs.emplace_back();
    consumer.inputs.back().streamNo = static_cast<std::int32_t>(consumer.inputs.size() - 1);
  }
  consumer.inputStreamCount = static_cast<std::uint32_t>(consumer.inputs.size());
  COutputStream& out = Stage(from).outputs[output];
  out.flags = kLinkConnected;
  out.peerPipe = to.pipe;
  out.peerStage = to.stage;
  out.peerStream = input;
  CInputStream& in = Stage(to).inputs[input];
  in.flags = kLinkConnected;
  in.peerPipe = from.pipe;
  in.peerStage = from.stage;
  in.peerStream = output;
}

void SetBuilder::Chain(CPipeSet& set, std::initializer_list<std::string> typeNames) {
  SetBuilder builder(set);
  std::uint32_t pipe = builder.AddPipe();
  StageRef previous{};
  bool first = true;
  for (const std::string& type : typeNames) {
    StageRef stage = builder.AddStage(pipe, type);
    if (!first) builder.Connect(previous, stage);
    previous = stage;
    first = false;
  }
}

}  // namespace ductrine
