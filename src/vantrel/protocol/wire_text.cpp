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

void read_json(json::Reader& r, WireText& out) { out.source = r.read_string_source(out.escaped); }

Text text_in(const Text& line, std::string_view within, const RunStore& store) {
  if (within.empty()) return {};
  if (!lies_within(within, line)) return store.keep(within);
  return line.part(within);
}

Text kept_text(const WireText& text, const Text& line, const RunStore& store) {
  if (!text.escaped) return text_in(line, text.source, store);
  std::string scratch;
  return store.keep(json::string_contents(text.source, text.escaped, scratch));
}

}  // namespace vantrel
