#include "messages/format.h"

#include <cstdio>
#include <cstring>

namespace ductrine {
namespace {

bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string FormatText(std::string_view format, const MessageArgs& values) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // flags, width, precision, length, conversion
    std::size_t j = i + 1;
    std::string directive = "%";
    while (j < format.size() && IsFlag(format[j])) directive += format[j++];
    while (j < format.size() && IsDigit(format[j])) directive += format[j++];
    if (j < format.size() && format[j] == '.') {
      directive += format[j++];
      while (j < format.size() && IsDigit(format[j])) directive += format[j++];
    }
    // Length modifiers are replaced by the widest kind below; "I64" is the
    // Windows spelling of a 64-bit length.
    if (format.substr(j, 3) == "I64") j += 3;
    while (j < format.size() && (format[j] == 'l' || format[j] == 'h' || format[j] == 'L')) ++j;
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    char conversion = format[j];
    const MessageArg* value = next < values.size() ? &values[next] : nullptr;
    ++next;
    char buffer[128];
    switch (conversion) {
      case 's': {
        std::string text;
        if (value && value->kind() == MessageArg::Kind::kText)
          text.assign(value->text().c_str());  // a C string ends at its first NUL
        else if (value)
          text = std::to_string(value->number());
        directive += 's';
        int size = std::snprintf(nullptr, 0, directive.c_str(), text.c_str());
        if (size > 0) {
          std::string piece(static_cast<std::size_t>(size) + 1, '\0');
          std::snprintf(piece.data(), piece.size(), directive.c_str(), text.c_str());
          piece.resize(static_cast<std::size_t>(size));
          out += piece;
        }
        break;
      }
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        long long number = value && value->kind() == MessageArg::Kind::kNumber ? value->number() : 0;
        directive += "ll";
        directive += conversion;
        std::snprintf(buffer, sizeof buffer, directive.c_str(), number);
        out += buffer;
        break;
      }
      case 'c': {
        int character = value && value->kind() == MessageArg::Kind::kNumber
                            ? static_cast<int>(value->number())
                            : (value && !value->text().empty() ? value->text()[0] : 0);
        directive += 'c';
        int size = std::snprintf(buffer, sizeof buffer, directive.c_str(), character);
        if (size > 0) out.append(buffer, static_cast<std::size_t>(size) < sizeof buffer ? static_cast<std::size_t>(size) : sizeof buffer - 1);
        break;
      }
      case 'f':
      case 'e':
      case 'g': {
        double number = value && value->kind() == MessageArg::Kind::kNumber
                            ? static_cast<double>(value->number())
                            : 0.0;
        directive += conversion;
        std::snprintf(buffer, sizeof buffer, directive.c_str(), number);
        out += buffer;
        break;
      }
      default:
        // Not a conversion this system uses: show it as written.
        out.append(format.substr(i, j - i + 1));
        --next;
        break;
    }
    i = j;
  }
  return out;
}

std::string DoublePercents(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string MaskControls(std::string_view text) {
  constexpr std::string_view kContinuation = "\n                    ";
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte == '\n' && text.substr(i, kContinuation.size()) == kContinuation) {
      i += kContinuation.size() - 1;
      continue;
    }
    if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) out[i] = '?';
  }
  return out;
}

}  // namespace ductrine
