// Raising a named event without keeping a handle to it: the driver holds
// every event of a run for its whole length, so the set is never lost when
// the last handle here closes.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace ductrine {

inline void SignalEvent(std::string_view name) {
  platform::Handle event = platform::NamedEvent::OpenOrCreate(name, true, false);
  platform::NamedEvent::Set(event);
  platform::CloseObject(event);
}

}  // namespace ductrine
