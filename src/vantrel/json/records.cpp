// Table-driven record reading: a record's fields from a JSON object or array.
#include <cstring>
#include <string>

#include "vantrel/json/json.h"
#include "vantrel/support/check.h"

namespace vantrel::json {

namespace detail {
namespace {

constexpr std::size_t no_field = static_cast<std::size_t>(-1);

// Whether `name` is `key`: its size and first byte are compared before the rest, as most
// names of a record differ there already.
bool names(std::string_view name, std::string_view key) {
  if (name.size() != key.size()) return false;
  return key.empty() ||
         (name[0] == key[0] && std::memcmp(name.data() + 1, key.data() + 1, key.size() - 1) == 0);
}

std::size_t find_field(const RecordInfo& info, std::string_view key) {
  for (std::size_t i = 0; i < info.count; ++i) {
    const ErasedField& f = info.field_at(info.fields, i);
    if (names(f.key, key) || (!f.alias.empty() && names(f.alias, key))) return i;
  }
  return no_field;
}

// Whether `rest` starts with `name`, which its closing quote follows.
bool starts_with_name(std::string_view rest, std::string_view name) {
  const std::size_t n = name.size();
  return n != 0 && n < rest.size() && rest[n] == '"' && rest[0] == name[0] &&
         std::memcmp(rest.data() + 1, name.data() + 1, n - 1) == 0;
}

// The field whose name or alias `rest` (a key's bytes after its opening quote) starts with, as
// written: field names are plain, so such a key needs no scan. Sets `length` to the name's.
std::size_t find_written_field(const RecordInfo& info, std::string_view rest, std::size_t& length) {
  for (std::size_t i = 0; i < info.count; ++i) {
    const ErasedField& f = info.field_at(info.fields, i);
    if (starts_with_name(rest, f.key)) return length = f.key.size(), i;
    if (starts_with_name(rest, f.alias)) return length = f.alias.size(), i;
  }
  return length = 0, no_field;
}

void read_object(Reader& r, const RecordInfo& info, void* out) {
  std::uint64_t seen = 0;
  std::size_t written = no_field;
  auto written_as = [&](std::string_view rest) {
    std::size_t length;
    written = find_written_field(info, rest, length);
    return length;
  };
  for (std::string_view key; r.next_key(key, written_as);) {
    // A key written otherwise (escaped, or unknown) is found by its contents.
    std::size_t i = written != no_field ? written : find_field(info, key);
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
