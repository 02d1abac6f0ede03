// What the tests need to know about the flavour they run on (POSIX or
// Windows), in one place instead of conditionals in every test.
#pragma once

#include <atomic>
#include <memory>

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stage/process.h"

namespace ductrine::test {

// Records for the long chain tests: every handoff under wine costs a round
// trip to its server (with a thread per stage, several), so the Windows
// flavour runs a shorter chain: the 32-bit leg took up to 120 s with 20,000.
#if defined(_WIN32)
inline constexpr int kLongChainRecords = 5000;
#else
inline constexpr int kLongChainRecords = 100000;
#endif

// `text` as this flavour's text mode puts it in a file: every line feed
// becomes the system's line end (a carriage return and a line feed on
// Windows).
std::string FileText(std::string_view text);

// System error codes that tests provoke, as this flavour reports them.
struct ErrorCodes {
  int pathNotFound;      // a folder on the way to the file does not exist
  int sharingViolation;  // another open holds the file (a share mode, or a lock)
  int diskFull;          // a write finds no room
  int fileExists;        // a file to be created is there (a dangling link)
};
extern const ErrorCodes kErrors;

// A device that fails every write for want of room: /dev/full, which wine
// shows on its drive Z: (Windows itself has none).
extern const char* const kFullDevice;

// True where file names that differ only in letter case name one file.
extern const bool kNamesIgnoreCase;

// Removes a file or a folder with everything in it, read-only files too
// (which Windows refuses to remove); what cannot be removed is left.
void RemoveAll(const std::string& path);

// Local times are shown in UTC from now on.
void UseUtc();

// The BeginStage of a stage module in the build's bin folder, `name` without
// its suffix; null (with the loader's word in `error`) when it cannot be had.
StageEntry LoadBuiltModule(const std::string& name, std::string* error);

// Sends this process the request to end that a user at a terminal sends
// (SIGINT). Only where kCanSendTerminatingSignal (not on Windows: console
// control events need a console of the test's own). EndedByTerminatingSignal
// is the exit test for a process that it ended.
extern const bool kCanSendTerminatingSignal;
bool SendTerminatingSignal();
bool EndedByTerminatingSignal(int exitStatus);

// The files under `folder` that this process holds open, each with whether
// a child process that it starts would inherit it (POSIX: a descriptor
// without close-on-exec). Only where kCanListOpenFiles (not on Windows,
// which has no list of a process's handles to walk).
struct OpenFile {
  std::string path;
  bool inherited;
};
extern const bool kCanListOpenFiles;
std::vector<OpenFile> OpenFilesUnder(const std::string& folder);

// Sets a variable of this process's environment, which child processes inherit.
void PutEnvironment(const std::string& variable, const std::string& value);

// Another process running one test of this test binary (a DISABLED_ one,
// run on purpose), with this process's environment. Killed, if it still
// runs, and waited for when destroyed.
class ChildProcess {
 public:
  explicit ChildProcess(const std::string& test);
  ~ChildProcess() { Kill(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return id_.load() != -1; }
  // Ends it at once (SIGKILL, TerminateProcess) and waits until it is gone.
  void Kill();
  // Waits for its end: true when its test passed.
  bool Passed();

 private:
  std::atomic<std::intptr_t> id_{-1};  // a watchdog thread may kill it too
};

// An anonymous pipe whose reads block, the way a console stage waits for a
// typed line: a stop may end a thread that blocks in Read.
class BlockingPipe {
 public:
  BlockingPipe();
  ~BlockingPipe();
  BlockingPipe(const BlockingPipe&) = delete;
  BlockingPipe& operator=(const BlockingPipe&) = delete;

  // One byte; false at the end of the pipe or on an error. On a stage's
  // fiber it is read off the dispatcher, as a console stage reads.
  bool Read();
  bool Write();

 private:
  long ReadRaw(char* buffer, std::size_t size);

  std::intptr_t reader_ = -1;
  std::intptr_t writer_ = -1;
  // Ended and joined before the pipe closes.
  std::unique_ptr<platform::BlockingReader> read_ = std::make_unique<platform::BlockingReader>(
      [this](char* buffer, std::size_t size) { return ReadRaw(buffer, size); });
};

}  // namespace ductrine::test
