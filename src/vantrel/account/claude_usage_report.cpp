// The usage windows of the claude "/usage" report.
#include "vantrel/account/claude_usage_report.h"

#include "vantrel/json/json.h"

namespace vantrel {
namespace {

constexpr std::string_view used_mark = "% used";
constexpr std::string_view resets_mark = "resets ";

// The last piece of `text` split at Unicode white space; empty when there is none.
std::string_view last_piece(std::string_view text) {
  std::string_view t = json::trim_unicode_space(text);
  std::size_t start = 0;
  // A white-space run starts at `i` when trimming the text from `i` drops something at its
  // front (its end is trimmed already).
  for (std::size_t i = 0; i < t.size();) {
    std::size_t kept = json::trim_unicode_space(t.substr(i)).size();
    if (kept < t.size() - i) {
      i = t.size() - kept;
      start = i;
    } else {
      ++i;
    }
  }
  return t.substr(start);
}

std::optional<ClaudeAccountUsageWindow> parse_window(std::string_view line) {
  auto colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view label = line.substr(0, colon);
  std::string_view rest = line.substr(colon + 1);
  auto used = rest.find(used_mark);
  if (used == std::string_view::npos) return std::nullopt;
  std::string_view number = last_piece(rest.substr(0, used));
  if (number.empty()) return std::nullopt;
  std::optional<double> percent = json::parse_float_text(number);
  if (!percent) return std::nullopt;
  std::string_view resets_at;
  if (auto resets = rest.find(resets_mark); resets != std::string_view::npos)
    resets_at = json::trim_unicode_space(rest.substr(resets + resets_mark.size()));
  return ClaudeAccountUsageWindow{std::string(json::trim_unicode_space(label)), *percent,
                                  std::string(resets_at)};
}

}  // namespace

std::optional<std::string_view> ReportLines::next() {
  if (rest_.empty()) return std::nullopt;
  auto newline = rest_.find('\n');
  std::string_view line = rest_.substr(0, newline);
  if (newline == std::string_view::npos) {
    rest_ = {};
    return line;
  }
  rest_.remove_prefix(newline + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<ClaudeAccountUsageWindow> parse_claude_usage_line(ReportLines& lines) {
  while (auto line = lines.next())
    if (auto window = parse_window(*line)) return window;
  return std::nullopt;
}

std::vector<ClaudeAccountUsageWindow> parse_claude_usage(std::string_view report) {
  std::vector<ClaudeAccountUsageWindow> windows;
  ReportLines lines(report);
  while (auto window = parse_claude_usage_line(lines)) windows.push_back(std::move(*window));
  return windows;
}

}  // namespace vantrel
