// The driver's side of a run: given a built pipeline set and an entry point
// per stage, it names and holds every event of the run, starts one thread
// per stage, performs the start barrier, and when a stage ends severs its
// streams and wakes its partners. The pipe command and the tests use it.
//
// Run is called on one thread; it returns when every stage has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "runtime/pipe_set.h"
#include "stage/process.h"

namespace ductrine {

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

  RunResult Run();

 private:
  void NameEvents();
  void FinishStage(CStage& stage);

  CPipeSet& set_;
  std::vector<std::vector<StageEntry>> entries_;
  std::function<void(CPipeSet&)> startCheck_;
};

}  // namespace ductrine
