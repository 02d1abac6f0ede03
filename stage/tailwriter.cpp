// The Tailwriter stage: records appended to files, one per line.
//
// Nothing accepted is lost and nothing is left behind: every write and close
// is checked, a write that fails part way is cut back to the last whole
// record, and every way out of Run closes every open file and gives each its
// read-only attribute back.

#include "stage/tailwriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <thread>

#include "messages/format.h"
#include "messages/reason_text.h"
#include "operands/file_name.h"

namespace ductrine {
namespace {

using platform::AppendOpen;
using platform::FileKind;
using platform::Share;

// The file is in text mode: the system's line end reaches it (a line feed on
// POSIX, a carriage return and a line feed on Windows).
constexpr char kLineEnd[] = "\n";
constexpr std::size_t kLineEndSize = sizeof kLineEnd - 1;

// Records wait here for the current file, and reach it in one write per
// block, each block ending where a record ends: large enough that a long run
// of short records costs few system calls.
constexpr std::size_t kBlockSize = 64 * 1024;

constexpr const char* kWriteFailure =
    "Failure writing file: '%s', Rc: %d,\n                    Reason: %s";

// Marks of closed files kept at most; past that they are forgotten (a file
// without one has its last byte read).
constexpr std::size_t kMostMarks = 4096;

// The reason text of a failed open, without the line end some systems add.
std::string OpenReason(int code) {
  std::string text = platform::OpenFailureText(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) GetReasonText(code, text);
  return text;
}

// How many files the set may hold: a share of the process's open-file limit
// that leaves the rest of the run its files, and never more than 64.
std::size_t SetCapacity() {
  const long share = platform::OpenFileLimit() / 8;
  return static_cast<std::size_t>(
      std::clamp<long>(share, 1, static_cast<long>(CTailwriter::kMostOpenFiles)));
}

}  // namespace

CTailwriter::CTailwriter(const CStageCall& call) : CProcess(call) {}

CTailwriter::~CTailwriter() {
  if (!targetFile && openFiles.empty()) return;
  try {
    CloseFile();
  } catch (...) {
    // A destructor must not throw; the files are closed whatever the message did.
  }
}

bool CTailwriter::Setup() {
  ownStage = pipeSet->FindStage(*this);
  if (!ownStage) return false;
  ownStage->inputRequired = 1;
  ownStage->SetMaxInputStreams(2);
  ownStage->maxOutputStreams = 1;
  targetFile = nullptr;
  fileName = ownStage->operands;
  // Operands are checked in Run: a target that cannot be written fails its
  // own stage, and the rest of the run goes on.
  return true;
}

std::int32_t CTailwriter::Run() {
  namesInRecords = false;

  if (ownStage->inputStreamCount > 1) {
    if (!fileName.empty()) {
      pipeSet->IssueMessage(*this, 2033, kSeverityError, {ownStage->operands});
      return Fail();
    }
    namesFromRecords = true;
    mostOpen = SetCapacity();
    return RunNameStream();
  }

  if (fileName.empty()) {
    namesInRecords = namesFromRecords = true;
    mostOpen = SetCapacity();
  } else if (!PrepareFile()) {
    return Fail();
  }

  // The record is appended and passed on where the producer holds it; only
  // a record that carries its file's name is copied, without the name.
  const std::string* record = nullptr;
  if (!pipeSet->PeekRecordInPlace(*this, 0, record)) return CloseFile();
  for (;;) {
    if (namesInRecords) {
      std::string parsed;
      std::size_t rest = 0;
      if (!ParseRecordFileName(*pipeSet, *this, *record, &parsed, &rest)) return Fail();
      fileName.swap(parsed);
      // By position rather than as a C string: bytes after a NUL in the data
      // still go to the output stream.
      inputRecord.assign(*record, rest);
      record = &inputRecord;
    }
    // A run of records for one file looks nothing up; with the name given as
    // the operand there is only ever the one file, and its name is not
    // compared again.
    if ((!current || (namesInRecords && current->name != fileName)) &&
        !UseFile(!namesInRecords))
      return Fail();
    if (!AppendRecord(*record)) return 3;
    pipeSet->WriteRecord(*this, 0, *record);
    if (!pipeSet->ConsumeAndPeekInPlace(*this, 0, record)) return CloseFile();
  }
}

std::int32_t CTailwriter::RunNameStream() {
  fileName.clear();
  bool named = false;  // an empty first name record is checked too
  const std::string* record = nullptr;
  if (!pipeSet->PeekRecordInPlace(*this, 1, record)) return CloseFile();
  for (;;) {
    if (!named || *record != fileName) {
      named = true;
      // The whole record is the name, unparsed.
      if (!CheckStreamFileName(*pipeSet, *this, *record)) return Fail();
      fileName = *record;
      if (!LeaveCurrent()) return 3;
      if (openByName.count(fileName) != 0) {
        if (!UseFile(true)) return Fail();
      } else if (!PrepareFile()) {
        // Probed now, as the name arrives; opened when its data record does.
        return Fail();
      }
    }
    pipeSet->ConsumeRecord(*this, 1);
    if (!pipeSet->PeekRecordInPlace(*this, 0, record)) return CloseFile();
    if (!current && !UseFile(true)) return Fail();
    if (!AppendRecord(*record)) return 3;
    pipeSet->WriteRecord(*this, 0, *record);
    pipeSet->ConsumeRecord(*this, 0);
    if (!pipeSet->PeekRecordInPlace(*this, 1, record)) return CloseFile();
  }
}

bool CTailwriter::PrepareFile() {
  CloseProbe();
  const char* name = fileName.c_str();
  std::string reason;
  auto fail = [&](std::uint32_t number, int code, bool withDirection) {
    if (withDirection) {
      pipeSet->IssueMessage(*this, number, kSeverityError,
                            {"Output", ShownName(fileName), code, OpenReason(code)});
    } else {
      GetReasonText(code, reason);
      pipeSet->IssueMessage(*this, number, kSeverityError, {ShownName(fileName), code, reason});
    }
    return false;
  };

  // Only a regular file has a last byte to probe. A FIFO is never opened for
  // reading (that open waits for a writer), nor a device positioned.
  switch (platform::KindOfFile(name)) {
    case FileKind::kDirectory:
      return fail(2002, platform::DirectoryErrorCode(), true);
    case FileKind::kOther:
      return true;
    case FileKind::kMissing:
    case FileKind::kRegular:
      break;
  }

  // Two rounds at most: a file that appears between the existence test and
  // the creation is probed once more as the existing file it now is.
  for (int round = 0;; ++round) {
    targetFile = platform::OpenFileShared(name, "rb", Share::kDenyWrite);
    if (targetFile) break;
    int code = platform::LastErrorCode();
    // An existing file that cannot be read (another stage holds it, or it
    // may not be read) is never created over.
    if (platform::FileExists(name)) return fail(2002, code, true);

    std::FILE* probe = platform::CreateNewFile(name, Share::kDenyReadWrite);
    if (probe) {
      std::fclose(probe);
      if (!platform::EraseFile(name)) return fail(2053, platform::LastErrorCode(), false);
      // The append open creates the file when its first record arrives.
      return true;
    }
    code = platform::LastErrorCode();
    if (round > 0 || !platform::FileExists(name)) return fail(2002, code, true);
  }

  // The last byte must be readable now; whether a line end comes first is
  // decided again at the append open, under the lock the writes hold.
  // 64-bit positions: a log of 2 GiB or more is a file like any other.
  if (platform::SeekFile(targetFile, 0, SEEK_END) != 0)
    return fail(2029, platform::LastErrorCode(), false);
  const std::int64_t size = platform::TellFile(targetFile);
  if (size < 0) return fail(2029, platform::LastErrorCode(), false);
  if (size == 0) return true;
  if (platform::SeekFile(targetFile, -1, SEEK_END) != 0)
    return fail(2029, platform::LastErrorCode(), false);
  if (std::fgetc(targetFile) == EOF) return fail(2003, platform::LastErrorCode(), false);
  return true;
}

bool CTailwriter::LeaveCurrent() {
  if (!current) return true;
  if (!WriteBlock()) {
    Fail();
    return false;
  }
  // To every other stage and process the file is closed now.
  platform::ParkAppendFile(&current->file);
  current = nullptr;
  return true;
}

bool CTailwriter::WriteBlock() {
  if (blockUsed == 0) return true;
  return WriteOut(block.get(), blockUsed);
}

bool CTailwriter::WriteOut(const char* bytes, std::size_t size) {
  platform::AppendFile& file = current->file;
  const std::size_t wrote = platform::WriteAppendFile(&file, bytes, size);
  if (wrote == size) {
    current->wrote = true;
    blockUsed = 0;
    blockEnds.clear();
    return true;
  }
  const int code = platform::LastErrorCode();
  // The file ends where its last whole record ends: the part of a record
  // that reached it is taken off again.
  std::size_t kept = 0;
  for (std::size_t end : blockEnds)
    if (end <= wrote) kept = end;
  if (wrote > kept && file.regular) platform::CutAppendFile(&file, bytes + kept, wrote - kept);
  if (kept > 0) current->wrote = true;
  blockUsed = 0;
  blockEnds.clear();
  ReportWriteFailure(current->name, code);
  // A file this run created and never wrote is not left behind.
  const bool discard = !current->wrote;
  OpenFile* failed = current;
  current = nullptr;
  platform::CloseAppendFile(failed->name.c_str(), &failed->file, nullptr, discard);
  return false;
}

bool CTailwriter::UseFile(bool probed) {
  if (!LeaveCurrent()) return false;
  auto found = openByName.find(fileName);
  if (found != openByName.end()) {
    // Kept open: taken up again as an open would take it, without the open.
    openFiles.splice(openFiles.begin(), openFiles, found->second);
    const AppendOpen result = platform::ResumeAppendFile(fileName.c_str(), &openFiles.front().file);
    if (result != AppendOpen::kOpened) {
      ReportOpenFailure(result, platform::LastErrorCode(), true);
      return false;
    }
  } else if (!OpenIntoSet(probed)) {
    return false;
  }
  current = &openFiles.front();
  // Kept open or opened now, the file gets the same bytes: the line end
  // before the next record follows the file's last byte.
  current->lineEndPending = !current->file.endsInLineEnd;
  return true;
}

bool CTailwriter::OpenIntoSet(bool probed) {
  current = nullptr;
  if (openFiles.size() >= mostOpen && !CloseOne(std::prev(openFiles.end()))) return false;

  platform::AppendFile file;
  const AppendOpen result = OpenTarget(&file);
  if (result != AppendOpen::kOpened) {
    ReportOpenFailure(result, platform::LastErrorCode(), probed);
    return false;
  }

  openFiles.emplace_front();
  OpenFile& entry = openFiles.front();
  entry.name = fileName;
  entry.file = file;
  openByName.emplace(entry.name, openFiles.begin());
  return true;
}

AppendOpen CTailwriter::OpenTarget(platform::AppendFile* file) {
  CloseProbe();
  auto marked = closedMarks.find(fileName);
  const platform::FileMark* seen = marked == closedMarks.end() ? nullptr : &marked->second;
  AppendOpen result = platform::OpenForAppend(fileName.c_str(), file, seen);
  if (result != AppendOpen::kNoReader) return result;

  // A FIFO that no one reads yet. The open is tried again, with growing
  // pauses, on a thread of its own: a dispatcher that runs every stage is
  // never held, and other stages go on meanwhile. A stop ends the wait.
  static std::atomic<unsigned> waits{0};
  char eventName[64];
  std::snprintf(eventName, sizeof eventName, "DuctrineReaderWait-%u-%u", platform::ProcessId(),
                waits.fetch_add(1) + 1);
  platform::Handle done = platform::NamedEvent::OpenOrCreate(eventName, true, false);
  int code = 0;
  auto retry = [&] {
    std::chrono::milliseconds pause(1);
    for (;;) {
      result = platform::OpenForAppend(fileName.c_str(), file, seen);
      if (result != AppendOpen::kNoReader || pipeSet->stopping.load() != 0) break;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    code = platform::LastErrorCode();
  };
  platform::Handle helper = platform::StartThread([&] {
    retry();
    platform::NamedEvent::Set(done);
  });
  if (helper) {
    // The wake comes from the helper, a thread outside the run: while it
    // waits for a reader this is no stall.
    platform::OutsideWaker outside;
    platform::NamedEvent::Wait(done);
    platform::CloseObject(helper);  // joins it
  } else {
    retry();  // no thread to be had: wait here
  }
  platform::CloseObject(done);
  platform::SetLastErrorCode(code);
  return result;
}

void CTailwriter::ReportOpenFailure(AppendOpen result, int code, bool probed) {
  switch (result) {
    case AppendOpen::kDirectory:
      code = platform::DirectoryErrorCode();
      pipeSet->IssueMessage(*this, 2002, kSeverityError,
                            {"Output", ShownName(fileName), code, OpenReason(code)});
      return;
    case AppendOpen::kNoReader:
      // A stop ended the wait for a reader: nothing failed.
      if (pipeSet->stopping.load() != 0) return;
      break;
    case AppendOpen::kOpened:
    case AppendOpen::kFailed:
      break;
  }
  // Not probed yet (a name from a record): the probe tells what is wrong
  // with the file in the words it always has; what passes it is reported as
  // a failed append open.
  if (!probed) {
    const bool explained = !PrepareFile();
    CloseProbe();
    if (explained) return;
  }
  pipeSet->IssueMessage(*this, 2002, kSeverityError,
                        {"Input", ShownName(fileName), code, OpenReason(code)});
}

bool CTailwriter::AppendRecord(const std::string& record) {
  const char* data = record.data();
  const void* nul = std::memchr(data, '\0', record.size());
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : record.size();

  const std::size_t lineEnd = current->lineEndPending ? kLineEndSize : 0;
  const std::size_t size = lineEnd + length;
  if (blockUsed + size > kBlockSize && !WriteBlock()) {
    Fail();
    return false;
  }
  if (!block) block = std::make_unique<char[]>(kBlockSize);
  if (size > kBlockSize) {
    // A record longer than a block is a block of its own.
    std::string whole(kLineEnd, lineEnd);
    whole.append(data, length);
    blockEnds.assign(1, size);
    if (!WriteOut(whole.data(), size)) {
      Fail();
      return false;
    }
  } else {
    std::memcpy(block.get() + blockUsed, kLineEnd, lineEnd);
    std::memcpy(block.get() + blockUsed + lineEnd, data, length);
    blockUsed += size;
    blockEnds.push_back(blockUsed);
  }
  if (current->lineEndPending || length > 0)
    current->file.endsInLineEnd = length > 0 ? data[length - 1] == '\n' : true;
  current->lineEndPending = true;
  return true;
}

bool CTailwriter::CloseOne(OpenFiles::iterator entry, bool report) {
  platform::FileMark mark;
  const bool written = platform::CloseAppendFile(entry->name.c_str(), &entry->file, &mark);
  const int code = platform::LastErrorCode();
  // Names that come back find their file as they left it, unless another
  // changed it: then its last byte is read again.
  if (namesFromRecords) {
    if (mark.valid) {
      if (closedMarks.size() >= kMostMarks) closedMarks.clear();
      closedMarks[entry->name] = mark;
    } else {
      closedMarks.erase(entry->name);
    }
  }
  if (!written && report) ReportWriteFailure(entry->name, code);
  if (current == &*entry) current = nullptr;
  openByName.erase(entry->name);
  openFiles.erase(entry);
  return written;
}

void CTailwriter::CloseProbe() {
  if (!targetFile) return;
  std::fclose(targetFile);
  targetFile = nullptr;
}

std::int32_t CTailwriter::CloseFile() {
  CloseProbe();
  // What waits for the current file reaches it first.
  bool lost = current && !WriteBlock();
  while (!openFiles.empty()) {
    if (!CloseOne(openFiles.begin())) lost = true;
  }
  current = nullptr;
  return lost ? 3 : 0;
}

std::int32_t CTailwriter::Fail() {
  CloseFile();
  return 3;
}

void CTailwriter::ReportWriteFailure(const std::string& name, int code) {
  std::string reason;
  GetReasonText(code, reason);
  pipeSet->IssueMessage(*this, 2999, kSeverityError,
                        {FormatText(kWriteFailure, {ShownName(name), code, reason})});
}

}  // namespace ductrine
