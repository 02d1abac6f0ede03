#include "driver/pipe_command.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "driver/builtin_stages.h"
#include "driver/command_line.h"
#include "driver/module_loader.h"
#include "driver/pipeline_parser.h"
#include "driver/set_from_pipeline.h"
#include "driver/stage_list.h"
#include "engine/run_engine.h"
#include "messages/reason_text.h"
#include "platform/platform.h"
#include "runtime/pipe_set.h"
#include "trace/segment_create.h"

namespace ductrine {
namespace {

// Issues a refusal of the driver's own and gives the exit status for it.
int Refuse(const ParseError& error) {
  // A set of its own gives the message its catalogue and return code.
  CPipeSet scratch;
  scratch.IssueSystemMessage(error.number, kSeverityError, error.args, error.continuation);
  return FailureExitStatus(scratch.highestReturnCode);
}

// The TRACE segment of a traced run: created with "0;0;" under a name of
// its own (trace/segment_create.h), exclusively and for the owner alone,
// and removed when the run is over, however it ended.
class TraceSegment {
 public:
  TraceSegment() = default;
  TraceSegment(const TraceSegment&) = delete;
  TraceSegment& operator=(const TraceSegment&) = delete;

  ~TraceSegment() {
    if (handle_ == nullptr) return;
    platform::CloseObject(handle_);
    platform::SharedSegment::Remove(name_);
    platform::RemoveSegmentOnInterrupt("");
  }

  std::optional<ParseError> Create(CPipeSet& set) {
    // Under a name of its own that nobody can guess; only that one is ever
    // removed.
    handle_ = CreateTraceSegment(&name_);
    if (handle_ == nullptr) {
      int code = platform::LastErrorCode();
      std::string reason;
      GetReasonText(code, reason);
      return ParseError{1030, {name_ + ", Rc: " + std::to_string(code) +
                               ",\n                    Reason: " + reason}};
    }
    // An interrupt at the trace prompt must not leave the segment behind.
    platform::RemoveSegmentOnInterrupt(name_);
    set.traceSegmentName = name_;
    set.traceSegment = handle_;
    set.SetTraceOn(true);
    return std::nullopt;
  }

 private:
  std::string name_;
  platform::Handle handle_ = nullptr;
};

// Entry points by pipe and stage; modules are loaded once each, and only
// when the pipeline uses them, so a pipeline of built-in stages runs
// without any module installed. A failure reported here already is an
// error numbered 0.
std::variant<std::vector<std::vector<StageEntry>>, ParseError> FindEntries(
    CPipeSet& set, const std::function<const std::vector<std::string>&()>& moduleFolders) {
  std::vector<std::vector<StageEntry>> entries;
  std::map<std::string, StageEntry> modules;
  for (const CPipe& pipe : set.pipes) {
    entries.emplace_back();
    for (const CStage& stage : pipe.stages) {
      StageEntry entry = BuiltinStageEntry(stage.typeName);
      if (entry == nullptr) {
        std::string file = ModuleFileName(stage.typeName);
        auto known = modules.find(file);
        if (known == modules.end()) {
          auto loaded = LoadStageEntry(file, moduleFolders());
          if (const ParseError* error = std::get_if<ParseError>(&loaded)) {
            if (error->number < 2000) return *error;
            // A stage's message: the stage whose module could not be had.
            IssueForStage(set, stage, error->number, error->args);
            return ParseError{};  // reported
          }
          known = modules.emplace(file, std::get<StageEntry>(loaded)).first;
        }
        entry = known->second;
      }
      entries.back().push_back(entry);
    }
  }
  return entries;
}

// The stop that a terminating signal asks for, on the signal watch's thread.
// A run can be stopped once every stage has been started (the engine's
// start check); a request that comes earlier is carried out there. The
// lock also keeps the set alive while a stop works on it.
class SignalStop {
 public:
  void Request() {
    std::lock_guard<std::mutex> hold(lock_);
    requested_ = true;
    if (set_) set_->Quiesce(2);
  }
  void RunStarted(CPipeSet& set) {
    std::lock_guard<std::mutex> hold(lock_);
    set_ = &set;
    if (requested_) set.Quiesce(2);
  }
  void RunEnded() {
    std::lock_guard<std::mutex> hold(lock_);
    set_ = nullptr;
  }

 private:
  std::mutex lock_;
  CPipeSet* set_ = nullptr;
  bool requested_ = false;
};

int RunPipeline(std::span<const std::string> args, const char* modulePath, SignalStop& stop) {
  auto line = ParseCommandLine(args);
  if (const ParseError* error = std::get_if<ParseError>(&line)) return Refuse(*error);
  const CommandLine& command = std::get<CommandLine>(line);
  if (command.action == CommandLine::Action::kHelp) {
    return platform::WriteStandardOutput(UsageText()) ? 0 : 1;
  }
  if (command.action == CommandLine::Action::kVersion) {
    return platform::WriteStandardOutput(std::string(kPipeVersion) + "\n") ? 0 : 1;
  }
  if (command.action == CommandLine::Action::kUsage) {
    platform::ConsoleWrite(ShortUsageText());
    return kUsageExitStatus;
  }

  // A command that names no stage of the driver names a stage module of its
  // own when one of the module folders has its file.
  std::optional<std::vector<std::string>> folders;
  auto moduleFolders = [&]() -> const std::vector<std::string>& {
    if (!folders) folders = ModuleFolders(modulePath);
    return *folders;
  };
  if (command.action == CommandLine::Action::kListStages) {
    return platform::WriteStandardOutput(StageListText(moduleFolders())) ? 0 : 1;
  }
  auto moduleCommand = [&](std::string_view word) {
    return ModuleFileExists(ModuleFileName(word), moduleFolders());
  };
  auto parsed = ParsePipeline(command.pipeline, moduleCommand);
  if (const ParseError* error = std::get_if<ParseError>(&parsed)) return Refuse(*error);
  const ParsedPipeline& pipeline = std::get<ParsedPipeline>(parsed);

  CPipeSet set;
  struct Detach {
    SignalStop& stop;
    ~Detach() { stop.RunEnded(); }
  } detach{stop};  // before the set goes
  if (std::optional<ParseError> error = BuildPipeSet(pipeline, command.pipeline, command.recordLimit, set)) {
    return Refuse(*error);
  }
  auto entries = FindEntries(set, moduleFolders);
  if (const ParseError* error = std::get_if<ParseError>(&entries)) {
    return error->number == 0 ? FailureExitStatus(set.highestReturnCode) : Refuse(*error);
  }

  TraceSegment trace;
  if (pipeline.trace) {
    if (std::optional<ParseError> error = trace.Create(set)) return Refuse(*error);
  }

  RunEngine engine(set);
  const auto& found = std::get<std::vector<std::vector<StageEntry>>>(entries);
  for (std::uint32_t p = 0; p < found.size(); ++p) {
    for (std::uint32_t s = 0; s < found[p].size(); ++s) engine.SetEntry(p, s, found[p][s]);
  }
  engine.SetStartCheck([&stop](CPipeSet& run) {
    CheckDeclaredLimits(run);
    stop.RunStarted(run);
  });
  engine.SetThreadPerStage(command.threadPerStage);
  // A stop from the signal watch must not reach stages whose fibers are gone.
  engine.SetEndCheck([&stop](CPipeSet&) { stop.RunEnded(); });
  return ExitStatus(engine.Run());
}

}  // namespace

int RunPipeCommand(std::span<const std::string> args, const char* modulePath) {
  platform::PrepareCommandProcess();
  // A signal ends the run the way a stop does: every file is closed whole
  // and every read-only attribute put back; the process then ends as the
  // signal would have ended it, once everything of the run (its TRACE
  // segment too) is gone.
  SignalStop stop;
  struct Watch {
    explicit Watch(SignalStop& stop) {
      platform::OnTerminatingSignal([&stop] { stop.Request(); });
    }
    ~Watch() { platform::EndIfTerminatingSignal(); }
  } watch(stop);
  return RunPipeline(args, modulePath, stop);
}

}  // namespace ductrine
