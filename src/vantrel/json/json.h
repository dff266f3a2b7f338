// Strict single-pass JSON pull reader and table-driven typed record reading.
//
// Every decoder of agent output and of account replies is built on this one reader. It reads a
// text once, front to back, straight into typed values; it never builds a document tree.
//
// In brief
// --------
// * `Reader r(text)` reads one JSON text (a `std::string_view`; nothing is copied). Failures are
//   sticky values: the first one is kept in `r.error()` and every later operation does nothing,
//   so a decoder reads on and checks `r.ok()` once at the end. `Error::text()` is the failure text
//   "DESCRIPTION at line L column C" (lines from 1, columns count bytes from 1, column 0 for an
//   empty text).
// * `json::decode(text, out)` reads the whole text as one value of `out`'s type (starting from a
//   default `T{}`) and requires only white space after it ("trailing characters"); it returns the
//   error, or nullopt on success.
// * `json::read(r, x)` reads the value at the current position into `x`, choosing the rule by type:
//     std::string               a JSON string, escapes decoded (a lone surrogate    "a string"
//                               escape as U+FFFD)
//     bool                      true or false                                       "a boolean"
//     std::int64_t / int32_t    a JSON integer in range; 5.0 is an invalid type,
//                               9223372036854775808 an invalid value                "i64" / "i32"
//     std::uint64_t / uint8_t   a JSON integer in range                             "u64" / "u8"
//                               (an integer out of range, beyond 64 bits too, is an invalid value
//                               that names it: "invalid value: integer `N`, expected u8")
//     double                    any JSON number, integers converted                 "f64"
//     std::optional<T>          null is absent, anything else is read as T
//     std::vector<T>            a JSON array of T                                   "a sequence"
//     std::unordered_map<std::string, T>  a JSON object of T; a later key replaces  "a map"
//     json::Raw                 any value, kept as its exact source slice (a view into the text)
//     a record R                whatever `read_json(Reader&, R&)`, found by ADL, reads
//   A value of the wrong JSON type fails with "invalid type: FOUND, expected WORD" where FOUND is
//   "null", "boolean `true`", "integer `5`", "floating point `1.5`", "string \"x\"", "sequence"
//   or "map".
// * Lenient rules, for fields that should never fail on a wrong type: `lenient_text`,
//   `lenient_text_or_empty`, `lenient_bool`, `lenient_float`, `lenient_integer`. `raw_copy` keeps
//   a value's exact source text as an owned `std::optional<std::string>` (null is absent).
// * Writing: `json::Value` holds a JSON value built in code; `write_compact` gives its compact
//   text with object members in ascending byte order of their keys at every depth.
//
// Declaring a record
// ------------------
// A record is declared once, as a table of fields in declaration order (the order of its array
// form). A field has its key, an optional alias, and its reader: `json::member<&R::field>` reads
// with the type's rule above, `json::member<&R::field, rule>` with any function
// `void rule(json::Reader&, FieldType&)`. Defaults are the record's default member values: an
// absent key, or a missing trailing element of the array form, leaves the field as it was.
//
//     struct Window { double used_percent = 0; std::int64_t resets_at = 0; };
//
//     constexpr json::Field<Window> window_fields[] = {
//         {"used_percent", "usedPercent", json::member<&Window::used_percent,
//         json::lenient_float>},
//         {"resets_at", "resetsAt", json::member<&Window::resets_at, json::lenient_integer>},
//     };
//     constexpr json::Record<Window> window_record{"Window", window_fields};
//
//     // Lets json::read, std::optional<Window>, std::vector<Window>, maps of Window, and other
//     // records' tables read a Window.
//     void read_json(json::Reader& r, Window& out) { json::read_record(r, window_record, out); }
//
//     std::optional<json::Error> error = json::decode(text, window);  // whole text, one Window
//
// `read_record` reads a JSON object (keys compared byte for byte after unescaping, name or alias;
// a field met twice fails with "duplicate field `name`" naming the canonical key, checked before
// its value is read; other keys are skipped but must be well-formed) or a JSON array in
// declaration order (more elements than fields fail with "trailing characters", or "trailing
// comma"; `Record::min_elements` makes a short array fail with "invalid length N, expected
// struct X with K elements"). Any other value fails with "invalid type: FOUND, expected struct X".
//
// Pull reading, for the few decoders that need more than a table
// -------------------------------------------------------------
//     if (r.begin_array("a sequence"))           // anything else: invalid type, returns false
//       while (r.next_element()) json::read(r, item);
//     if (r.begin_object("a map"))
//       for (std::string_view key; r.next_key(key);) json::read(r, value);  // key unescaped
// A key or element whose value is not read is skipped (validated) by the next `next_key` /
// `next_element`. `r.peek()` tells the kind of the next value without consuming it; `r.skip()`
// validates and drops one value; `r.raw()` does the same and returns the value's source slice;
// `r.read_keeping_raw(f)` reads the value with `f` and returns its source slice too, in one pass.
// `r.fail(...)` records a decoder's own failure at the current position.
//
// Limits: at most 128 arrays and objects read open at once ("recursion limit exceeded" at the
// 129th); skipped and raw values are scanned, not built, and nest to any depth. Invalid UTF-8 in a
// key, a read string or a raw value fails with "invalid unicode code point"; strings inside
// skipped values are checked for syntax only.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "vantrel/support/result.h"

namespace vantrel::json {

// The reader's own syntax faults; `Custom` is every failure a value or record reader words itself.
enum class ErrorCode : std::uint8_t {
  EofWhileParsingValue,
  EofWhileParsingObject,
  EofWhileParsingList,
  EofWhileParsingString,
  ExpectedColon,
  ExpectedObjectCommaOrEnd,
  ExpectedListCommaOrEnd,
  ExpectedSomeValue,
  ExpectedSomeIdent,
  InvalidNumber,
  NumberOutOfRange,
  InvalidEscape,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  TrailingComma,
  TrailingCharacters,
  RecursionLimitExceeded,
  InvalidUnicodeCodePoint,
  Custom,
};

// The fixed description of a syntax fault ("EOF while parsing a value", "trailing comma", ...).
std::string_view error_description(ErrorCode code);

struct Error {
  ErrorCode code = ErrorCode::Custom;
  std::string description;
  std::size_t line = 0;
  std::size_t column = 0;

  // "DESCRIPTION at line L column C".
  std::string text() const;
  friend bool operator==(const Error&, const Error&) = default;
};

// A value's exact source text, from its first byte to its last: a view into the text being read.
struct Raw {
  std::string_view text;
  friend bool operator==(const Raw&, const Raw&) = default;
};

// At most this many arrays and objects may be open at once while they are read (not skipped).
inline constexpr std::size_t max_depth = 128;

class Reader {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

  explicit Reader(std::string_view text) noexcept : text_(text) {}

  bool ok() const { return !failed_; }
  bool failed() const { return failed_; }
  const Error& error() const { return error_; }
  std::string_view text() const { return text_; }

  // Requires only white space after the value read: else "trailing characters". Returns ok().
  bool finish();

  // The kind of the next value, not consumed; nullopt (and a failure) at the end of the text or
  // before a byte that starts no value.
  std::optional<Kind> peek();
  // Consumes a null and returns true when the next value is null.
  bool read_null();

  // Arrays and objects: see the header comment. `expected` words the invalid-type failure.
  bool begin_array(std::string_view expected);
  bool next_element();
  // After the elements a record wants: only "]" may follow ("trailing characters" otherwise, or
  // "trailing comma" for a comma right before it).
  void end_array_early();
  bool begin_object(std::string_view expected);
  // The next key, unescaped and checked; the view lasts until the next call.
  bool next_key(std::string_view& key);
  // As next_key, trying `written_as` first: given the bytes after the key's opening quote, it
  // returns the length of a plain name it knows (no quote, backslash or control character)
  // that they start with, or 0. A name that its closing quote follows is the key, taken
  // without a scan.
  template <class WrittenAs>
  bool next_key(std::string_view& key, WrittenAs&& written_as) {
    if (!key_start()) return false;
    const std::string_view rest = text_.substr(pos_ + 1);
    const std::size_t n = written_as(rest);
    if (n == 0 || n >= rest.size() || rest[n] != '"') return scan_key(key);
    key = rest.substr(0, n);
    pos_ += n + 2;
    colon_pending_ = true;
    value_pending_ = true;
    return true;
  }

  // Scalars. Each fails with the invalid-type text (naming `expected`) for another JSON type.
  bool read_bool(std::string_view expected = "a boolean");
  // A JSON string's contents, escapes decoded; a view into the text, or into scratch space that
  // lasts until the next string is read.
  std::string_view read_string(std::string_view expected = "a string");
  void read_string(std::string& out, std::string_view expected = "a string");
  // A JSON string's contents as written, escapes left in place but checked all the same, as
  // read_string checks them; `escaped` tells whether it holds any. A view into the text:
  // unescape_string_source gives the contents.
  std::string_view read_string_source(bool& escaped, std::string_view expected = "a string");

  // A parsed JSON number: an integer when it has no fraction or exponent and fits u64 (or i64
  // when negative), else a double (or, from read_integer, a BigInteger).
  struct Number {
    enum Type : std::uint8_t { U64, I64, F64, BigInteger } type = U64;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0;
    std::string_view digits;  // a BigInteger as written, "-" first when negative
  };
  std::optional<Number> read_number(std::string_view expected);
  // As read_number, for an integer type: an integer beyond 64 bits is a BigInteger, whatever its
  // size, so that it is named as the integer it is.
  std::optional<Number> read_integer(std::string_view expected);

  // Validates and drops one value / returns its exact source slice.
  void skip();
  Raw raw();
  // Reads the next value with `read_value` (which reads exactly that value) and returns its
  // exact source slice, so a value is read and kept raw in one pass. Fails wherever the read
  // fails, and also wherever `raw` would: invalid UTF-8 in a string the read only skipped.
  // Empty after a failure.
  template <class ReadValue>
  Raw read_keeping_raw(ReadValue&& read_value) {
    if (value_start() < 0) return {};
    const std::size_t start = pos_;
    const bool outer_unchecked = std::exchange(unchecked_high_, false);
    read_value();
    return end_kept_raw(start, outer_unchecked);
  }
  // Validates and drops one value as reading it whole would: its strings valid UTF-8 and its
  // numbers converted ("number out of range").
  void check_value();

  // Records a failure at the current position (the last byte consumed).
  void fail(std::string description);
  // Consumes the next value and fails with "invalid type: FOUND, expected EXPECTED".
  void fail_invalid_type(std::string_view expected);
  // Fails with "invalid value: FOUND, expected EXPECTED".
  void fail_invalid_value(std::string_view found, std::string_view expected);
  // Fails at the byte just before the "]" that ended the last array (for a short array).
  void fail_before_close(std::string description);

 private:
  int value_start();
  bool key_start();
  bool scan_key(std::string_view& key);
  void fail_code(ErrorCode code, std::size_t index);
  void fail_text(ErrorCode code, std::string description, std::size_t index);
  void fail_here(ErrorCode code) { fail_code(code, pos_); }
  void fail_peek(ErrorCode code);
  bool open(char bracket);
  void skip_whitespace();
  void skip_pending();
  bool advance_to_member(char close, ErrorCode eof, ErrorCode eof_after_comma,
                         ErrorCode expected_comma);
  bool ident(std::string_view rest);
  bool scan_string(bool decode, bool check_utf8, std::string_view& out, bool* escapes = nullptr);
  bool scan_escape(bool decode);
  bool scan_unicode_escape(bool decode);
  bool scan_hex4(std::uint32_t& value);
  bool scan_number(bool convert, Number* out, bool big_integers = false);
  std::optional<Number> read_number_as(std::string_view expected, bool big_integers);
  void skip_value(bool whole = false);
  Raw end_kept_raw(std::size_t start, bool outer_unchecked);
  std::string found_text();

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  std::size_t before_close_ = 0;
  bool failed_ = false;
  bool colon_pending_ = false;
  bool value_pending_ = false;
  bool first_ = false;
  bool saw_high_ = false;        // a byte above 0x7f was met in a string
  bool unchecked_high_ = false;  // ... in a string whose UTF-8 was not checked
  Error error_;
  std::string scratch_;
};

// ---- Found-value texts and float text --------------------------------------------------------

// The shortest digits that read back as `value`: plain between 1e-5 and 1e16 ("5.0", "0.25"),
// exponent form outside ("1e+16", "2.5e-7").
std::string float_text(double value);
std::string found_float(double value);             // "floating point `1.5`"
std::string found_string(std::string_view value);  // "string \"x\"", with escapes

// Unicode white space removed at both ends.
std::string_view trim_unicode_space(std::string_view text);

// ---- Value readers -----------------------------------------------------------------------------

void read(Reader& r, std::string& out);
void read(Reader& r, bool& out);
void read(Reader& r, std::int64_t& out);
void read(Reader& r, std::int32_t& out);
void read(Reader& r, std::uint64_t& out);
void read(Reader& r, std::uint8_t& out);
void read(Reader& r, double& out);
void read(Reader& r, Raw& out);

template <class T>
concept UserRecord = requires(Reader& r, T& t) {
  read_json(r, t);
};

template <UserRecord T>
void read(Reader& r, T& out) {
  read_json(r, out);
}

template <class T>
void read(Reader& r, std::optional<T>& out) {
  if (r.read_null()) {
    out.reset();
    return;
  }
  read(r, out.emplace());
}

template <class T>
void read(Reader& r, std::vector<T>& out) {
  out.clear();
  if (!r.begin_array("a sequence")) return;
  while (r.next_element()) read(r, out.emplace_back());
}

template <class T>
void read(Reader& r, std::unordered_map<std::string, T>& out) {
  out.clear();
  if (!r.begin_object("a map")) return;
  for (std::string_view key; r.next_key(key);) {
    std::string name(key);
    T value{};
    read(r, value);
    out.insert_or_assign(std::move(name), std::move(value));
  }
}

// The lenient rules: the value is read whole first, so a fault inside it still fails (bad syntax,
// invalid UTF-8, a number beyond a double); a wrong type never does.
void lenient_text(Reader& r, std::optional<std::string>& out);
void lenient_text_or_empty(Reader& r, std::string& out);
void lenient_bool(Reader& r, bool& out);
void lenient_float(Reader& r, double& out);
void lenient_integer(Reader& r, std::int64_t& out);

// The value's exact source text as an owned copy; null is absent.
void raw_copy(Reader& r, std::optional<std::string>& out);

// ---- Records -------------------------------------------------------------------------------

namespace detail {

using ErasedRead = void (*)(Reader&, void*);

template <class M>
struct member_traits;
template <class R, class T>
struct member_traits<T R::*> {
  using record = R;
  using type = T;
};

template <auto Member>
void read_member_default(Reader& r, void* record) {
  using Traits = member_traits<decltype(Member)>;
  read(r, static_cast<typename Traits::record*>(record)->*Member);
}

template <auto Member, auto Rule>
void read_member_with(Reader& r, void* record) {
  using Traits = member_traits<decltype(Member)>;
  Rule(r, static_cast<typename Traits::record*>(record)->*Member);
}

struct ErasedField {
  std::string_view key;
  std::string_view alias;
  ErasedRead read;
};

struct RecordInfo {
  std::string_view name;
  const void* fields;
  std::size_t count;
  std::size_t min_elements;
  const ErasedField& (*field_at)(const void* fields, std::size_t index);
};

void read_record(Reader& r, const RecordInfo& info, void* out);

}  // namespace detail

// The reader of one field of record R.
template <class R>
struct FieldReader {
  detail::ErasedRead read;
};

// `member<&R::x>` reads the field with its type's rule; `member<&R::x, rule>` with `rule`.
template <auto Member, auto Rule = nullptr>
inline constexpr FieldReader<typename detail::member_traits<decltype(Member)>::record> member{[] {
  if constexpr (std::is_null_pointer_v<decltype(Rule)>)
    return &detail::read_member_default<Member>;
  else
    return &detail::read_member_with<Member, Rule>;
}()};

template <class R>
struct Field : detail::ErasedField {
  constexpr Field(std::string_view key, FieldReader<R> reader)
      : detail::ErasedField{key, {}, reader.read} {}
  constexpr Field(std::string_view key, std::string_view alias, FieldReader<R> reader)
      : detail::ErasedField{key, alias, reader.read} {}
};

template <class R>
struct Record {
  std::string_view name;  // "Usage": the record names itself "struct Usage"
  std::span<const Field<R>> fields;
  std::size_t min_elements = 0;  // fewest elements of the array form
};

namespace detail {
template <class R>
const ErasedField& field_at(const void* fields, std::size_t index) {
  return static_cast<const Field<R>*>(fields)[index];
}
}  // namespace detail

template <class R>
void read_record(Reader& r, const Record<R>& record, R& out) {
  detail::RecordInfo info{record.name, record.fields.data(), record.fields.size(),
                          record.min_elements, &detail::field_at<R>};
  detail::read_record(r, info, &out);
}

// The contents of a string that read_string_source read (its escapes are known to be sound),
// its escapes decoded as read_string decodes them.
std::string unescape_string_source(std::string_view source);
// The same contents without a copy where none is needed: `source` itself when it holds no
// escapes, else its unescaped text, put into `scratch`.
std::string_view string_contents(std::string_view source, bool escaped, std::string& scratch);

// Reads the whole `text` as one value of T, starting from `T{}`: nullopt on success, else the
// error. `out` is unspecified after a failure.
template <class T>
std::optional<Error> decode(std::string_view text, T& out) {
  out = T{};
  Reader r(text);
  read(r, out);
  if (r.finish()) return std::nullopt;
  return r.error();
}

// ---- Writing -----------------------------------------------------------------------------------

struct Member;

// A JSON value built in code (the messages this system writes), not a parsed document.
struct Value {
  using Array = std::vector<Value>;
  using Object = std::vector<Member>;  // members in any order; written sorted by key
  std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, Array,
               Object>
      data;

  // Implicit, as the values they stand for. Defined below, once Member is complete: the
  // variant needs it.
  Value();
  Value(std::nullptr_t);  // NOLINT
  Value(bool b);          // NOLINT
  template <std::integral I>
  requires(!std::is_same_v<I, bool>) Value(I n);  // NOLINT
  Value(double f);                                // NOLINT
  Value(std::string s);                           // NOLINT
  Value(const char* s);                           // NOLINT
  Value(Array a);                                 // NOLINT
  Value(Object o);                                // NOLINT
  static Value object(Object members);
  static Value object();  // an empty object
};

struct Member {
  std::string key;
  Value value;
};

inline Value::Value() : data(nullptr) {}
inline Value::Value(std::nullptr_t) : data(nullptr) {}
inline Value::Value(bool b) : data(b) {}
template <std::integral I>
requires(!std::is_same_v<I, bool>) Value::Value(I n) {
  if constexpr (std::is_signed_v<I>)
    data = static_cast<std::int64_t>(n);
  else
    data = static_cast<std::uint64_t>(n);
}
inline Value::Value(double f) : data(f) {}
inline Value::Value(std::string s) : data(std::move(s)) {}
inline Value::Value(const char* s) : data(std::string(s)) {}
inline Value::Value(Array a) : data(std::move(a)) {}
inline Value::Value(Object o) : data(std::move(o)) {}
inline Value Value::object(Object members) { return Value(std::move(members)); }
inline Value Value::object() { return Value(Object{}); }

// The compact text of `value`: no white space between tokens, object members in ascending byte
// order of their keys, strings escaped as JSON requires (non-ASCII text is kept as is). Fails
// with the reason for a value JSON cannot hold: a string or key that is not valid UTF-8 ("invalid
// unicode code point"), a NaN or infinite number ("number is not finite"), or one key twice in an
// object ("duplicate key `k`").
Result<std::string, std::string> write_compact(const Value& value);

}  // namespace vantrel::json

// ---- Decimal float text -------------------------------------------------------------------------

namespace vantrel::json {

// `text`, whole, as a double: an optional sign, then digits with an optional point and fraction
// (digits on one side of the point suffice: "5." and ".5") and an optional exponent, or "inf",
// "infinity" or "nan" in any letter case. The nearest double; an infinity beyond the double
// range. nullopt for anything else (white space included). The lenient float rule trims and
// then reads a text with this.
std::optional<double> parse_float_text(std::string_view text);

}  // namespace vantrel::json
