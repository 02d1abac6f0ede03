#include "trace/help_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace ductrine {
namespace {

// What the console's Write makes of a format without arguments: printf's
// output and one line feed.
std::string WrittenBy(const std::string& format) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::snprintf(nullptr, 0, format.c_str());
  std::string text(static_cast<std::size_t>(n), '\0');
  std::snprintf(text.data(), text.size() + 1, format.c_str());
#pragma GCC diagnostic pop
  return text + "\n";
}

TEST(TraceHelp, BannerAndUsageExactly) {
  EXPECT_EQ(TraceHelpScreenText("PIPE < in.txt | >> out.txt"),
            "Ductrine v2.0, tracing source: PIPE < in.txt | >> out.txt\n"
            "\n"
            "Usage:\n"
            "\n"
            "  <enter>       - run the next input/output record request.\n"
            "  End           - stop tracing and quiesce the pipeline.\n"
            "  HeLP          - display this help list.\n"
            "  Off           - stop tracing and allow the pipeline to run to completion.\n"
            "  SouRCe        - display the source pipeline.\n"
            "  Run <count|*> - run <count> number or all of the next input/output record requests.\n"
            "\n");
}

TEST(TraceHelp, PercentInTheSourceIsShownOnce) {
  for (const char* source : {"cut 5%% off", "50% off"}) {
    std::string screen = TraceHelpScreenText(source);
    EXPECT_EQ(WrittenBy(TraceHelpFormat(source)), screen) << source;
    EXPECT_EQ(screen.rfind(std::string("Ductrine v2.0, tracing source: ") + source + "\n\nUsage:", 0), 0u)
        << source;
  }
}

TEST(TraceSourceListing, EachLineMarkedThenTwoLineFeeds) {
  std::vector<std::string> lines = {"PIPE < in.txt", "| 100%% sure", "| >> out.txt"};
  std::string screen = SourceListingScreenText(lines);
  EXPECT_EQ(screen, "> PIPE < in.txt\n> | 100%% sure\n> | >> out.txt\n\n\n");
  std::string written;
  for (const std::string& format : SourceListingFormats(lines)) written += WrittenBy(format);
  EXPECT_EQ(written, screen);

  EXPECT_EQ(SourceListingScreenText({}), "\n\n");
  EXPECT_EQ(SourceListingFormats({}), std::vector<std::string>{"\n"});
}

}  // namespace
}  // namespace ductrine
