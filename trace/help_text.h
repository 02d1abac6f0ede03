// Texts of the trace console's HeLP and SouRCe commands.
//
// The console writes each through a header-less CApplMessage, whose Write
// takes a printf format and ends the line with one line feed. The *Format
// functions give what goes to Write, with every "%" of the user's text
// doubled so it prints once; the *ScreenText functions give what the user
// then sees, line feeds from Write included.
// Pure; any thread may call these.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ductrine {

// The version shown in the trace banner: the project version set once in
// CMakeLists.txt.
#ifndef DUCTRINE_VERSION
#error "DUCTRINE_VERSION is defined by the build (the project version)"
#endif
inline constexpr char kTraceVersion[] = DUCTRINE_VERSION;

// The usage text that follows the banner.
inline constexpr char kTraceUsageText[] =
    "\n\nUsage:\n\n"
    "  <enter>       - run the next input/output record request.\n"
    "  End           - stop tracing and quiesce the pipeline.\n"
    "  HeLP          - display this help list.\n"
    "  Off           - stop tracing and allow the pipeline to run to completion.\n"
    "  SouRCe        - display the source pipeline.\n"
    "  Run <count|*> - run <count> number or all of the next input/output record requests.\n";

// `text` with every "%" doubled, so a printf format made of it shows `text`.
std::string DoublePercentSigns(std::string_view text);

// Banner "Ductrine v2.0, tracing source: <source>" and the usage text, as
// the format for one Write.
std::string TraceHelpFormat(std::string_view traceSource);

// What the user sees for HeLP: banner, usage text, the line feed of Write.
std::string TraceHelpScreenText(std::string_view traceSource);

// The formats for the Writes of a source listing: "> " and the line for
// each entry, then "\n" (which with Write's line feed leaves an empty line).
std::vector<std::string> SourceListingFormats(const std::vector<std::string>& sourceLines);

// What the user sees for SouRCe.
std::string SourceListingScreenText(const std::vector<std::string>& sourceLines);

}  // namespace ductrine
