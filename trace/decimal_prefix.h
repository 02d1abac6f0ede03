// Decimal prefix conversion shared by the TRACE segment reader and the Run
// command: leading white space, an optional sign, decimal digits; the
// conversion stops at the first other character. Unlike atoi it never has
// undefined behaviour on overflow: it reports it and clamps the value.
// Pure; any thread may call it.
#pragma once

#include <cstdint>
#include <string_view>

namespace ductrine {

struct DecimalPrefix {
  // The converted value; INT32_MAX or INT32_MIN when `overflow` is set.
  std::int32_t value = 0;
  // The digits denote a number outside the signed 32-bit range.
  bool overflow = false;
};

// Converts the decimal prefix of `text`. Text without digits after the
// optional sign (including empty text) gives 0. Reads nothing beyond `text`.
DecimalPrefix ParseDecimalPrefix(std::string_view text);

// Blank, tab, line feed, vertical tab, form feed, carriage return: the white
// space of the trace console and of the segment fields.
bool IsTraceWhiteSpace(char c);

}  // namespace ductrine
