// A compact way to describe a pipeline set: pipes, stages, connections and
// operands. The pipe command builds its runs with it, and so do the tests.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/pipe_set.h"

namespace ductrine {

struct StageRef {
  std::uint32_t pipe = 0;
  std::uint32_t stage = 0;
};

class SetBuilder {
 public:
  explicit SetBuilder(CPipeSet& set) : set_(set) {}
  SetBuilder(const SetBuilder&) = delete;
  SetBuilder& operator=(const SetBuilder&) = delete;

  std::uint32_t AddPipe(std::string name = {});
  // Adds a stage at the end of a pipe; the type is registered on first use
  // (its command name is `typeName`).
  StageRef AddStage(std::uint32_t pipe, const std::string& typeName, std::string operands = {});
  // Connects the next free output stream of `from` to the next free input
  // stream of `to`; returns the two stream numbers.
  std::pair<std::uint32_t, std::uint32_t> Connect(StageRef from, StageRef to);
  // Connects explicit stream numbers, growing the sequences as needed (an
  // entry made only to reach a higher number stays unconnected).
  void Connect(StageRef from, std::uint32_t output, StageRef to, std::uint32_t input);
  // A simple chain: one pipe, stages connected in order.
  static void Chain(CPipeSet& set, std::initializer_list<std::string> typeNames);

  CStage& Stage(StageRef ref) { return set_.pipes[ref.pipe].stages[ref.stage]; }

 private:
  CPipeSet& set_;
};

}  // namespace ductrine
