// The value readers of json::read and the lenient rules.
#include <charconv>
#include <limits>
#include <utility>

#include "vantrel/json/json.h"
#include "vantrel/json/number_helpers.h"
#include "vantrel/json/utf8.h"

namespace vantrel::json {
namespace {

using internal::found_number;
using internal::i64_max;
using internal::is_cont;
using internal::is_digit;
using internal::number_text;

// Decodes the code point that starts at `i`, for white-space trimming; 0xFFFFFFFF when invalid.
std::uint32_t code_point_at(std::string_view s, std::size_t i, std::size_t& length) {
  auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
  if (i + n > s.size() || !is_valid_utf8(s.substr(i, n))) {
    length = 1;
    return 0xffffffffu;
  }
  length = n;
  if (n == 1) return c;
  std::uint32_t cp = c & (0x7f >> n);
  for (std::size_t k = 1; k < n; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
  return cp;
}

bool is_unicode_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0d) || cp == 0x20 || cp == 0x85 || cp == 0xa0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200a) || cp == 0x2028 || cp == 0x2029 || cp == 0x202f ||
         cp == 0x205f || cp == 0x3000;
}

// The lenient reading of a text as a double: the float text rule after trimming, else 0.0.
double parse_lenient_float(std::string_view text) {
  return parse_float_text(trim_unicode_space(text)).value_or(0.0);
}

// The lenient reading of a text as a signed 64-bit decimal; 0 when it does not parse.
std::int64_t parse_lenient_integer(std::string_view text) {
  std::string_view s = trim_unicode_space(text);
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s[0] == '-') return 0;
  }
  if (s.empty() || !is_digit(s.back())) return 0;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return 0;
  return value;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
  std::size_t begin = 0, length = 0;
  while (begin < text.size() && is_unicode_space(code_point_at(text, begin, length)))
    begin += length;
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && is_cont(static_cast<unsigned char>(text[start]))) --start;
    if (!is_unicode_space(code_point_at(text, start, length)) || start + length != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

// ---- Value readers ----------------------------------------------------------------------------

void read(Reader& r, std::string& out) { r.read_string(out); }
void read(Reader& r, bool& out) { out = r.read_bool(); }

// Integers of a type T: in range, or an invalid value naming the integer and `expected`; a
// number with a fraction or an exponent is an invalid type.
template <class T>
void read_integer_of(Reader& r, T& out, std::string_view expected) {
  auto n = r.read_integer(expected);
  if (!n) return;
  using limits = std::numeric_limits<T>;
  if (n->type == Reader::Number::F64)
    r.fail("invalid type: " + found_float(n->f) + ", expected " + std::string(expected));
  else if (n->type == Reader::Number::I64 && std::cmp_greater_equal(n->i, limits::min()))
    out = static_cast<T>(n->i);
  else if (n->type == Reader::Number::U64 && std::cmp_less_equal(n->u, limits::max()))
    out = static_cast<T>(n->u);
  else
    r.fail_invalid_value(found_number(*n), expected);
}

void read(Reader& r, std::int64_t& out) { read_integer_of(r, out, "i64"); }
void read(Reader& r, std::int32_t& out) { read_integer_of(r, out, "i32"); }
void read(Reader& r, std::uint64_t& out) { read_integer_of(r, out, "u64"); }
void read(Reader& r, std::uint8_t& out) { read_integer_of(r, out, "u8"); }

void read(Reader& r, double& out) {
  auto n = r.read_number("f64");
  if (!n) return;
  switch (n->type) {
    case Reader::Number::U64: out = static_cast<double>(n->u); break;
    case Reader::Number::I64: out = static_cast<double>(n->i); break;
    case Reader::Number::F64: out = n->f; break;
    case Reader::Number::BigInteger: break;  // only read_integer gives one
  }
}

void read(Reader& r, Raw& out) { out = r.raw(); }

void raw_copy(Reader& r, std::optional<std::string>& out) {
  if (r.read_null()) {
    out.reset();
    return;
  }
  Raw raw = r.raw();
  if (r.ok()) out.emplace(raw.text);
}

// ---- Lenient rules ----------------------------------------------------------------------------

void lenient_text(Reader& r, std::optional<std::string>& out) {
  out.reset();
  auto kind = r.peek();
  if (!kind) return;
  switch (*kind) {
    case Reader::Kind::Null: r.read_null(); break;
    case Reader::Kind::Bool: r.read_bool(); break;
    case Reader::Kind::Number:
      if (auto n = r.read_number("")) out = number_text(*n);
      break;
    case Reader::Kind::String: out.emplace(r.read_string()); break;
    case Reader::Kind::Array:
    case Reader::Kind::Object: r.check_value(); break;
  }
  if (r.failed()) out.reset();
}

void lenient_text_or_empty(Reader& r, std::string& out) {
  std::optional<std::string> text;
  lenient_text(r, text);
  out = text ? std::move(*text) : std::string();
}

void lenient_bool(Reader& r, bool& out) {
  out = false;
  auto kind = r.peek();
  if (!kind) return;
  switch (*kind) {
    case Reader::Kind::Bool: out = r.read_bool(); break;
    case Reader::Kind::Number:
      if (auto n = r.read_number("")) {
        out = n->type == Reader::Number::I64 ? n->i != 0
              : n->type == Reader::Number::U64
                  ? n->u != 0 && n->u <= static_cast<std::uint64_t>(i64_max)
                  : false;
      }
      break;
    case Reader::Kind::String: {
      std::string_view s = trim_unicode_space(r.read_string());
      out = s == "1" || s == "true";
      break;
    }
    default: r.check_value(); break;
  }
  if (r.failed()) out = false;
}

void lenient_float(Reader& r, double& out) {
  out = 0.0;
  auto kind = r.peek();
  if (!kind) return;
  if (*kind == Reader::Kind::Number) {
    read(r, out);
  } else if (*kind == Reader::Kind::String) {
    out = parse_lenient_float(r.read_string());
  } else {
    r.check_value();
  }
  if (r.failed()) out = 0.0;
}

void lenient_integer(Reader& r, std::int64_t& out) {
  out = 0;
  auto kind = r.peek();
  if (!kind) return;
  if (*kind == Reader::Kind::Number) {
    if (auto n = r.read_number("")) {
      if (n->type == Reader::Number::I64) out = n->i;
      if (n->type == Reader::Number::U64 && n->u <= static_cast<std::uint64_t>(i64_max))
        out = static_cast<std::int64_t>(n->u);
    }
  } else if (*kind == Reader::Kind::String) {
    out = parse_lenient_integer(r.read_string());
  } else {
    r.check_value();
  }
  if (r.failed()) out = 0;
}

}  // namespace vantrel::json
