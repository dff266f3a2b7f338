// The strict single-pass JSON pull reader: syntax, strings, numbers, skipping and raw values.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vantrel/json/json.h"
#include "vantrel/json/number_helpers.h"
#include "vantrel/json/utf8.h"
#include "vantrel/support/check.h"

namespace vantrel::json {
namespace {

using internal::decimal_to_double;
using internal::found_number;
using internal::i64_max;
using internal::is_digit;

constexpr std::array<std::string_view, static_cast<std::size_t>(ErrorCode::Custom)> descriptions = {
    "EOF while parsing a value",
    "EOF while parsing an object",
    "EOF while parsing a list",
    "EOF while parsing a string",
    "expected `:`",
    "expected `,` or `}`",
    "expected `,` or `]`",
    "expected value",
    "expected ident",
    "invalid number",
    "number out of range",
    "invalid escape",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "trailing comma",
    "trailing characters",
    "recursion limit exceeded",
    "invalid unicode code point",
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr std::uint64_t ones = 0x0101010101010101ull;
constexpr std::uint64_t highs = 0x8080808080808080ull;
std::uint64_t zero_bytes(std::uint64_t w) { return (w - ones) & ~w & highs; }

// Length of the leading run of bytes that need no attention inside a string: no quote, no
// backslash, no control character. Reads 16 bytes at a time where SSE2 is at hand, else 8;
// `high` becomes non-zero when the run holds a byte above 0x7f.
std::size_t plain_run(const char* p, std::size_t n, std::uint64_t& high) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1f);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // Unsigned v <= 0x1f exactly where min(v, 0x1f) == v.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v);
    const __m128i stop =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control);
    const auto stops = static_cast<unsigned>(_mm_movemask_epi8(stop));
    const auto highs_here = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (stops != 0) {
      const unsigned before = (stops & (0u - stops)) - 1;  // the bytes before the first stop
      high |= highs_here & before;
      return i + static_cast<std::size_t>(__builtin_ctz(stops));
    }
    high |= highs_here;
  }
#endif
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    std::uint64_t stop = zero_bytes(w ^ (ones * '"')) | zero_bytes(w ^ (ones * '\\')) |
                         ((w - ones * 0x20) & ~w & highs);
    if (stop) break;
    high |= w & highs;
  }
  for (; i < n; ++i) {
    auto c = static_cast<unsigned char>(p[i]);
    if (c == '"' || c == '\\' || c < 0x20) break;
    high |= c & 0x80;
  }
  return i;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a decimal number that a double cannot hold is too large (rather than too small):

}  // namespace

std::string_view error_description(ErrorCode code) {
  check(code != ErrorCode::Custom, "json: custom errors have no fixed description");
  return descriptions[static_cast<std::size_t>(code)];
}

std::string Error::text() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ---- Failures -------------------------------------------------------------------------------

// The position of `index` is that of the byte before it: lines from 1, columns from 1 counting
// bytes, so index 0 of a line (nothing consumed on it) is column 0.
void Reader::fail_text(ErrorCode code, std::string description, std::size_t index) {
  if (failed_) return;
  failed_ = true;
  error_.code = code;
  error_.description = std::move(description);
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < index; ++i)
    if (text_[i] == '\n') ++line, line_start = i + 1;
  error_.line = line;
  error_.column = index - line_start;
}

void Reader::fail_code(ErrorCode code, std::size_t index) {
  fail_text(code, std::string(error_description(code)), index);
}

// At the byte about to be read (or the last byte when none is left).
void Reader::fail_peek(ErrorCode code) { fail_code(code, std::min(pos_ + 1, text_.size())); }

void Reader::fail(std::string description) {
  fail_text(ErrorCode::Custom, std::move(description), pos_);
}

void Reader::fail_before_close(std::string description) {
  fail_text(ErrorCode::Custom, std::move(description), before_close_);
}

void Reader::fail_invalid_value(std::string_view found, std::string_view expected) {
  fail("invalid value: " + std::string(found) + ", expected " + std::string(expected));
}

void Reader::fail_invalid_type(std::string_view expected) {
  std::string found = found_text();
  if (failed_) return;
  fail("invalid type: " + found + ", expected " + std::string(expected));
}

// Consumes a scalar to word it ("integer `5`"); arrays and objects are named, not consumed.
std::string Reader::found_text() {
  int c = value_start();
  if (c < 0) return {};
  value_pending_ = false;
  switch (c) {
    case 'n': ++pos_; return ident("ull") ? "null" : "";
    case 't': ++pos_; return ident("rue") ? "boolean `true`" : "";
    case 'f': ++pos_; return ident("alse") ? "boolean `false`" : "";
    case '"': {
      ++pos_;
      std::string_view s;
      return scan_string(true, true, s) ? found_string(s) : "";
    }
    case '[': return "sequence";
    case '{': return "map";
    default:
      if (c == '-' || is_digit(static_cast<char>(c))) {
        Number n;
        return scan_number(true, &n, true) ? found_number(n) : "";
      }
      fail_peek(ErrorCode::ExpectedSomeValue);
      return {};
  }
}

// ---- Structure ------------------------------------------------------------------------------

void Reader::skip_whitespace() {
  while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
}

// Consumes the ":" owed after a key, then white space; the first byte of the value, unconsumed,
// or -1 after a failure.
int Reader::value_start() {
  if (failed_) return -1;
  if (colon_pending_) {
    colon_pending_ = false;
    skip_whitespace();
    if (pos_ == text_.size()) return fail_peek(ErrorCode::EofWhileParsingObject), -1;
    if (text_[pos_] != ':') return fail_peek(ErrorCode::ExpectedColon), -1;
    ++pos_;
  }
  skip_whitespace();
  if (pos_ == text_.size()) return fail_peek(ErrorCode::EofWhileParsingValue), -1;
  return static_cast<unsigned char>(text_[pos_]);
}

std::optional<Reader::Kind> Reader::peek() {
  int c = value_start();
  switch (c) {
    case -1: return std::nullopt;
    case 'n': return Kind::Null;
    case 't':
    case 'f': return Kind::Bool;
    case '"': return Kind::String;
    case '[': return Kind::Array;
    case '{': return Kind::Object;
    default:
      if (c == '-' || is_digit(static_cast<char>(c))) return Kind::Number;
      fail_peek(ErrorCode::ExpectedSomeValue);
      return std::nullopt;
  }
}

bool Reader::read_null() {
  if (value_start() != 'n') return false;
  value_pending_ = false;
  ++pos_;
  return ident("ull");
}

bool Reader::ident(std::string_view rest) {
  for (char expected : rest) {
    if (pos_ == text_.size()) return fail_here(ErrorCode::EofWhileParsingValue), false;
    if (text_[pos_++] != expected) return fail_here(ErrorCode::ExpectedSomeIdent), false;
  }
  return true;
}

bool Reader::open(char bracket) {
  if (value_start() != bracket) return false;
  if (depth_ == max_depth) return fail_peek(ErrorCode::RecursionLimitExceeded), false;
  value_pending_ = false;
  ++depth_;
  ++pos_;
  first_ = true;
  return true;
}

bool Reader::begin_array(std::string_view expected) {
  int c = value_start();
  if (c == '[') return open('[');
  if (c >= 0) fail_invalid_type(expected);
  return false;
}

bool Reader::begin_object(std::string_view expected) {
  int c = value_start();
  if (c == '{') return open('{');
  if (c >= 0) fail_invalid_type(expected);
  return false;
}

void Reader::skip_pending() {
  if (value_pending_) skip();
}

// Moves past the comma before the next member of the open array or object, onto that member.
// False at its closing bracket (which is consumed) or on a failure.
bool Reader::advance_to_member(char close, ErrorCode eof, ErrorCode eof_after_comma,
                               ErrorCode expected_comma) {
  skip_pending();
  if (failed_) return false;
  skip_whitespace();
  if (pos_ == text_.size()) return fail_peek(eof), false;
  char c = text_[pos_];
  if (c == close) {
    before_close_ = pos_++;
    --depth_;
    first_ = false;
    return false;
  }
  if (first_) {
    first_ = false;
    return true;
  }
  if (c != ',') return fail_peek(expected_comma), false;
  ++pos_;
  skip_whitespace();
  if (pos_ == text_.size()) return fail_peek(eof_after_comma), false;
  if (text_[pos_] == close) return fail_peek(ErrorCode::TrailingComma), false;
  return true;
}

bool Reader::next_element() {
  if (!advance_to_member(']', ErrorCode::EofWhileParsingList, ErrorCode::EofWhileParsingValue,
                         ErrorCode::ExpectedListCommaOrEnd))
    return false;
  value_pending_ = true;
  return true;
}

void Reader::end_array_early() {
  if (failed_) return;
  skip_whitespace();
  if (pos_ == text_.size()) return fail_peek(ErrorCode::EofWhileParsingList);
  char c = text_[pos_];
  if (c == ']') {
    ++pos_;
    --depth_;
    first_ = false;
    return;
  }
  if (c == ',') {
    ++pos_;
    skip_whitespace();
    if (pos_ < text_.size() && text_[pos_] == ']') return fail_peek(ErrorCode::TrailingComma);
  }
  fail_peek(ErrorCode::TrailingCharacters);
}

bool Reader::next_key(std::string_view& key) {
  if (!advance_to_member('}', ErrorCode::EofWhileParsingObject, ErrorCode::EofWhileParsingObject,
                         ErrorCode::ExpectedObjectCommaOrEnd))
    return false;
  if (text_[pos_] != '"') return fail_peek(ErrorCode::KeyMustBeAString), false;
  ++pos_;
  if (!scan_string(true, true, key)) return false;
  colon_pending_ = true;
  value_pending_ = true;
  return true;
}

bool Reader::finish() {
  if (failed_) return false;
  skip_whitespace();
  if (pos_ < text_.size()) fail_peek(ErrorCode::TrailingCharacters);
  return !failed_;
}

// ---- Strings --------------------------------------------------------------------------------

// Reads a string's body (the opening quote consumed) up to and including its closing quote.
// With `decode`, `out` receives the contents, escapes resolved (a view into the text when there
// are none). With `check_utf8`, the contents must be valid UTF-8.
bool Reader::scan_string(bool decode, bool check_utf8, std::string_view& out) {
  const std::size_t start = pos_;
  std::size_t segment = pos_;
  bool escaped = false;
  std::uint64_t high = 0;
  for (;;) {
    pos_ += plain_run(text_.data() + pos_, text_.size() - pos_, high);
    if (pos_ == text_.size()) return fail_here(ErrorCode::EofWhileParsingString), false;
    char c = text_[pos_];
    if (c == '"') break;
    if (c != '\\') {
      ++pos_;
      return fail_here(ErrorCode::ControlCharacterWhileParsingString), false;
    }
    if (decode) {
      if (!escaped) scratch_.clear();
      escaped = true;
      scratch_.append(text_.data() + segment, pos_ - segment);
    }
    ++pos_;
    if (!scan_escape(decode && check_utf8)) return false;
    segment = pos_;
  }
  // Escapes are ASCII, so checking the source bytes checks the decoded contents.
  const std::size_t end = pos_++;
  if (high) {
    saw_high_ = true;
    if (!check_utf8)
      unchecked_high_ = true;
    else if (!is_valid_utf8(text_.substr(start, end - start)))
      return fail_here(ErrorCode::InvalidUnicodeCodePoint), false;
  }
  if (decode) {
    if (escaped) {
      scratch_.append(text_.data() + segment, end - segment);
      out = scratch_;
    } else {
      out = text_.substr(start, end - start);
    }
  }
  return true;
}

// One escape after its backslash; appends the decoded text to scratch_ when `decode`.
bool Reader::scan_escape(bool decode) {
  if (pos_ == text_.size()) return fail_here(ErrorCode::EofWhileParsingString), false;
  char c = text_[pos_++];
  char decoded;
  switch (c) {
    case '"': decoded = '"'; break;
    case '\\': decoded = '\\'; break;
    case '/': decoded = '/'; break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u': return scan_unicode_escape(decode);
    default: return fail_here(ErrorCode::InvalidEscape), false;
  }
  if (decode) scratch_ += decoded;
  return true;
}

// The four hex digits of a "\u" escape.
bool Reader::scan_hex4(std::uint32_t& value) {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    return fail_here(ErrorCode::EofWhileParsingString), false;
  }
  value = 0;
  bool valid = true;
  for (int k = 0; k < 4; ++k) {
    int digit = hex_value(text_[pos_ + k]);
    valid = valid && digit >= 0;
    value = value * 16 + static_cast<std::uint32_t>(digit < 0 ? 0 : digit);
  }
  pos_ += 4;
  if (!valid) return fail_here(ErrorCode::InvalidEscape), false;
  return true;
}

// "\uXXXX" after its "u". Decoded, a surrogate pair gives its one code point; a surrogate without
// its other half gives U+FFFD, as agents cut texts between the halves of a pair. Undecoded, each
// escape is checked on its own, which accepts exactly the same texts.
bool Reader::scan_unicode_escape(bool decode) {
  constexpr std::uint32_t replacement = 0xfffd;
  std::uint32_t unit = 0;
  if (!scan_hex4(unit)) return false;
  if (!decode) return true;
  for (;;) {
    if (unit < 0xd800 || unit > 0xdfff) return append_utf8(scratch_, unit), true;
    const bool low_may_follow =
        unit <= 0xdbff && text_.size() - pos_ >= 2 && text_[pos_] == '\\' && text_[pos_ + 1] == 'u';
    if (!low_may_follow) return append_utf8(scratch_, replacement), true;
    pos_ += 2;
    std::uint32_t next = 0;
    if (!scan_hex4(next)) return false;
    if (next >= 0xdc00 && next <= 0xdfff)
      return append_utf8(scratch_, 0x10000 + ((unit - 0xd800) << 10) + (next - 0xdc00)), true;
    append_utf8(scratch_, replacement);
    unit = next;  // the escape after a lone high surrogate is decoded as itself
  }
}

std::string_view Reader::read_string(std::string_view expected) {
  int c = value_start();
  if (c != '"') {
    if (c >= 0) fail_invalid_type(expected);
    return {};
  }
  value_pending_ = false;
  ++pos_;
  std::string_view out;
  scan_string(true, true, out);
  return out;
}

void Reader::read_string(std::string& out, std::string_view expected) {
  out = read_string(expected);
}

std::string_view Reader::read_string_source(bool& escaped, std::string_view expected) {
  escaped = false;
  int c = value_start();
  if (c != '"') {
    if (c >= 0) fail_invalid_type(expected);
    return {};
  }
  value_pending_ = false;
  const std::size_t start = ++pos_;
  std::string_view unused;
  if (!scan_string(false, true, unused)) return {};
  std::string_view source = text_.substr(start, pos_ - 1 - start);
  escaped = source.find('\\') != std::string_view::npos;
  return source;
}

std::string_view string_contents(std::string_view source, bool escaped, std::string& scratch) {
  if (!escaped) return source;
  scratch = unescape_string_source(source);
  return scratch;
}

std::string unescape_string_source(std::string_view source) {
  std::string quoted;
  quoted.reserve(source.size() + 2);
  quoted.append(1, '"').append(source).append(1, '"');
  Reader r(quoted);
  std::string out;
  r.read_string(out);
  return out;
}

bool Reader::read_bool(std::string_view expected) {
  int c = value_start();
  if (c != 't' && c != 'f') {
    if (c >= 0) fail_invalid_type(expected);
    return false;
  }
  value_pending_ = false;
  ++pos_;
  return c == 't' ? ident("rue") : (ident("alse"), false);
}

// ---- Numbers --------------------------------------------------------------------------------

// Reads one number by the JSON grammar. With `convert`, fills `out`: an integer (u64, or i64
// when negative) when it has no fraction or exponent and fits, else a double; a double beyond
// range fails with "number out of range". With `big_integers`, an integer that does not fit is
// kept as its digits instead.
bool Reader::scan_number(bool convert, Number* out, bool big_integers) {
  const std::size_t start = pos_;
  const bool negative = text_[pos_] == '-';
  if (negative) ++pos_;
  if (pos_ == text_.size()) return fail_here(ErrorCode::EofWhileParsingValue), false;
  char c = text_[pos_++];
  if (c == '0') {
    if (pos_ < text_.size() && is_digit(text_[pos_]))
      return fail_peek(ErrorCode::InvalidNumber), false;
  } else if (is_digit(c)) {
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  } else {
    return fail_here(ErrorCode::InvalidNumber), false;
  }
  const std::size_t integer_end = pos_;
  if (pos_ < text_.size() && text_[pos_] == '.') {
    ++pos_;
    if (pos_ == text_.size()) return fail_peek(ErrorCode::EofWhileParsingValue), false;
    if (!is_digit(text_[pos_])) return fail_peek(ErrorCode::InvalidNumber), false;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (pos_ == text_.size()) return fail_here(ErrorCode::EofWhileParsingValue), false;
    if (!is_digit(text_[pos_++])) return fail_here(ErrorCode::InvalidNumber), false;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  if (!convert) return true;
  if (pos_ == integer_end) {
    const char* first = text_.data() + start + (negative ? 1 : 0);
    std::uint64_t u = 0;
    auto [end, ec] = std::from_chars(first, text_.data() + integer_end, u);
    if (ec == std::errc()) {
      if (!negative) {
        *out = Number{Number::U64, u, 0, 0, {}};
        return true;
      }
      if (u <= static_cast<std::uint64_t>(i64_max) + 1) {
        *out = Number{Number::I64, 0, static_cast<std::int64_t>(0 - u), 0, {}};
        return true;
      }
    }
    if (big_integers) {
      *out = Number{Number::BigInteger, 0, 0, 0, text_.substr(start, pos_ - start)};
      return true;
    }
  }
  auto value = decimal_to_double(text_.substr(start, pos_ - start));
  if (!value) return fail_here(ErrorCode::NumberOutOfRange), false;
  *out = Number{Number::F64, 0, 0, *value, {}};
  return true;
}

std::optional<Reader::Number> Reader::read_number_as(std::string_view expected, bool big_integers) {
  int c = value_start();
  if (c != '-' && !(c >= 0 && is_digit(static_cast<char>(c)))) {
    if (c >= 0) fail_invalid_type(expected);
    return std::nullopt;
  }
  value_pending_ = false;
  Number n;
  if (!scan_number(true, &n, big_integers)) return std::nullopt;
  return n;
}

std::optional<Reader::Number> Reader::read_number(std::string_view expected) {
  return read_number_as(expected, false);
}

std::optional<Reader::Number> Reader::read_integer(std::string_view expected) {
  return read_number_as(expected, true);
}

// ---- Skipping and raw values ------------------------------------------------------------------

void Reader::skip() {
  if (value_start() < 0) return;
  value_pending_ = false;
  skip_value();
}

Raw Reader::raw() {
  if (value_start() < 0) return {};
  value_pending_ = false;
  const std::size_t start = pos_;
  saw_high_ = false;
  skip_value();
  if (failed_) return {};
  std::string_view slice = text_.substr(start, pos_ - start);
  if (saw_high_ && !is_valid_utf8(slice))
    return fail_here(ErrorCode::InvalidUnicodeCodePoint), Raw{};
  return Raw{slice};
}

// Outside its strings a value is ASCII, and its checked strings are valid UTF-8: so only the
// strings skipped unchecked can make its slice invalid.
Raw Reader::end_kept_raw(std::size_t start, bool outer_unchecked) {
  const bool unchecked = unchecked_high_;
  unchecked_high_ = outer_unchecked || unchecked;
  if (failed_) return {};
  std::string_view slice = text_.substr(start, pos_ - start);
  if (unchecked && !is_valid_utf8(slice))
    return fail_here(ErrorCode::InvalidUnicodeCodePoint), Raw{};
  return Raw{slice};
}

void Reader::check_value() {
  if (value_start() < 0) return;
  value_pending_ = false;
  skip_value(true);
}

namespace {

// The closing brackets of the containers a scanned value holds open, innermost last: one bit a
// level, the first 64 levels in place and deeper ones in words added as needed, so a scanned value
// may nest to any depth without recursion.
class Closers {
 public:
  bool empty() const { return size_ == 0; }
  char top() const { return (word(size_ - 1) >> ((size_ - 1) % 64) & 1) != 0 ? '}' : ']'; }
  void push(char closer) {
    if (size_ / 64 > deeper_.size()) deeper_.push_back(0);
    std::uint64_t& bits = size_ < 64 ? first_ : deeper_[size_ / 64 - 1];
    const std::uint64_t bit = std::uint64_t{1} << (size_ % 64);
    bits = closer == '}' ? bits | bit : bits & ~bit;
    ++size_;
  }
  void pop() { --size_; }

 private:
  std::uint64_t word(std::size_t level) const {
    return level < 64 ? first_ : deeper_[level / 64 - 1];
  }

  std::size_t size_ = 0;
  std::uint64_t first_ = 0;
  std::vector<std::uint64_t> deeper_;
};

}  // namespace

// Scans one value (at its first byte) without building anything; `whole` checks its strings and
// numbers as reading them would. Nothing is built, so its nesting has no limit.
void Reader::skip_value(bool whole) {
  Closers closers;
  auto eof_in = [&] {
    return closers.top() == ']' ? ErrorCode::EofWhileParsingList : ErrorCode::EofWhileParsingObject;
  };
  bool want_key = false;
  for (;;) {
    skip_whitespace();
    if (want_key) {
      want_key = false;
      if (pos_ == text_.size()) return fail_peek(ErrorCode::EofWhileParsingObject);
      if (text_[pos_] != '"') return fail_peek(ErrorCode::KeyMustBeAString);
      ++pos_;
      std::string_view ignored;
      if (!scan_string(whole, whole, ignored)) return;
      skip_whitespace();
      if (pos_ == text_.size()) return fail_peek(ErrorCode::EofWhileParsingObject);
      if (text_[pos_] != ':') return fail_peek(ErrorCode::ExpectedColon);
      ++pos_;
      skip_whitespace();
    }
    if (pos_ == text_.size()) return fail_peek(ErrorCode::EofWhileParsingValue);
    char c = text_[pos_];
    switch (c) {
      case 'n':
        ++pos_;
        if (!ident("ull")) return;
        break;
      case 't':
        ++pos_;
        if (!ident("rue")) return;
        break;
      case 'f':
        ++pos_;
        if (!ident("alse")) return;
        break;
      case '"': {
        ++pos_;
        std::string_view ignored;
        if (!scan_string(whole, whole, ignored)) return;
        break;
      }
      case '[':
      case '{': {
        char closer = c == '[' ? ']' : '}';
        closers.push(closer);
        ++pos_;
        skip_whitespace();
        if (pos_ == text_.size()) return fail_peek(eof_in());
        if (text_[pos_] == closer) {
          ++pos_;
          closers.pop();
          break;
        }
        want_key = closer == '}';
        continue;
      }
      default:
        if (c == '-' || is_digit(c)) {
          Number ignored;
          if (!scan_number(whole, &ignored)) return;
          break;
        }
        return fail_peek(ErrorCode::ExpectedSomeValue);
    }
    // After a value: close containers or move to the next member.
    for (;;) {
      if (closers.empty()) return;
      skip_whitespace();
      if (pos_ == text_.size()) return fail_peek(eof_in());
      char closer = closers.top();
      c = text_[pos_];
      if (c == closer) {
        ++pos_;
        closers.pop();
        continue;
      }
      if (c != ',')
        return fail_peek(closer == ']' ? ErrorCode::ExpectedListCommaOrEnd
                                       : ErrorCode::ExpectedObjectCommaOrEnd);
      ++pos_;
      skip_whitespace();
      if (pos_ < text_.size() && text_[pos_] == closer) return fail_peek(ErrorCode::TrailingComma);
      if (pos_ == text_.size() && closer == '}') return fail_peek(ErrorCode::EofWhileParsingObject);
      want_key = closer == '}';
      break;
    }
  }
}

}  // namespace vantrel::json
