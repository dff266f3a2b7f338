// A string field of an agent line, read without a copy when it needs no unescaping.
#include "vantrel/protocol/wire_text.h"

#include <functional>

namespace vantrel {
namespace {

bool lies_within(std::string_view part, std::string_view whole) {
  std::less_equal<const char*> at_most;
  return at_most(whole.data(), part.data()) &&
         at_most(part.data() + part.size(), whole.data() + whole.size());
}

}  // namespace

void read_json(json::Reader& r, WireText& out) {
  std::string_view read = r.read_string();
  out.escaped = !read.empty() && !lies_within(read, r.text());
  if (out.escaped) {
    out.decoded.assign(read);
    out.in_line = {};
  } else {
    out.decoded.clear();
    out.in_line = read;
  }
}

Text text_in(const Text& line, std::string_view within, const RunStore& store) {
  if (within.empty()) return {};
  if (!lies_within(within, line)) return store.keep(within);
  return line.part(within);
}

Text kept_text(const WireText& text, const Text& line, const RunStore& store) {
  if (text.escaped) return store.keep(text.decoded);
  return text_in(line, text.in_line, store);
}

}  // namespace vantrel
