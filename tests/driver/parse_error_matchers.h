// Comparing a refused input with the message number and values a test expects.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "driver/pipeline_parser.h"

namespace ductrine::testing {

inline std::string Describe(const MessageArg& arg) {
  if (arg.kind() == MessageArg::Kind::kText) return "'" + arg.text() + "'";
  return "#" + std::to_string(arg.number());
}

inline std::string Describe(std::uint32_t number, const MessageArgs& args) {
  std::string text = std::to_string(number) + " {";
  for (std::size_t i = 0; i < args.size(); ++i) text += (i ? ", " : "") + Describe(args[i]);
  return text + "}";
}

// Number, kinds and values must all agree: a number where text is expected
// is a different message.
inline ::testing::AssertionResult SameError(const ParseError& actual, std::uint32_t number,
                                            const MessageArgs& args) {
  std::string want = Describe(number, args);
  std::string got = Describe(actual.number, actual.args);
  if (want == got) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << want << "\n     got " << got;
}

}  // namespace ductrine::testing
