// The fast path of codex line reading: one scan of the line with key dispatch on the fields each
// record knows. It takes only what it reads exactly as the JSON reader does and leaves everything
// else (other keys, keys with escapes, keys met twice, values of other types, the array form,
// any fault) to the reader, which stays the authority for every failure and its text.
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vantrel/json/json.h"
#include "vantrel/json/utf8.h"
#include "vantrel/protocol/codex_stream.h"

namespace vantrel::codex {
namespace {

// One comparison for the bytes above the space, which are all that compact JSON has here.
bool is_space(char c) {
  constexpr std::uint64_t spaces = (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r');
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' && ((spaces >> byte) & 1) != 0;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_delimiter(char c) {
  return c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}' || c == '"';
}
bool is_simple_escape(char c) {
  return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' ||
         c == 't';
}
// Whether `text` starts with `name`, compared inline: names are a few bytes long.
bool starts_with(std::string_view text, std::string_view name) {
  for (std::size_t k = 0; k < name.size(); ++k)
    if (text[k] != name[k]) return false;
  return true;
}
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A cursor over the line. Every step returns false for what it does not take.
class Scan {
 public:
  explicit Scan(std::string_view text) : text_(text) {}

  bool saw_high() const { return high_ != 0; }
  std::size_t pos() const { return pos_; }
  std::string_view since(std::size_t start) const { return text_.substr(start, pos_ - start); }

  void skip_space() {
    // Compact JSON has none: the first byte usually ends the run.
    if (pos_ < text_.size() && !is_space(text_[pos_])) [[likely]]
      return;
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }
  // The next byte after white space, not consumed; 0 at the end.
  char peek() {
    if (pos_ < text_.size() && !is_space(text_[pos_])) [[likely]]
      return text_[pos_];
    skip_space();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  bool take(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  bool at_end() {
    skip_space();
    return pos_ == text_.size();
  }

  // A string's source between its quotes, and whether it holds escapes; each escape is checked
  // as the reader checks one, and control characters are refused as it refuses them.
  bool string(std::string_view& source, bool& escaped) {
    if (!take('"')) return false;
    const std::size_t start = pos_;
    escaped = false;
    for (;;) {
      pos_ += plain_run(text_.data() + pos_, text_.size() - pos_);
      if (pos_ >= text_.size()) return false;
      const char c = text_[pos_];
      if (c == '"') break;
      if (c != '\\' || !escape()) return false;
      escaped = true;
    }
    source = text_.substr(start, pos_ - start);
    ++pos_;
    return true;
  }
  // The index of the key at hand among `names`, taken with the colon after it, or -1. A key
  // that reads as one of the names only through escapes is not taken: the names hold no quote
  // or backslash, so the key's source is the name itself when it is one. The names are tried
  // from `first` on, round: given in the order codex writes them, the key after a name is
  // mostly the next one.
  template <std::size_t N>
  int key(const std::string_view (&names)[N], std::size_t first) {
    if (peek() != '"') return -1;
    const std::string_view rest = text_.substr(pos_ + 1);
    for (std::size_t tried = 0, i = first; tried < N; ++tried, i = i + 1 == N ? 0 : i + 1) {
      const std::string_view name = names[i];
      // Most names differ from the key in their first byte or the byte after them already.
      if (rest.size() <= name.size() || rest[0] != name[0] || rest[name.size()] != '"' ||
          !starts_with(rest, name))
        continue;
      pos_ += name.size() + 2;
      return take(':') ? static_cast<int>(i) : -1;
    }
    return -1;
  }
  bool null() {
    if (peek() != 'n' || text_.substr(pos_, 4) != "null") return false;
    pos_ += 4;
    return true;
  }
  // An integer in the range of int32, written as JSON writes it (no fraction, no exponent).
  bool int32(std::int32_t& out) {
    skip_space();
    const std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    const std::size_t digits = pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_]) && pos_ - digits < 11) ++pos_;
    const std::size_t count = pos_ - digits;
    if (count == 0 || count > 10 || (count > 1 && text_[digits] == '0')) return false;
    if (pos_ < text_.size() &&
        (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E' || is_digit(text_[pos_])))
      return false;
    std::int64_t value = 0;
    for (std::size_t i = digits; i < pos_; ++i) value = value * 10 + (text_[i] - '0');
    if (digits != start) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
      return false;
    out = static_cast<std::int32_t>(value);
    return true;
  }
  // Passes over one value of any kind, strings scanned as above, brackets matched; its
  // contents are read again by the reader where they count.
  bool value_extent(std::string_view& out) {
    const std::size_t start = (skip_space(), pos_);
    std::size_t depth = 0;
    do {
      const char c = peek();
      if (c == '"') {
        std::string_view ignored;
        bool escaped;
        if (!string(ignored, escaped)) return false;
      } else if (c == '{' || c == '[') {
        ++depth;
        ++pos_;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return false;
        --depth;
        ++pos_;
      } else if (c == ',' || c == ':') {
        if (depth == 0) return false;
        ++pos_;
      } else if (c != '\0') {
        while (pos_ < text_.size() && !is_space(text_[pos_]) && !is_delimiter(text_[pos_])) ++pos_;
      } else {
        return false;
      }
    } while (depth != 0);
    out = since(start);
    return true;
  }

 private:
  // The run of bytes that need no attention inside a string, sixteen at a time where it can;
  // notes whether the blocks it read held a byte above 0x7f.
  std::size_t plain_run(const char* p, std::size_t n) {
    std::size_t i = 0;
    unsigned high = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1f);
    for (; i + 16 <= n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i stop =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                       _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v));
      high |= static_cast<unsigned>(_mm_movemask_epi8(v));
      if (const auto stops = static_cast<unsigned>(_mm_movemask_epi8(stop))) {
        high_ |= high;
        return i + static_cast<std::size_t>(__builtin_ctz(stops));
      }
    }
#endif
    for (; i < n; ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      high |= c & 0x80;
    }
    high_ |= high;
    return i;
  }
  // One escape at its backslash, as the reader accepts one: a simple escape or "\u" and four
  // hex digits.
  bool escape() {
    if (pos_ + 1 >= text_.size()) return false;
    const char c = text_[pos_ + 1];
    if (c == 'u') {
      if (pos_ + 6 > text_.size()) return false;
      for (std::size_t k = 2; k < 6; ++k)
        if (!is_hex(text_[pos_ + k])) return false;
      pos_ += 6;
      return true;
    }
    if (!is_simple_escape(c)) return false;
    pos_ += 2;
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  unsigned high_ = 0;
};

// The members of an object, each key's index among `names` handed to `member` (which reads its
// value); a key met twice, one not among the names, or one that `member` does not take, ends
// the scan.
template <std::size_t N, class Member>
bool members(Scan& s, const std::string_view (&names)[N], Member&& member) {
  static_assert(N <= 32);
  if (!s.take('{')) return false;
  if (s.take('}')) return true;
  std::uint32_t seen = 0;
  std::size_t next = 0;
  do {
    const int field = s.key(names, next);
    if (field < 0 || (seen & (1u << field)) || !member(field)) return false;
    seen |= 1u << field;
    next = static_cast<std::size_t>(field) + 1 == N ? 0 : static_cast<std::size_t>(field) + 1;
  } while (s.take(','));
  return s.take('}');
}

// A value that null leaves absent; anything else is read into `out` by `read`.
template <class T, class Read>
bool nullable(Scan& s, std::optional<T>& out, Read&& read) {
  if (s.null()) {
    out.reset();
    return true;
  }
  return read(out.emplace());
}

bool wire_text(Scan& s, WireText& out) { return s.string(out.source, out.escaped); }

// A value that the reader reads into `out`, read by it from the value's extent.
template <class T>
bool read_by_reader(Scan& s, T& out) {
  std::string_view extent;
  return s.value_extent(extent) && !json::decode(extent, out);
}

bool change(Scan& s, WireChange& out) {
  static constexpr std::string_view names[] = {"path", "kind"};
  return members(s, names,
                 [&](int i) { return i == 0 ? wire_text(s, out.path) : wire_text(s, out.kind); });
}

bool changes(Scan& s, std::vector<WireChange>& out) {
  if (!s.take('[')) return false;
  if (s.take(']')) return true;
  do {
    if (!change(s, out.emplace_back())) return false;
  } while (s.take(','));
  return s.take(']');
}

bool item(Scan& s, WireItem& out) {
  static constexpr std::string_view names[] = {
      "id",      "type",   "text",    "command", "aggregated_output", "exit_code",
      "changes", "status", "message", "tool",    "sender_thread_id"};
  return members(s, names, [&](int i) {
    bool read = false;
    switch (i) {
      case 0: read = wire_text(s, out.id); break;
      case 1: read = wire_text(s, out.type); break;
      case 2: read = wire_text(s, out.text); break;
      case 3: read = wire_text(s, out.command); break;
      case 4: read = wire_text(s, out.aggregated_output); break;
      case 5:
        read = nullable(s, out.exit_code, [&](std::int32_t& code) { return s.int32(code); });
        break;
      case 6: read = changes(s, out.changes); break;
      case 7: read = wire_text(s, out.status); break;
      case 8: read = wire_text(s, out.message); break;
      case 9: read = wire_text(s, out.tool); break;
      case 10: read = wire_text(s, out.sender_thread_id); break;
      default: break;
    }
    return read;
  });
}

}  // namespace

bool scan_wire_line(std::string_view line, WireLine& out) {
  static constexpr std::string_view names[] = {"type",  "item",  "thread_id",
                                               "usage", "error", "message"};
  Scan s(line);
  const bool read = members(s, names, [&](int i) {
    bool ok = false;
    switch (i) {
      case 0: ok = wire_text(s, out.type.emplace()); break;
      case 1:
        ok = nullable(s, out.item, [&](ReadItem& read_item) {
          const std::size_t start = (s.skip_space(), s.pos());
          const bool read_whole = item(s, read_item.wire);
          read_item.raw = json::Raw{s.since(start)};
          return read_whole;
        });
        break;
      case 2: ok = wire_text(s, out.thread_id); break;
      case 3: ok = read_by_reader(s, out.usage); break;
      case 4:
        // The reader's raw value is the extent itself, a view into the line.
        ok = nullable(s, out.error, [&](json::Raw& raw) { return read_by_reader(s, raw); });
        break;
      case 5: ok = wire_text(s, out.message); break;
      default: break;
    }
    return ok;
  });
  // Texts with bytes above 0x7f must be UTF-8, as the reader requires of every text it keeps.
  return read && s.at_end() && (!s.saw_high() || is_valid_utf8(line));
}

}  // namespace vantrel::codex
