// The pipe command from its arguments to its exit status: read the command
// line, parse the pipeline, build the pipeline set, find every stage's entry
// point (built in, or BeginStage of a loaded module), create the TRACE
// segment when the pipeline asks for tracing, run, and judge the run.
// Refusals are issued as numbered messages on the console device.
//
// Runs on the calling thread; one call per process, since a run leaves
// named objects and signal handlers behind that belong to the process.
#pragma once

#include <span>
#include <string>

namespace ductrine {

// `args` are the words after the program name. `modulePath` is the value
// of DUCTRINE_MODULE_PATH, or null when it is not set.
int RunPipeCommand(std::span<const std::string> args, const char* modulePath);

}  // namespace ductrine
