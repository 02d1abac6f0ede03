// Issuing numbered messages: text from the catalogue, the stage's position
// and phase, one console line, and the side effects of the severity.

#include <cstdio>

#include "messages/appl_message.h"
#include "messages/format.h"
#include "messages/reason_text.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {
namespace {

std::string Number4(std::uint32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "%.4d", static_cast<int>(number));
  return text;
}

std::string PositionNote(CStage& stage) {
  std::int32_t last = stage.lastInputStream;
  if (!stage.started || last < 0) return "";
  CInputStream* in = stage.InputAt(static_cast<std::uint32_t>(last));
  if (!in || in->recordCount == 0) return "";
  char note[64];
  std::snprintf(note, sizeof note, " Stream: %ld, Rec: %ld,", static_cast<long>(last),
                static_cast<long>(in->recordCount.load()));
  return note;
}

// The values as the line shows them: texts from data are masked. A text
// still ends at its first NUL, as a C string shown with "%s" does.
MessageArgs Shown(const MessageArgs& values) {
  MessageArgs shown;
  shown.reserve(values.size());
  for (const MessageArg& value : values)
    shown.push_back(value.kind() == MessageArg::Kind::kText
                        ? MessageArg(MaskControls(std::string_view(value.text().c_str())))
                        : value);
  return shown;
}

}  // namespace

void CPipeSet::EndTrace() {
  SetTraceOn(false);
  char name[48];
  std::snprintf(name, sizeof name, "TraceEndLock-%.8ld", platform::ConsoleIdentity());
  // Raised for good: the handle is kept for the life of the process.
  platform::NamedEvent::OpenOrCreate(name, false, false);
}

bool CPipeSet::IssueMessage(CProcess& caller, std::uint32_t number, std::uint32_t severity,
                            const MessageArgs& values) {
  CStage* stage = FindStage(caller);
  if (!stage) return false;
  std::string letters = stage->started ? "R" : "I";
  if (severity == kSeverityError) letters += "E:";
  if (severity == kSeverityWarning) letters += "W:";

  // The flag still decides: a set whose list came filled is not filled again.
  std::call_once(stageMessagesOnce, [this] {
    if (stageMessagesLoaded) return;
    LoadStageMessages();
    stageMessagesLoaded = 1;
  });
  const char* text = FindMessage(stageMessages, number);
  if (!text) {
    std::string label;
    PipeLabel(stage->pipeIndex, label);
    IssueSystemMessage(1999, kSeverityError,
                       {label, stage->stageIndex, stage->typeName, letters, number});
    return false;
  }
  std::string line =
      Number4(number) + letters + PositionNote(*stage) + FormatText(text + 4, Shown(values));
  WriteStageMessage(caller, line);
  if (severity == kSeverityError) RaiseReturnCode(number);
  return true;
}

void CPipeSet::WriteStageMessage(CProcess& caller, std::string_view line) {
  CStage* stage = FindStage(caller);
  std::string label;
  PipeLabel(caller.pipeIndex, label);
  if (IsTraceOn()) EndTrace();
  char number[16];
  std::snprintf(number, sizeof number, "%d", static_cast<int>(caller.stageIndex));
  // The pipe's name and the stage's type are words of the pipeline text.
  std::string header = "PIPE: Pipe(" + MaskControls(label) + "),Stage(" + number + "),Type(" +
                       MaskControls(stage ? stage->typeName : std::string()) + ")";
  CApplMessage message(true, true, header.c_str());
  message.WriteText(line);
}

void CPipeSet::IssueSystemMessage(std::uint32_t number, std::uint32_t severity,
                                  const MessageArgs& values, std::string_view continuation) {
  std::call_once(systemMessagesOnce, [this] {
    if (systemMessagesLoaded) return;
    LoadSystemMessages();
    systemMessagesLoaded = 1;
  });
  const char* text = FindMessage(systemMessages, number);
  std::string word;
  if (severity == kSeverityError || severity == kSeverityConsoleError) word = "PIPE: Error ";
  if (severity == kSeverityWarning) word = "PIPE: Warning ";
  if (severity == kSeverityError) {
    EndTrace();
    RaiseReturnCode(number);
  }
  std::string body = text ? FormatText(text + 5, Shown(values)) : "Message not found.";
  CApplMessage message(true, true, nullptr);
  message.WriteText(word + Number4(number) + ": " + body + std::string(continuation));
}

void GetReasonText(int code, std::string& text) {
  text = platform::ReasonText(code);
  // System texts may end in a line end; a text without one is kept whole.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) text = "Unknown error " + std::to_string(code);
}

}  // namespace ductrine
