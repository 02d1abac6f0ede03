// The Tailwriter stage: records appended to files, one per line.
//
// Nothing accepted is lost and nothing is left behind: every write, flush and
// close of the append stream is checked, and every way out of Run closes the
// target file and gives a file back its read-only attribute.

#include "stage/tailwriter.h"

#include <cstring>

#include "messages/format.h"
#include "messages/reason_text.h"
#include "platform/platform.h"

namespace ductrine {
namespace {

using platform::Share;

// The stream is in text mode: the system's line end reaches the file (a line
// feed on POSIX, a carriage return and a line feed on Windows).
constexpr char kLineEnd[] = "\n";
constexpr std::size_t kLineEndSize = sizeof kLineEnd - 1;

// Large enough that a long run of short records costs few system calls.
constexpr std::size_t kAppendBufferSize = 64 * 1024;

constexpr const char* kWriteFailure =
    "Failure writing file: '%s', Rc: %d,\n                    Reason: %s";

}  // namespace

CTailwriter::CTailwriter(const CStageCall& call) : CProcess(call) {}

CTailwriter::~CTailwriter() {
  if (!targetFile && !madeWritable) return;
  try {
    CloseFile();
  } catch (...) {
    // A destructor must not throw; the file is closed whatever the message did.
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
  return true;
}

std::int32_t CTailwriter::Run() {
  lineEndPending = false;
  madeWritable = false;
  namesInRecords = false;
  fileOpen = false;

  if (ownStage->inputStreamCount > 1) {
    if (!fileName.empty()) {
      pipeSet->IssueMessage(*this, 2033, kSeverityError, {ownStage->operands});
      return 3;
    }
    return RunNameStream();
  }

  if (fileName.empty()) {
    namesInRecords = true;
  } else if (!PrepareFile()) {
    return Fail();
  }

  if (!pipeSet->PeekRecord(*this, 0, inputRecord)) return CloseFile();
  for (;;) {
    if (namesInRecords) {
      const char* cursor = inputRecord.c_str();
      std::string parsed;
      if (!pipeSet->ParseFileName(*this, &cursor, &parsed, false)) return Fail();
      if (!previousFileName.empty() && previousFileName != parsed) {
        if (CloseFile() != 0) return 3;
        lineEndPending = false;
      }
      previousFileName = parsed;
      fileName = parsed;
      // By position rather than as a C string: bytes after a NUL in the data
      // still go to the output stream.
      inputRecord.erase(0, static_cast<std::size_t>(cursor - inputRecord.c_str()));
      if (!fileOpen && !PrepareFile()) return Fail();
    }
    if (!fileOpen && !OpenForAppending()) return Fail();
    if (!AppendRecord()) return 3;
    pipeSet->WriteRecord(*this, 0, inputRecord);
    pipeSet->ConsumeRecord(*this, 0);
    if (!pipeSet->PeekRecord(*this, 0, inputRecord)) return CloseFile();
  }
}

std::int32_t CTailwriter::RunNameStream() {
  madeWritable = false;
  fileOpen = false;
  lineEndPending = false;

  if (!pipeSet->PeekRecord(*this, 1, inputRecord)) return CloseFile();
  for (;;) {
    if (inputRecord != fileName) {
      if (!fileName.empty() && CloseFile() != 0) return 3;
      fileName = inputRecord;
      lineEndPending = false;
      if (!PrepareFile()) return Fail();
    }
    pipeSet->ConsumeRecord(*this, 1);
    if (!pipeSet->PeekRecord(*this, 0, inputRecord)) return CloseFile();
    if (!fileOpen && !OpenForAppending()) return Fail();
    if (!AppendRecord()) return 3;
    pipeSet->WriteRecord(*this, 0, inputRecord);
    pipeSet->ConsumeRecord(*this, 0);
    if (!pipeSet->PeekRecord(*this, 1, inputRecord)) return CloseFile();
  }
}

bool CTailwriter::PrepareFile() {
  const char* name = fileName.c_str();
  std::string reason;
  auto report = [&](std::uint32_t number, int code, bool withDirection) {
    GetReasonText(code, reason);
    if (withDirection)
      pipeSet->IssueMessage(*this, number, kSeverityError, {"Output", fileName, code, reason});
    else
      pipeSet->IssueMessage(*this, number, kSeverityError, {fileName, code, reason});
    return false;
  };

  // Two rounds at most: a file that appears between the existence test and
  // the creation is probed once more as the existing file it now is.
  for (int round = 0;; ++round) {
    targetFile = platform::OpenFileShared(name, "rb", Share::kDenyWrite);
    if (targetFile) break;
    int code = platform::LastErrorCode();
    // An existing file that cannot be read (another stage holds it, or it
    // may not be read) is never created over.
    if (platform::FileExists(name)) return report(2002, code, true);

    std::FILE* probe = platform::CreateNewFile(name, Share::kDenyReadWrite);
    if (probe) {
      std::fclose(probe);
      if (!platform::EraseFile(name)) return report(2053, platform::LastErrorCode(), false);
      // The append open creates the file when its first record arrives.
      return true;
    }
    code = platform::LastErrorCode();
    if (round > 0 || !platform::FileExists(name)) return report(2002, code, true);
  }

  // 64-bit positions: a log of 2 GiB or more is a file like any other.
  if (platform::SeekFile(targetFile, 0, SEEK_END) != 0)
    return report(2029, platform::LastErrorCode(), false);
  const std::int64_t size = platform::TellFile(targetFile);
  if (size < 0) return report(2029, platform::LastErrorCode(), false);
  if (size == 0) return true;
  if (platform::SeekFile(targetFile, -1, SEEK_END) != 0)
    return report(2029, platform::LastErrorCode(), false);
  const int last = std::fgetc(targetFile);
  if (last == EOF) return report(2003, platform::LastErrorCode(), false);
  // Never cleared here: the callers clear it before a new file.
  if (last != '\n') lineEndPending = true;
  return true;
}

bool CTailwriter::OpenForAppending() {
  const char* name = fileName.c_str();
  if (platform::FileIsReadOnly(name) && platform::MakeFileWritable(name, &savedAttributes))
    madeWritable = true;
  if (targetFile) {
    std::fclose(targetFile);
    targetFile = nullptr;
  }
  targetFile = platform::OpenFileShared(name, "a+", Share::kDenyReadWrite);
  if (!targetFile) {
    const int code = platform::LastErrorCode();
    std::string reason;
    GetReasonText(code, reason);
    pipeSet->IssueMessage(*this, 2002, kSeverityError, {"Input", fileName, code, reason});
    if (madeWritable) {
      platform::RestoreFileAttributes(name, savedAttributes);
      madeWritable = false;
    }
    return false;
  }
  if (!appendBuffer) appendBuffer = std::make_unique<char[]>(kAppendBufferSize);
  std::setvbuf(targetFile, appendBuffer.get(), _IOFBF, kAppendBufferSize);
  fileOpen = true;
  return true;
}

bool CTailwriter::AppendRecord() {
  const char* data = inputRecord.data();
  const void* nul = std::memchr(data, '\0', inputRecord.size());
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : inputRecord.size();

  bool written = !lineEndPending || std::fwrite(kLineEnd, 1, kLineEndSize, targetFile) == kLineEndSize;
  if (written && length > 0) written = std::fwrite(data, 1, length, targetFile) == length;
  lineEndPending = true;
  if (written) return true;

  ReportWriteFailure(platform::LastErrorCode());
  // The close fails on the same buffered bytes; it has been reported once.
  std::fclose(targetFile);
  targetFile = nullptr;
  CloseFile();
  return false;
}

std::int32_t CTailwriter::CloseFile() {
  bool lost = false;
  int code = 0;
  if (targetFile) {
    // Only the append stream holds records; the read probe has nothing to lose.
    if (fileOpen && std::fflush(targetFile) != 0) {
      lost = true;
      code = platform::LastErrorCode();
    }
    if (std::fclose(targetFile) != 0 && fileOpen && !lost) {
      lost = true;
      code = platform::LastErrorCode();
    }
    targetFile = nullptr;
  }
  fileOpen = false;
  if (lost) ReportWriteFailure(code);
  if (madeWritable) {
    platform::RestoreFileAttributes(fileName.c_str(), savedAttributes);
    madeWritable = false;
  }
  return lost ? 3 : 0;
}

std::int32_t CTailwriter::Fail() {
  CloseFile();
  return 3;
}

void CTailwriter::ReportWriteFailure(int code) {
  std::string reason;
  GetReasonText(code, reason);
  pipeSet->IssueMessage(*this, 2999, kSeverityError,
                        {FormatText(kWriteFailure, {fileName, code, reason})});
}

}  // namespace ductrine
