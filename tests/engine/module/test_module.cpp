// A stage module built only for the tests: writes the records "m0".."m<n-1>"
// (n from its operands) to its output stream. With the operands "block FILE"
// it waits for its first input record, creates FILE and then blocks in a
// system call of its own for good, as a stage that never comes to a wait.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "runtime/pipe_set.h"
#include "stage/begin_stage.h"

namespace {

class CountingStage : public ductrine::CProcess {
 public:
  explicit CountingStage(const ductrine::CStageCall& call) : CProcess(call) {}
  bool Setup() override {
    ductrine::CStage* stage = pipeSet->FindStage(*this);
    if (!stage) return false;
    stage->maxOutputStreams = 1;
    if (stage->operands.rfind("block ", 0) == 0) {
      marker_ = stage->operands.substr(6);
      stage->SetMaxInputStreams(1);
    }
    count_ = std::atoi(stage->operands.c_str());
    return count_ >= 0;
  }
  std::int32_t Run() override {
    if (!marker_.empty()) {
      std::string record;
      if (!pipeSet->PeekRecord(*this, 0, record)) return 0;
      std::ofstream(marker_) << "blocked";
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    for (int i = 0; i < count_; ++i)
      if (!pipeSet->WriteRecord(*this, 0, "m" + std::to_string(i))) return 5;
    return 0;
  }

 private:
  int count_ = 0;
  std::string marker_;
};

}  // namespace

extern "C" DUCTRINE_STAGE_EXPORT std::int32_t BeginStage(ductrine::CStageCall* call) {
  return ductrine::BeginStageBody<CountingStage>(call);
}
