// From a parsed pipeline to a pipeline set ready for the run engine, and the
// driver's judgement of a run: the checks of the stream limits that stages
// declare in their setup, and the exit status. Called on the driver's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "driver/pipeline_parser.h"
#include "engine/run_engine.h"
#include "runtime/pipe_set.h"

namespace ductrine {

// Fills the empty `set` from `parsed`: every stage type of the driver (the
// command name first), pipes with the pipeline's NAME, stages with their
// canonical type names, operands and selections, the connections with
// their stream numbers, the record limit, the source lines, and the trace
// source `text`. With the TRACE option every stage is marked traced; the
// caller switches tracing on once the TRACE segment exists.
// Refused: a label reference that connects a stage to itself (1011), since
// a stage waiting for its own record would wait for ever.
std::optional<ParseError> BuildPipeSet(const ParsedPipeline& parsed, std::string_view text,
                                       std::uint32_t recordLimit, CPipeSet& set);

// The checks made after every stage's setup and before any start: the
// primary input stream of a stage that requires one (1024), input and
// output streams beyond a stage's declared limits (1025, 1027). Issues a
// message for every fault found and sets abortRun; false when it found any.
// A run already aborted by a failed setup is not checked.
bool CheckDeclaredLimits(CPipeSet& set);

// The exit status of the pipe command after a run: 0 when every stage
// returned 0 and the highest return code is 0; otherwise the highest return
// code, or when that is 0 the largest stage return code; a value outside 1
// to 255 becomes 255, so a failure never exits 0.
int ExitStatus(const RunResult& result);

// The exit status when the command stopped before a run: the highest return
// code its messages raised, where 0 and values above 255 become 255.
int FailureExitStatus(std::uint32_t highestReturnCode);

}  // namespace ductrine
