// What both flavours of the platform keep alike: the test hooks of the
// console and the clock, read by each flavour's own console and clock code.
// Private to platform/.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace ductrine::platform {

// The identity a test forces, or a negative value when none is forced.
long ForcedConsoleIdentity();
// True when a test asked that a forced identity's objects reach other processes.
bool ForcedIdentityShared();
// The clock a test fixed, or a negative value when the real one runs.
std::int64_t FixedClock();
// The open-file limit a test set, or 0 when the real one counts.
long ForcedOpenFileLimit();
// Runs the reopen hook a test set, if any.
void RunReopenHook();
// Hands `bytes` to a test's console sink; false when none is set.
bool WriteToConsoleSink(std::string_view bytes);
// A test's console input; empty when none is set.
ConsoleInput TestConsoleInput();
// True when a test has pointed console output or input elsewhere.
bool ConsoleRedirected();
// The module state of the calling thread, set as a fiber comes onto it.
void SetCurrentModule(const void* module);

}  // namespace ductrine::platform
