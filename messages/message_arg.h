// One value for a numbered message. Messages are issued with a list of these
// instead of C varargs: each value carries its own type, so a file name or a
// record full of "%" conversions is only ever data, never a format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ductrine {

class MessageArg {
 public:
  enum class Kind { kText, kNumber };

  MessageArg(const char* text) : kind_(Kind::kText), text_(text ? text : "") {}
  MessageArg(std::string_view text) : kind_(Kind::kText), text_(text) {}
  MessageArg(const std::string& text) : kind_(Kind::kText), text_(text) {}
  MessageArg(char c) : kind_(Kind::kNumber), number_(static_cast<unsigned char>(c)) {}
  MessageArg(int v) : kind_(Kind::kNumber), number_(v) {}
  MessageArg(long v) : kind_(Kind::kNumber), number_(v) {}
  MessageArg(long long v) : kind_(Kind::kNumber), number_(v) {}
  MessageArg(unsigned v) : kind_(Kind::kNumber), number_(v) {}
  MessageArg(unsigned long v) : kind_(Kind::kNumber), number_(static_cast<long long>(v)) {}

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  long long number() const { return number_; }

 private:
  Kind kind_;
  std::string text_;
  long long number_ = 0;
};

using MessageArgs = std::vector<MessageArg>;

}  // namespace ductrine
