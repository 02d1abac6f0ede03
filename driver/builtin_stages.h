// The stages built into the pipe command: CONSOLE, LITERAL and "<". They are
// written on the same CProcess framework as any stage module and entered
// through BeginStageBody, exactly like a module's BeginStage, on the stage's
// own thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "stage/process.h"

namespace ductrine {

// Entry points, one per built-in type.
std::int32_t BeginConsoleStage(CStageCall* call);
std::int32_t BeginLiteralStage(CStageCall* call);
std::int32_t BeginReadFileStage(CStageCall* call);

// The entry point of a built-in type by its type name (CONSOLE, LITERAL,
// "<"); null for any other name.
StageEntry BuiltinStageEntry(std::string_view typeName);

// The process's standard streams as the CONSOLE stage sees them. Tests put
// their own in place; functions left empty mean the real streams.
struct StandardStreams {
  // Bytes read into the buffer, 0 at the end, -1 on an error (code set).
  std::function<long(char* buffer, std::size_t size)> read;
  // False on an error, with the error code set.
  std::function<bool(std::string_view bytes)> write;
  // Write every record as it comes (as for a terminal), not in large blocks.
  bool lineByLine = false;
};
void SetStandardStreamsForTesting(StandardStreams streams);

}  // namespace ductrine
