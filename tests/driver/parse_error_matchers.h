#pragma once

#include <string>

#include "driver/pipeline_parser.h"

namespace ductrine::testing {

// "number 'text' 7 ...": texts quoted, numbers bare, so a number given where
// the message wants a text reads as a different refusal.
inline std::string Describe(const ParseError& error) {
  std::string text = std::to_string(error.number);
  for (const MessageArg& arg : error.args)
    text += arg.kind() == MessageArg::Kind::kText ? " '" + arg.text() + "'" : " " + std::to_string(arg.number());
  return text;
}

}  // namespace ductrine::testing
