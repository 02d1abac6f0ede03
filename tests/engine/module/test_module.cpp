// A stage module built only for the tests: writes the records "m0".."m<n-1>"
// (n from its operands) to its output stream.

#include <cstdint>
#include <cstdlib>
#include <string>

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
    count_ = std::atoi(stage->operands.c_str());
    return count_ >= 0;
  }
  std::int32_t Run() override {
    for (int i = 0; i < count_; ++i)
      if (!pipeSet->WriteRecord(*this, 0, "m" + std::to_string(i))) return 5;
    return 0;
  }

 private:
  int count_ = 0;
};

}  // namespace

extern "C" DUCTRINE_STAGE_EXPORT std::int32_t BeginStage(ductrine::CStageCall* call) {
  return ductrine::BeginStageBody<CountingStage>(call);
}
