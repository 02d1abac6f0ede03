// LOCATE: passes the records that contain a string.
//
//   locate [ANYCASE] [COUNT] string
//
// Records that contain `string` go to the primary output stream (0); the
// others go to the secondary output stream (1) when one is connected, and
// are dropped when none is. ANYCASE compares without regard to the case of
// A to Z. The string is the rest of the operands as written, blanks inside
// included. With an input selection ([words 2 2] locate x) the stage looks
// only at the selected part and passes the whole record on (WriteRecord).
// COUNT passes no record on: at the end of the input it writes one record
// of its own, the number of records that contained the string
// (WriteOwnRecord, so that a selection does not replace it).
//
// The stage ends when its input ends, or as soon as no output stream is left
// to write to: then the stage that feeds it sees its output severed and ends
// too, quietly.

#include <cstdint>
#include <string>

#include "ductrine/version.h"
#include "runtime/pipe_set.h"
#include "runtime/selection.h"
#include "stage/begin_stage.h"
#include "stage/process.h"

// WriteOwnRecord came with the SDK 2.0.
#if DUCTRINE_ABI_MAJOR < 2
#error "LOCATE needs a Ductrine SDK of version 2 or later"
#endif

namespace {

using ductrine::CPipeSet;
using ductrine::CProcess;
using ductrine::CStage;
using ductrine::CStageCall;

constexpr std::uint32_t kPrimary = 0;
constexpr std::uint32_t kSecondary = 1;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One object per stage of a pipeline, made by BeginStage on the stage's own
// flow of control: Setup, then (when every stage's setup succeeded) Run.
class CLocate final : public CProcess {
 public:
  explicit CLocate(const CStageCall& call) : CProcess(call) {}

  // Declares the streams, reads the operands. False stops the whole run
  // before any stage has started, so a misspelt operand costs nothing.
  bool Setup() override {
    CStage* stage = pipeSet->FindStage(*this);
    if (!stage) return false;
    stage->inputRequired = 1;        // 1024 when nothing feeds the primary input
    stage->SetMaxInputStreams(1);    // 1025 for a connected stream 1 or higher
    stage->maxOutputStreams = 2;     // 1027 for a connected stream 2 or higher

    std::string operands = stage->operands;  // blanks around them trimmed
    anyCase_ = TakeKeyword(operands, "ANYCASE");
    count_ = TakeKeyword(operands, "COUNT");
    if (operands.empty()) {
      // "Missing argument, operand string expected." as an error: the run's
      // return code becomes 2021, and pipe exits 255.
      pipeSet->IssueMessage(*this, 2021, ductrine::kSeverityError, {"string"});
      return false;
    }
    target_ = operands;
    if (anyCase_) ductrine::UpperCaseAscii(target_);

    // Which outputs have a reader is known now; a reader that ends later
    // shows as a WriteRecord that fails.
    for (std::uint32_t n : {kPrimary, kSecondary}) {
      const ductrine::COutputStream* out = stage->OutputAt(n);
      open_[n] = out != nullptr && out->IsConnected();
    }
    return true;
  }

  // The record loop. Its result is the stage's return code.
  std::int32_t Run() override {
    // Nobody reads: end at once, and the stage before sees its output gone.
    if (!open_[kPrimary] && !open_[kSecondary]) return 0;
    if (count_) return Count();
    std::string record;
    // False: the input is at its end (the stage before has ended, or its
    // stream was severed).
    while (pipeSet->PeekRecord(*this, kPrimary, record)) {
      const std::uint32_t stream = Contains(record) ? kPrimary : kSecondary;
      // False: the stage reading that stream has ended. Its records are
      // dropped from now on; with no reader left the stage ends.
      if (open_[stream] && !pipeSet->WriteRecord(*this, stream, record)) open_[stream] = false;
      if (!open_[kPrimary] && !open_[kSecondary]) return 0;
      // Consumed only once it has been passed on: the stage does not delay
      // the record, and the stage before waits until it is through.
      pipeSet->ConsumeRecord(*this, kPrimary);
    }
    return 0;
  }

 private:
  // COUNT: consumes every record, then writes the count. The count is a
  // record the stage built, so it goes out with WriteOwnRecord: WriteRecord
  // would pass on the last whole input record instead when the stage has
  // an input selection.
  std::int32_t Count() {
    long long found = 0;
    std::string record;
    while (pipeSet->PeekRecord(*this, kPrimary, record)) {
      if (Contains(record)) ++found;
      pipeSet->ConsumeRecord(*this, kPrimary);
    }
    if (open_[kPrimary]) pipeSet->WriteOwnRecord(*this, kPrimary, std::to_string(found));
    return 0;
  }

  // Takes `keyword` (any case) off the front of `operands`; true when it was there.
  static bool TakeKeyword(std::string& operands, const std::string& keyword) {
    std::string first = operands.substr(0, operands.find_first_of(" \t"));
    ductrine::UpperCaseAscii(first);
    if (first != keyword) return false;
    operands.erase(0, keyword.size());
    while (!operands.empty() && IsBlank(operands.front())) operands.erase(0, 1);
    return true;
  }

  bool Contains(std::string record) const {
    if (anyCase_) ductrine::UpperCaseAscii(record);
    return record.find(target_) != std::string::npos;
  }

  std::string target_;
  bool anyCase_ = false;
  bool count_ = false;
  bool open_[2] = {false, false};
};

}  // namespace

// The module's only export. BeginStageBody makes the object, runs Setup, the
// start handshake and Run, and turns an escaped exception into message 2999
// and return code 3.
extern "C" DUCTRINE_STAGE_EXPORT std::int32_t BeginStage(CStageCall* call) {
  return ductrine::BeginStageBody<CLocate>(call);
}
