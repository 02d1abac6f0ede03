// The pipeline set: the driver's in-memory description of one run, shared by
// every stage thread of the run, and the framework operations that act on it.
//
// The driver builds the set completely before any stage starts and does not
// move or resize any sequence until every stage has returned. Stages write
// only their own CStage fields and output entries, plus the run-wide flags
// (abortRun, highestReturnCode, traceOn, stopping, stopMarked) and the link
// flags that a stop severs. Those shared fields are Relaxed atomics.
//
// CPipeSet is declared here once; its operations are defined in the folder of
// the subsystem that owns them: streams and stop in runtime/, messages in
// messages/, tracing in trace/, file-name operands in operands/, the start
// handshake in stage/.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "messages/message_arg.h"
#include "platform/platform.h"
#include "runtime/relaxed.h"
#include "stage/process.h"

namespace ductrine {

class CPipeSet;

// Stage wait states.
enum StageState : std::uint32_t {
  kStateActive = 0,
  kStateComplete = 1,
  kStateReadPending = 2,
  kStateWritePending = 3,
};
extern const char* const kStageStateNames[4];

// Message severities.
enum Severity : std::uint32_t {
  kSeverityNone = 0,
  kSeverityWarning = 1,
  kSeverityError = 2,
  kSeverityConsoleError = 3,
};

constexpr std::uint32_t kLinkConnected = 2;
constexpr std::uint32_t kMaxInputStreamsCap = 4096;

// The connection part of a stream entry; both ends of a connection carry one.
struct CStreamLink {
  Relaxed<std::uint32_t> flags;  // bit value 2: connected; 0: severed
  std::int32_t streamNo = 0;
  std::uint32_t peerPipe = 0;
  std::uint32_t peerStage = 0;
  std::uint32_t peerStream = 0;
  Relaxed<std::uint32_t> recordCount;

  bool IsConnected() const { return (flags.load() & kLinkConnected) != 0; }
  bool IsSevered() const { return !IsConnected(); }
  void Sever() { flags = 0; }
};

struct COutputStream;

// The record handshake's handle and peer pointer on each end are filled by
// the driver before the start barrier and cleared once every worker of the
// run has ended. In a set built without the driver they stay null and the
// operations open the event by name and look the peer up each time.
struct CInputStream : virtual CStreamLink {
  std::string consumedEventName;
  platform::Handle consumedEvent = nullptr;
  COutputStream* producer = nullptr;
};

struct COutputStream : virtual CStreamLink {
  Relaxed<const std::string*> record{nullptr};
  std::string recordEventName;
  platform::Handle recordEvent = nullptr;
  CInputStream* consumer = nullptr;
};

struct CStage {
  CPipeSet* pipeSet = nullptr;
  std::uint32_t pipeIndex = 0;
  std::uint32_t stageIndex = 0;
  std::uint32_t typeIndex = 0;
  std::string typeName;
  std::string operands;
  platform::Handle threadHandle = nullptr;
  std::string readyEventName;
  std::string startEventName;
  std::vector<CInputStream> inputs;
  std::vector<COutputStream> outputs;
  Relaxed<std::uint32_t> maxInputStreams;
  Relaxed<std::uint32_t> maxOutputStreams;
  Relaxed<std::uint32_t> inputRequired;
  Relaxed<std::uint32_t> readCount;
  Relaxed<std::uint32_t> writeCount;
  Relaxed<std::int32_t> lastInputStream{-1};
  Relaxed<std::uint32_t> lastOutputStream;
  Relaxed<std::uint32_t> state;
  std::uint32_t callpipeId = 0;
  platform::Handle callpipeHandle = nullptr;
  std::uint32_t inputStreamCount = 0;
  // Input record selection, filled by the driver.
  std::uint8_t selectActive = 0;
  std::string wordSeparators = " ";
  std::string fieldSeparators = "\t";
  std::uint8_t selectWords = 0;
  std::uint8_t selectFields = 0;
  std::int32_t selectFrom = 0;
  std::int32_t selectTo = 0;
  std::uint32_t selectDriverField = 0;
  std::uint8_t selectUpper = 0;
  std::uint8_t selectReverse = 0;
  std::string lastRecord;
  std::string selectedRecord;
  Relaxed<std::uint8_t> started;
  std::uint8_t traced = 0;

  CInputStream* InputAt(std::uint32_t n) { return n < inputs.size() ? &inputs[n] : nullptr; }
  COutputStream* OutputAt(std::uint32_t n) { return n < outputs.size() ? &outputs[n] : nullptr; }
  std::uint32_t InputCount() const { return static_cast<std::uint32_t>(inputs.size()); }
  std::uint32_t OutputCount() const { return static_cast<std::uint32_t>(outputs.size()); }
  // Stores the smaller of n and the 4096 cap.
  void SetMaxInputStreams(std::uint32_t n);
  // Cuts the offered record for a selecting stage; returns selectedRecord.
  const std::string& ApplySelection(const std::string& offered);
};

struct CPipe {
  std::string name;
  std::vector<CStage> stages;
};

// One stage type known to the run; names[0] is its command name.
struct CStageType {
  std::vector<std::string> names;
};

class CPipeSet {
 public:
  CPipeSet() = default;
  CPipeSet(const CPipeSet&) = delete;
  CPipeSet& operator=(const CPipeSet&) = delete;

  // ---- fields, in contract order -----------------------------------------
  std::vector<CStageType> stageTypes;
  std::list<const char*> systemMessages;
  Relaxed<std::uint8_t> systemMessagesLoaded;
  std::list<const char*> stageMessages;
  Relaxed<std::uint8_t> stageMessagesLoaded;
  std::vector<std::string> sourceLines;
  std::vector<CPipe> pipes;
  Relaxed<std::uint32_t> highestReturnCode;
  Relaxed<std::uint8_t> abortRun;
  std::string traceSource;
  Relaxed<std::uint8_t> stopping;
  Relaxed<std::uint8_t> stopMarked;
  Relaxed<std::uint8_t> markStop;
  Relaxed<std::uint8_t> traceOn;
  std::string traceSegmentName;
  platform::Handle traceSegment = nullptr;
  platform::Handle traceSegmentReader = nullptr;
  std::string setName;
  std::string baseDirectory;
  std::string traceEndEventName;
  std::string traceOffEventName;
  std::uint32_t recordLimit = 65536;
  // The once-only fill of the catalogue lists: it lives here, not in a
  // static, because every module carries statics of its own.
  std::once_flag systemMessagesOnce;
  std::once_flag stageMessagesOnce;

  // ---- lookups and small accessors (runtime/pipe_set.cpp) -----------------
  // Inline: every record operation starts with one.
  CStage* FindStage(std::uint32_t pipeIndex, std::uint32_t stageIndex) {
    if (pipeIndex >= pipes.size()) return nullptr;
    CPipe& pipe = pipes[pipeIndex];
    return stageIndex < pipe.stages.size() ? &pipe.stages[stageIndex] : nullptr;
  }
  CStage* FindStage(const CProcess& stage) { return FindStage(stage.pipeIndex, stage.stageIndex); }
  // Keeps the greatest value ever raised, also when stages raise at once.
  void RaiseReturnCode(std::uint32_t value);
  bool IsTraceOn() const { return traceOn.load() != 0; }
  void SetTraceOn(bool on);
  void PipeLabel(std::uint32_t pipeIndex, std::string& label) const;

  // ---- stage entry (stage/start_handshake.cpp) ----------------------------
  bool StartHandshake(CStageCall* call);

  // ---- record streams (runtime/record_streams.cpp) ------------------------
  bool PeekRecord(CProcess& stage, std::uint32_t stream, std::string& record);
  bool ConsumeRecord(CProcess& stage, std::uint32_t stream);
  // With an input selection, WriteRecord passes on the last whole record the
  // stage received, whatever `record` is: the rule for a stage that passes
  // records on. WriteOwnRecord offers `record` itself in every case: for a
  // record the stage built (a count, a summary). Otherwise the two are one.
  bool WriteRecord(CProcess& stage, std::uint32_t stream, const std::string& record);
  bool WriteOwnRecord(CProcess& stage, std::uint32_t stream, const std::string& record);
  // PeekRecord without the copy, for a stage that passes the record on
  // unchanged: `record` points at the offered record (for a selecting stage,
  // at its selection), valid until this stage consumes it or peeks again.
  bool PeekRecordInPlace(CProcess& stage, std::uint32_t stream, const std::string*& record);
  // ConsumeRecord then PeekRecordInPlace on one stream, in one step: the
  // consumer's wake of its producer hands the producer this stage's turn.
  bool ConsumeAndPeekInPlace(CProcess& stage, std::uint32_t stream, const std::string*& record);

  // ---- stop (runtime/quiesce.cpp) -----------------------------------------
  void Quiesce(std::int32_t cause);

  // ---- messages (messages/) -----------------------------------------------
  void LoadSystemMessages();
  void LoadStageMessages();
  bool IssueMessage(CProcess& stage, std::uint32_t number, std::uint32_t severity,
                    const MessageArgs& values = {});
  // `continuation`: lines the driver adds after the catalogue text, each
  // begun with a line feed and 20 blanks.
  void IssueSystemMessage(std::uint32_t number, std::uint32_t severity,
                          const MessageArgs& values = {}, std::string_view continuation = {});
  void WriteStageMessage(CProcess& stage, std::string_view line);
  // Switches tracing off for the run and leaves "TraceEndLock-%.8d" raised.
  void EndTrace();

  // ---- tracing (trace/) ---------------------------------------------------
  bool ReadTraceSegment(std::int32_t& runCount, std::int32_t& requestNumber);
  bool WriteTraceSegment(std::int32_t runCount, std::int32_t requestNumber);
  void ShowTraceHelp();
  void TraceRequest(CProcess& stage, std::int32_t operation, std::int32_t streamNo,
                    std::uint32_t recordNumber, const std::string& record);

  // ---- file-name operands (operands/) -------------------------------------
  bool ParseFileName(CProcess& stage, const char** cursor, std::string* name, bool checkInput);
  bool VerifyInputFile(CProcess& stage, const std::string& name);

 private:
  const std::string* FetchRecord(CStage& consumer, CInputStream& in);
  bool OfferRecord(CProcess& caller, std::uint32_t stream, const std::string& record, bool own);
  // The peek behind both in-place forms; `consumeFirst`: consume the record
  // offered now, then wait for the next.
  const std::string* AwaitRecord(CProcess& caller, std::uint32_t stream, bool consumeFirst);
};

// Finds the text of a message number in a catalogue list ("%.4d" prefix).
const char* FindMessage(const std::list<const char*>& list, std::uint32_t number);

}  // namespace ductrine
