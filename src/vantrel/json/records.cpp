// Table-driven record reading: a record's fields from a JSON object or array.
#include <string>

#include "vantrel/json/json.h"
#include "vantrel/support/check.h"

namespace vantrel::json {

namespace detail {
namespace {

constexpr std::size_t no_field = static_cast<std::size_t>(-1);

std::size_t find_field(const RecordInfo& info, std::string_view key) {
  for (std::size_t i = 0; i < info.count; ++i) {
    const ErasedField& f = info.field_at(info.fields, i);
    if (f.key == key || (!f.alias.empty() && f.alias == key)) return i;
  }
  return no_field;
}

void read_object(Reader& r, const RecordInfo& info, void* out) {
  std::uint64_t seen = 0;
  for (std::string_view key; r.next_key(key);) {
    std::size_t i = find_field(info, key);
    if (i == no_field) continue;  // skipped by next_key
    const ErasedField& f = info.field_at(info.fields, i);
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (seen & bit) return r.fail("duplicate field `" + std::string(f.key) + "`");
    seen |= bit;
    f.read(r, out);
  }
}

void read_array(Reader& r, const RecordInfo& info, void* out) {
  std::size_t i = 0;
  for (; i < info.count; ++i) {
    if (!r.next_element()) break;
    info.field_at(info.fields, i).read(r, out);
  }
  if (r.failed()) return;
  if (i == info.count) return r.end_array_early();
  if (i < info.min_elements)
    r.fail_before_close("invalid length " + std::to_string(i) + ", expected struct " +
                        std::string(info.name) + " with " + std::to_string(info.count) +
                        (info.count == 1 ? " element" : " elements"));
}

}  // namespace

void read_record(Reader& r, const RecordInfo& info, void* out) {
  check(info.count <= 64, "json: a record has at most 64 fields");
  auto kind = r.peek();
  if (!kind) return;
  if (*kind == Reader::Kind::Object) {
    r.begin_object({});
    read_object(r, info, out);
  } else if (*kind == Reader::Kind::Array) {
    r.begin_array({});
    read_array(r, info, out);
  } else {
    r.fail_invalid_type("struct " + std::string(info.name));
  }
}

}  // namespace detail

}  // namespace vantrel::json
