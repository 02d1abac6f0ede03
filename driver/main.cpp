// pipe: runs a pipeline of record-handling stages from the shell.
//   pipe [--record-limit N] [--threads] [--] PIPELINE...
//   pipe --help | --version | --list-stages

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "driver/pipe_command.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return ductrine::RunPipeCommand(args, std::getenv("DUCTRINE_MODULE_PATH"));
  } catch (const std::exception& error) {
    // Out of memory while building a huge pipeline, say: say so, fail.
    ductrine::platform::ConsoleWrite(std::string("pipe: ") + error.what() + "\n");
    return 255;
  }
}
