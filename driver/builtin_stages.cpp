// CONSOLE, LITERAL and "<": the stages every pipeline needs to get records in
// and out, built into the pipe command on the stage framework.
//
// A stage whose output stream has gone (its reader ended) ends too, quietly:
// that is how `pipe "< big.txt | console" | head -1` stops at once instead of
// reading the whole file.

#include "driver/builtin_stages.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "driver/line_splitter.h"
#include "messages/format.h"
#include "messages/reason_text.h"
#include "platform/platform.h"
#include "runtime/pipe_set.h"
#include "stage/begin_stage.h"

namespace ductrine {
namespace {

// Large blocks keep a million short records to a few hundred system calls.
constexpr std::size_t kReadBlock = 64 * 1024;
constexpr std::size_t kWriteBlock = 64 * 1024;

constexpr const char* kWriteFailure =
    "Failure writing file: '%s', Rc: %d,\n                    Reason: %s";

std::mutex g_streamsLock;
StandardStreams g_streams;  // guarded by g_streamsLock; empty: the real streams
// The one reader of standard input, while a stage reads it; guarded by g_streamsLock.
std::weak_ptr<platform::BlockingReader> g_input;

// Every CONSOLE stage that reads takes its lines from one reader: with a
// reader each, two of them would each take blocks, and a line across the
// edge of a block would be torn between them.
std::shared_ptr<platform::BlockingReader> StandardInput(const StandardStreams& streams) {
  std::lock_guard<std::mutex> hold(g_streamsLock);
  std::shared_ptr<platform::BlockingReader> input = g_input.lock();
  if (!input) {
    input = std::make_shared<platform::BlockingReader>(streams.read);
    g_input = input;
  }
  return input;
}

StandardStreams CurrentStreams() {
  {
    std::lock_guard<std::mutex> hold(g_streamsLock);
    if (g_streams.read || g_streams.write) return g_streams;
  }
  StandardStreams real;
  real.read = [](char* buffer, std::size_t size) { return platform::ReadStandardInput(buffer, size); };
  real.write = [](std::string_view bytes) { return platform::WriteStandardOutput(bytes); };
  // Someone watching a terminal wants each record as it passes.
  real.lineByLine = platform::StandardOutputIsTerminal();
  return real;
}

bool Connected(CStage& stage, bool input) {
  const CStreamLink* link = input ? static_cast<CStreamLink*>(stage.InputAt(0))
                                  : static_cast<CStreamLink*>(stage.OutputAt(0));
  return link != nullptr && link->IsConnected();
}

void ReportFileError(CPipeSet& set, CProcess& stage, std::uint32_t number, const char* prefix,
                     const std::string& name, int code) {
  std::string reason;
  GetReasonText(code, reason);
  if (prefix) {
    set.IssueMessage(stage, number, kSeverityError, {prefix, name, code, reason});
  } else {
    set.IssueMessage(stage, number, kSeverityError, {name, code, reason});
  }
}

// ---------------------------------------------------------------------------
// CONSOLE: with no input stream it reads standard input, one record per
// line; otherwise it shows each record on standard output and passes it on.

// Finds the calling stage and declares its stream limits: the built-in
// stages take at most `inputs` input streams, one output, and no input is
// required. Null when the stage is not in the set.
CStage* DeclareStreams(CProcess& self, std::uint32_t inputs) {
  CStage* stage = self.pipeSet->FindStage(self);
  if (!stage) return nullptr;
  stage->SetMaxInputStreams(inputs);
  stage->maxOutputStreams = 1;
  stage->inputRequired = 0;
  return stage;
}

class CConsole final : public CProcess {
 public:
  explicit CConsole(const CStageCall& call) : CProcess(call) {}

  ~CConsole() override {
    // A stop may end this thread inside a read: whatever was shown so far
    // still reaches standard output.
    if (!output_.empty() && !outputGone_) streams_.write(output_);
  }

  bool Setup() override {
    stage_ = DeclareStreams(*this, 1);
    if (!stage_) return false;
    // Decided before the start: once stages run, a partner that has ended
    // leaves its links severed, and that must not turn a writer into a reader.
    reading_ = !Connected(*stage_, true);
    passOn_ = Connected(*stage_, false);
    streams_ = CurrentStreams();
    return true;
  }

  std::int32_t Run() override { return reading_ ? ReadInput() : ShowRecords(); }

 private:
  std::int32_t ReadInput() {
    // Standard input may block without limit: it is read off the dispatcher.
    std::shared_ptr<platform::BlockingReader> input = StandardInput(streams_);
    const std::size_t longest = static_cast<std::size_t>(pipeSet->recordLimit) - 1;
    std::string record;
    for (;;) {
      record.clear();
      long got = 0;
      {
        // The one place where a stop of the run may end this stage. A CR LF
        // may still follow `longest` bytes; one byte more and the line is
        // too long, whatever follows, and the rest of it is not read.
        platform::CancellableRegion endable;
        got = input->ReadLine(&record, longest + 2);
      }
      if (got < 0) {
        int code = platform::LastErrorCode();
        ReportFileError(*pipeSet, *this, 2003, nullptr, "STDIN", code);
        return 3;
      }
      if (got == 0) return 0;
      if (record.back() == '\n') {
        record.pop_back();
        if (!record.empty() && record.back() == '\r') record.pop_back();
      } else if (record.size() > longest) {
        record.resize(longest + 1);  // refused by the write (2072)
      }
      if (!passOn_) continue;  // nobody reads: the input is only drained
      if (!pipeSet->WriteRecord(*this, 0, record)) return 0;
    }
  }

  std::int32_t ShowRecords() {
    // The record is passed on unchanged: no copy of it is taken.
    const std::string* record = nullptr;
    bool more = pipeSet->PeekRecordInPlace(*this, 0, record);
    while (more) {
      output_.append(*record);
      output_.push_back('\n');
      if (streams_.lineByLine || output_.size() >= kWriteBlock) {
        if (!Flush()) return failed_ ? 3 : 0;
      }
      if (passOn_) pipeSet->WriteRecord(*this, 0, *record);
      more = pipeSet->ConsumeAndPeekInPlace(*this, 0, record);
    }
    return Flush() || !failed_ ? 0 : 3;
  }

  // False when standard output cannot take the bytes. A reader that has gone
  // away ends the stage quietly; any other failure is reported.
  bool Flush() {
    if (output_.empty()) return true;
    bool written = streams_.write(output_);
    int code = platform::LastErrorCode();
    output_.clear();
    if (written) return true;
    if (code == platform::BrokenPipeCode()) {
      outputGone_ = true;
      return false;
    }
    std::string reason;
    GetReasonText(code, reason);
    pipeSet->IssueMessage(*this, 2999, kSeverityError,
                          {FormatText(kWriteFailure, {"STDOUT", code, reason})});
    outputGone_ = true;  // nothing more is tried at the end
    failed_ = true;
    return false;
  }

  CStage* stage_ = nullptr;
  bool reading_ = false;
  bool passOn_ = false;
  bool outputGone_ = false;
  bool failed_ = false;
  StandardStreams streams_;
  std::string output_;
};

// ---------------------------------------------------------------------------
// LITERAL text: one record of the operand text, then the input copied.

class CLiteral final : public CProcess {
 public:
  explicit CLiteral(const CStageCall& call) : CProcess(call) {}

  bool Setup() override {
    stage_ = DeclareStreams(*this, 1);
    if (!stage_) return false;
    text_ = stage_->operands;
    return true;
  }

  std::int32_t Run() override {
    // A selecting stage passes on the last record it received; before any
    // has arrived that would be an empty record instead of the text.
    if (stage_->selectActive) stage_->lastRecord = text_;
    if (!pipeSet->WriteRecord(*this, 0, text_)) return 0;
    // The input is passed on unchanged: no copy of it is taken.
    const std::string* record = nullptr;
    bool more = pipeSet->PeekRecordInPlace(*this, 0, record);
    while (more) {
      if (!pipeSet->WriteRecord(*this, 0, *record)) return 0;
      more = pipeSet->ConsumeAndPeekInPlace(*this, 0, record);
    }
    return 0;
  }

 private:
  CStage* stage_ = nullptr;
  std::string text_;
};

// ---------------------------------------------------------------------------
// "<" file: the lines of a file as records. The file is opened during setup,
// so a missing file stops the run before any stage has done anything.

class CReadFile final : public CProcess {
 public:
  explicit CReadFile(const CStageCall& call) : CProcess(call) {}

  ~CReadFile() override {
    if (file_) std::fclose(file_);
  }

  bool Setup() override {
    stage_ = DeclareStreams(*this, 0);
    if (!stage_) return false;
    name_ = stage_->operands;
    if (name_.empty()) {
      pipeSet->IssueMessage(*this, 2001, kSeverityError);
      return false;
    }
    // Deny-write: a stage of the same run cannot append to the file while
    // it is read, which would never end.
    file_ = platform::OpenFileShared(name_.c_str(), "rb", platform::Share::kDenyWrite);
    if (!file_) {
      ReportFileError(*pipeSet, *this, 2002, "Input", name_, platform::LastErrorCode());
      return false;
    }
    return true;
  }

  std::int32_t Run() override {
    std::unique_ptr<char[]> block(new char[kReadBlock]);
    LineSplitter lines(pipeSet->recordLimit - 1);
    auto emit = [this](const std::string& record) { return pipeSet->WriteRecord(*this, 0, record); };
    for (;;) {
      std::size_t got = std::fread(block.get(), 1, kReadBlock, file_);
      if (got > 0 && !lines.Feed(std::string_view(block.get(), got), emit)) return Close();
      if (got < kReadBlock) {
        if (std::ferror(file_)) {
          int code = platform::LastErrorCode();
          Close();
          ReportFileError(*pipeSet, *this, 2003, nullptr, name_, code);
          return 3;
        }
        break;
      }
    }
    lines.Finish(emit);
    return Close();
  }

 private:
  std::int32_t Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    return 0;
  }

  CStage* stage_ = nullptr;
  std::string name_;
  std::FILE* file_ = nullptr;
};

}  // namespace

std::int32_t BeginConsoleStage(CStageCall* call) { return BeginStageBody<CConsole>(call); }
std::int32_t BeginLiteralStage(CStageCall* call) { return BeginStageBody<CLiteral>(call); }
std::int32_t BeginReadFileStage(CStageCall* call) { return BeginStageBody<CReadFile>(call); }

StageEntry BuiltinStageEntry(std::string_view typeName) {
  if (typeName == "CONSOLE") return BeginConsoleStage;
  if (typeName == "LITERAL") return BeginLiteralStage;
  if (typeName == "<") return BeginReadFileStage;
  return nullptr;
}

void SetStandardStreamsForTesting(StandardStreams streams) {
  std::lock_guard<std::mutex> hold(g_streamsLock);
  g_streams = std::move(streams);
  g_input.reset();  // the next reader reads the new streams
}

}  // namespace ductrine
