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

// `text` as a message line shows it: every byte that a terminal acts on
// instead of showing it (below 0x20, 0x7F, and the C1 bytes 0x80-0x9F)
// becomes '?'. A line feed followed by 20 blanks stays: that is how a
// message continues on its next line, and it moves nothing but the cursor.
// Values taken from data (records, names, the pipeline text) pass through
// here before they reach the console, so a record cannot retitle the
// terminal, write its clipboard or clear its screen.
std::string MaskControls(std::string_view text);

}  // namespace ductrine
