// A string field of an agent line, read without a copy when it needs no unescaping.
#pragma once

#include <string>
#include <string_view>

#include "vantrel/json/json.h"
#include "vantrel/support/arena.h"
#include "vantrel/support/text.h"

namespace vantrel {

// As read from a line: a view into the line being read when the string has no escapes, else
// its decoded text (a JSON string, "a string" in type failures).
struct WireText {
  std::string_view in_line;
  std::string decoded;
  bool escaped = false;
  bool empty() const { return !escaped && in_line.empty(); }
};

void read_json(json::Reader& r, WireText& out);

// `within` as a part of `line` when it lies there, else as a copy kept in `store`.
Text text_in(const Text& line, std::string_view within, const RunStore& store);

// The text as a record keeps it: a part of the kept `line` (which the text was read from), or
// the decoded text kept in `store`.
Text kept_text(const WireText& text, const Text& line, const RunStore& store);

}  // namespace vantrel
