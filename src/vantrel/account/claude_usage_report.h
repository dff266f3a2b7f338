// The usage windows of the report that the claude agent prints for "/usage".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// One window line of the report: "LABEL: ... N% used ... resets WHEN".
struct ClaudeAccountUsageWindow {
  std::string label;        // the text before the line's first ":", trimmed
  double used_percent = 0;  // the number just before "% used", as written (not clamped)
  std::string resets_at;    // the text after "resets " to the end of the line, trimmed; or empty
  friend bool operator==(const ClaudeAccountUsageWindow&,
                         const ClaudeAccountUsageWindow&) = default;
};

// The lines of a report: cut at each "\n", a "\r" right before it dropped too; the text after
// the last "\n" is a last line unless it is empty.
class ReportLines {
 public:
  explicit ReportLines(std::string_view report) : rest_(report) {}
  // The next line; nullopt once the report is used up.
  std::optional<std::string_view> next();

 private:
  std::string_view rest_;
};

// The next window of `lines`, skipping the lines that are not window lines; nullopt at the end.
std::optional<ClaudeAccountUsageWindow> parse_claude_usage_line(ReportLines& lines);

// The windows of every window line of `report`, in line order. Other lines are skipped.
std::vector<ClaudeAccountUsageWindow> parse_claude_usage(std::string_view report);

}  // namespace vantrel
