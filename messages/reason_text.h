// The system's description of an operating-system error code, for the
// "Reason: %s" part of messages. Never empty, never cut into nothing.
#pragma once

#include <string>

namespace ductrine {

void GetReasonText(int code, std::string& text);

}  // namespace ductrine
