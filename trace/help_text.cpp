#include "trace/help_text.h"

namespace ductrine {

std::string DoublePercentSigns(std::string_view text) {
  std::string doubled;
  doubled.reserve(text.size());
  for (char c : text) {
    doubled.push_back(c);
    if (c == '%') doubled.push_back('%');
  }
  return doubled;
}

namespace {

std::string Banner(std::string_view source) {
  std::string text = "Ductrine v";
  text.append(kTraceVersion).append(", tracing source: ").append(source);
  return text;
}

}  // namespace

std::string TraceHelpFormat(std::string_view traceSource) {
  return Banner(DoublePercentSigns(traceSource)) + kTraceUsageText;
}

std::string TraceHelpScreenText(std::string_view traceSource) {
  return Banner(traceSource) + kTraceUsageText + "\n";
}

std::vector<std::string> SourceListingFormats(const std::vector<std::string>& sourceLines) {
  std::vector<std::string> formats;
  formats.reserve(sourceLines.size() + 1);
  for (const std::string& line : sourceLines) formats.push_back("> " + DoublePercentSigns(line));
  formats.push_back("\n");
  return formats;
}

std::string SourceListingScreenText(const std::vector<std::string>& sourceLines) {
  std::string text;
  for (const std::string& line : sourceLines) text.append("> ").append(line).append("\n");
  text.append("\n\n");
  return text;
}

}  // namespace ductrine
