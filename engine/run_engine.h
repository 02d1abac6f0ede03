// The driver's side of a run: given a built pipeline set and an entry point
// per stage, it names and holds every event of the run, runs every stage as
// a fiber on the calling thread (or each on a thread of its own), performs
// the start barrier, and when a stage ends severs its streams and wakes its
// partners. A run that stalls (every stage waits, nothing can wake one) is
// reported with a dump and stopped. The pipe command and the tests use it.
//
// Run is called on one thread; it returns when every stage has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {

// Issues an error message for `stage` of `set` on the driver's behalf, for
// a stage that never ran (no module, no fiber): the message carries that
// stage's position as if the stage had issued it.
void IssueForStage(CPipeSet& set, const CStage& stage, std::uint32_t number,
                   const MessageArgs& values);

struct RunResult {
  // Return code of every stage, by pipe and stage index.
  std::vector<std::vector<std::int32_t>> returnCodes;
  std::uint32_t highestReturnCode = 0;
  std::int32_t Code(std::uint32_t pipe, std::uint32_t stage) const {
    return returnCodes[pipe][stage];
  }
};

class RunEngine {
 public:
  explicit RunEngine(CPipeSet& set);
  RunEngine(const RunEngine&) = delete;
  RunEngine& operator=(const RunEngine&) = delete;

  void SetEntry(std::uint32_t pipe, std::uint32_t stage, StageEntry entry);
  // Called after every ready event and before any start event: the place
  // for the driver's checks of the declared stream limits. It may set
  // abortRun, which makes every stage return 3 without running.
  void SetStartCheck(std::function<void(CPipeSet&)> check) { startCheck_ = std::move(check); }
  // Each stage on a thread of its own, for stages that block in system
  // calls of their own; by default all share the calling thread.
  void SetThreadPerStage(bool on) { threadPerStage_ = on; }
  // Called once every stage has ended, before the stages' fibers go: after
  // it, nothing may stop the run from another thread.
  void SetEndCheck(std::function<void(CPipeSet&)> check) { endCheck_ = std::move(check); }
  // Where a stall's dump goes (a folder); the system's temporary folder by default.
  void SetDumpFolder(std::string folder) { dumpFolder_ = std::move(folder); }

  RunResult Run();

 private:
  void NameEvents();
  void FinishStage(CStage& stage);
  void ReportLaunchFailure(CStage& stage, int code);
  // The dump's path, or, when none could be written, what to say instead.
  std::string WriteStallDump();

  CPipeSet& set_;
  std::vector<std::vector<StageEntry>> entries_;
  std::function<void(CPipeSet&)> startCheck_;
  std::function<void(CPipeSet&)> endCheck_;
  bool threadPerStage_ = false;
  std::string dumpFolder_;
};

}  // namespace ductrine
