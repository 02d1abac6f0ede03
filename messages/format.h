// printf-style formatting of a message text from typed values. Each value is
// inserted as data: a "%" inside a file name or a record is never read as a
// conversion. Text values stop at their first NUL, as a C string would.
#pragma once

#include <string>
#include <string_view>

#include "messages/message_arg.h"

namespace ductrine {

std::string FormatText(std::string_view format, const MessageArgs& values);

// Every "%" doubled, for a text that will be used as a format.
std::string DoublePercents(std::string_view text);

}  // namespace ductrine
