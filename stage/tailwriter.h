// CTailwriter, the stage of the tailwriter module (command TAILWRITER,
// aliases ">>" and TAILWRT): appends every record of its primary input to a
// file, one record per line, never truncating what the file holds, and copies
// each record to its primary output.
//
// The file is named by the operand (one file for the run), by the front of
// each record (no operand), or by the records of a secondary input stream.
// Where records name the files, the stage keeps the files it used last open
// (an open-file set, least recently used closed first), so that names that
// interleave cost fewer system calls. A file of the set that is not the
// current one looks closed to everyone else: its records written, its lock
// released, its read-only attribute set again.
//
// One object per BeginStage call, used only by the stage's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {

class CTailwriter final : public CProcess {
 public:
  explicit CTailwriter(const CStageCall& call);
  // Closes the files that an exception left open, so no accepted record stays
  // in a buffer and a read-only file is read-only again.
  ~CTailwriter() override;

  // Declares the stream limits and takes the operand string whole; true.
  bool Setup() override;
  // 0 when the input ends; 3 after an error reported as a message.
  std::int32_t Run() override;

  // Probes fileName before the first record is appended to it: proves that
  // an existing file can be read and shared, and that a missing file can be
  // created (without leaving it behind). False after a message. The line-end
  // decision is not taken here but at the append open, under its lock.
  bool PrepareFile();
  // Closes every open file and restores the read-only attributes the stage
  // cleared. 0; 3 when buffered records could not be written (reported).
  std::int32_t CloseFile();

  // Most files the open-file set keeps open at once.
  static constexpr std::size_t kMostOpenFiles = 64;

 private:
  // One file the stage appends to, with everything that belongs to it.
  struct OpenFile {
    std::string name;
    platform::AppendFile file;
    bool lineEndPending = false;
    // Bytes of this stage reached the file (a file created and never
    // written is removed again after a write failure).
    bool wrote = false;
  };
  using OpenFiles = std::list<OpenFile>;

  // The name stream loop: each record of stream 1 names the file for the
  // next record of stream 0.
  std::int32_t RunNameStream();
  // Parks the current file (closed to everyone else); none is current then.
  // False after a write failure, reported, with every file closed.
  bool LeaveCurrent();
  // Makes fileName the current file: taken up again from the set when it is
  // there, else opened, closing the least recently used file when the set is
  // full. The file current before is parked first. False after a message.
  bool UseFile(bool probed);
  // Opens fileName into the front of the set. False after a message.
  bool OpenIntoSet(bool probed);
  // Opens fileName for appending; a FIFO without a reader is waited for.
  platform::AppendOpen OpenTarget(platform::AppendFile* file);
  // Reports a failed append open of fileName; `probed`: the probe has passed.
  void ReportOpenFailure(platform::AppendOpen result, int code, bool probed);
  // Closes one file of the set. False after a write failure (reported
  // unless `report` is false).
  bool CloseOne(OpenFiles::iterator entry, bool report = true);
  // Closes the probe of PrepareFile, if one is open.
  void CloseProbe();
  // Appends `record` (up to its first NUL) as a line to the current file.
  // On a write failure reports it, closes every file; false.
  bool AppendRecord(const std::string& record);
  // Writes the block to the current file. On a failure the part of a
  // record that reached the file is cut off again, the failure reported and
  // the file closed (removed when this run created it and wrote nothing to
  // it); false.
  bool WriteBlock();
  // WriteBlock for `size` bytes at `bytes`, whose records end at blockEnds.
  bool WriteOut(const char* bytes, std::size_t size);
  // Closes whatever is open and gives the error return code.
  std::int32_t Fail();
  void ReportWriteFailure(const std::string& name, int code);

  CStage* ownStage = nullptr;
  // A record with its file's name taken off (names in the records).
  std::string inputRecord;
  std::string fileName;
  // The read probe of PrepareFile, held with deny-write sharing until the
  // append open replaces it.
  std::FILE* targetFile = nullptr;
  bool namesInRecords = false;
  // Modes 2 and 3: names come from records.
  bool namesFromRecords = false;
  // The open-file set, most recently used first; mode 1 keeps one file in it.
  OpenFiles openFiles;
  std::unordered_map<std::string, OpenFiles::iterator> openByName;
  OpenFile* current = nullptr;
  std::size_t mostOpen = 1;
  // What each file closed to make room looked like then (modes 2 and 3).
  std::unordered_map<std::string, platform::FileMark> closedMarks;
  // Records for the current file not written yet, and where each ends.
  std::unique_ptr<char[]> block;
  std::size_t blockUsed = 0;
  std::vector<std::size_t> blockEnds;
};

}  // namespace ductrine
