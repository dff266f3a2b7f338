// Tests of the claude "/usage" report parser.
#include "vantrel/account/claude_usage_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantrel {
namespace {

struct LineCase {
  std::string_view line;
  std::optional<ClaudeAccountUsageWindow> window;  // nullopt: the line is skipped
};

ClaudeAccountUsageWindow window(std::string label, double percent, std::string resets = "") {
  return {std::move(label), percent, std::move(resets)};
}

TEST(ParseClaudeUsage, ReadsOneWindowPerWindowLine) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const LineCase cases[] = {
      {"Alpha: 12% used", window("Alpha", 12)},
      {"Beta (all kinds): 41% used, resets Oct 9, 10:59 (UTC)",
       window("Beta (all kinds)", 41, "Oct 9, 10:59 (UTC)")},
      {"Gamma: resets Mon 9, 30% used", window("Gamma", 30, "Mon 9, 30% used")},
      {"Delta: 12 % used", window("Delta", 12)},
      {"Delta: 7 of 12% used", window("Delta", 12)},
      {"Delta: 12.5% used", window("Delta", 12.5)},
      {"Delta: 1e1% used", window("Delta", 10)},
      {"Delta: -3% used", window("Delta", -3)},
      {"Delta: +250% used", window("Delta", 250)},
      {"Delta: 5.% used", window("Delta", 5)},
      {"Delta: .5% used", window("Delta", 0.5)},
      {"Delta: -Infinity% used", window("Delta", -inf)},
      {"Delta: 1e400% used", window("Delta", inf)},
      {": 5% used", window("", 5)},
      {"Delta: 5% used, resets", window("Delta", 5)},
      {"Delta: 5% used, resets   ", window("Delta", 5)},
      {"A: 5% used: B: 7% used", window("A", 5)},
      // Unicode white space: no-break space, ideographic space, em space.
      {"\xC2\xA0"
       "Delta\xC2\xA0: 7\xE2\x80\x83"
       "12% used, resets \xE3\x80\x80"
       "soon\xE3\x80\x80",
       window("Delta", 12, "soon")},
      {"Delta: 12%used", std::nullopt},
      {"Delta: 12% Used", std::nullopt},
      {"Delta 12% used", std::nullopt},
      {"Delta: ~12% used", std::nullopt},
      {"50% used: today", std::nullopt},
      {"Delta: % used", std::nullopt},
      {"Delta: .% used", std::nullopt},
      {"Delta: 0x10% used", std::nullopt},
      {"Delta: 1e% used", std::nullopt},
      {"Delta: 12.5.3% used", std::nullopt},
      {"Delta: x% used, 5% used", std::nullopt},  // only the first "% used" counts
      {"", std::nullopt},
  };
  for (const LineCase& c : cases) {
    std::vector<ClaudeAccountUsageWindow> expected;
    if (c.window) expected.push_back(*c.window);
    EXPECT_EQ(parse_claude_usage(c.line), expected) << c.line;
  }
}

TEST(ParseClaudeUsage, KeepsNotANumber) {
  auto windows = parse_claude_usage("Delta: NaN% used\nEpsilon: -nan% used");
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_TRUE(std::isnan(windows[0].used_percent));
  EXPECT_TRUE(std::isnan(windows[1].used_percent));
  EXPECT_EQ(windows[1].label, "Epsilon");
}

TEST(ParseClaudeUsage, KeepsLineOrderAndSkipsOtherLines) {
  std::string_view report =
      "Usage report\n"
      "\n"
      "Session: 3% used, resets 5pm\n"
      "  weekly limits\n"
      "Week: 80.25% used, resets Oct 9\n"
      "Week: 1% used\n";
  std::vector<ClaudeAccountUsageWindow> expected = {
      window("Session", 3, "5pm"), window("Week", 80.25, "Oct 9"), window("Week", 1)};
  EXPECT_EQ(parse_claude_usage(report), expected);
  std::string crlf;
  for (char c : report) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(parse_claude_usage(crlf), expected);
  EXPECT_TRUE(parse_claude_usage("").empty());
  EXPECT_TRUE(parse_claude_usage("\n\n").empty());
}

TEST(ParseClaudeUsage, WalksTheLinesOneWindowAtATime) {
  ReportLines lines("heading\nA: 1% used\nnoise\nB: 2% used\ntrailer");
  EXPECT_EQ(parse_claude_usage_line(lines), window("A", 1));
  EXPECT_EQ(parse_claude_usage_line(lines), window("B", 2));
  EXPECT_EQ(parse_claude_usage_line(lines), std::nullopt);
  EXPECT_EQ(parse_claude_usage_line(lines), std::nullopt);
}

TEST(ReportLines, CutsAtNewlinesAndDropsACarriageReturnOnlyBeforeOne) {
  ReportLines lines("a\r\n\nb\rc\r\n\r");
  std::vector<std::string_view> seen;
  while (auto line = lines.next()) seen.push_back(*line);
  EXPECT_EQ(seen, (std::vector<std::string_view>{"a", "", "b\rc", "\r"}));

  ReportLines ends_with_newline("x\n");
  EXPECT_EQ(ends_with_newline.next(), "x");
  EXPECT_EQ(ends_with_newline.next(), std::nullopt);
}

}  // namespace
}  // namespace vantrel
