// A string field of an agent line, read without a copy when it needs no unescaping.
#pragma once

#include <string>
#include <string_view>

#include "vantrel/json/json.h"
#include "vantrel/support/arena.h"
#include "vantrel/support/text.h"

namespace vantrel {

// As read from a line: the string's source, a view into the text being read, and whether it
// holds escapes (a JSON string, "a string" in type failures).
struct WireText {
  std::string_view source;
  bool escaped = false;
  bool empty() const { return source.empty(); }
  friend bool operator==(const WireText&, const WireText&) = default;
};

void read_json(json::Reader& r, WireText& out);

// `within` as a part of `line` when it lies there, else as a copy kept in `store`.
Text text_in(const Text& line, std::string_view within, const RunStore& store);

// The text as a record keeps it: a part of the kept `line` (which the text was read from), or
// its unescaped text kept in `store`.
Text kept_text(const WireText& text, const Text& line, const RunStore& store);

}  // namespace vantrel
