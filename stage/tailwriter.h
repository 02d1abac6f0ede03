// CTailwriter, the stage of the tailwriter module (command TAILWRITER,
// aliases ">>" and TAILWRT): appends every record of its primary input to a
// file, one record per line, never truncating what the file holds, and copies
// each record to its primary output.
//
// The file is named by the operand (one file for the run), by the front of
// each record (no operand), or by the records of a secondary input stream.
//
// One object per BeginStage call, used only by the stage's own thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {

class CTailwriter final : public CProcess {
 public:
  explicit CTailwriter(const CStageCall& call);
  // Closes a file that an exception left open, so no accepted record stays
  // in the buffer and a read-only file is read-only again.
  ~CTailwriter() override;

  // Declares the stream limits and takes the operand string whole; true.
  bool Setup() override;
  // 0 when the input ends; 3 after an error reported as a message.
  std::int32_t Run() override;

  // Probes fileName before the first record is appended to it: decides
  // whether a line end must come first, and proves that a missing file can be
  // created (without leaving it behind). False after a message.
  bool PrepareFile();
  // Closes the target file and restores a read-only attribute the stage
  // cleared. 0; 3 when buffered records could not be written (reported).
  std::int32_t CloseFile();

 private:
  // The name stream loop: each record of stream 1 names the file for the
  // next record of stream 0.
  std::int32_t RunNameStream();
  // Opens fileName for appending with exclusive sharing. False after 2002.
  bool OpenForAppending();
  // Appends inputRecord (up to its first NUL) as a line. On a write failure
  // reports it, closes the file and restores its attribute; false.
  bool AppendRecord();
  // Closes whatever is open and gives the error return code.
  std::int32_t Fail();
  void ReportWriteFailure(int code);

  CStage* ownStage = nullptr;
  std::string inputRecord;
  std::string fileName;
  std::FILE* targetFile = nullptr;
  bool lineEndPending = false;
  bool madeWritable = false;
  bool namesInRecords = false;
  std::string previousFileName;
  bool fileOpen = false;
  // What restoring the read-only attribute puts back.
  unsigned savedAttributes = 0;
  // The append stream's buffer; it outlives every stream that uses it.
  std::unique_ptr<char[]> appendBuffer;
};

}  // namespace ductrine
