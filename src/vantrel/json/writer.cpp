// Compact JSON text of values built in code.
#include <algorithm>
#include <cmath>

#include "vantrel/json/json.h"
#include "vantrel/json/utf8.h"

namespace vantrel::json {

namespace {

void write_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

// Appends the compact text of `value` to `out`; the reason on failure.
std::optional<std::string> write_value(std::string& out, const Value& value) {
  struct Visit {
    std::string& out;
    std::optional<std::string> operator()(std::nullptr_t) { return put("null"); }
    std::optional<std::string> operator()(bool b) { return put(b ? "true" : "false"); }
    std::optional<std::string> operator()(std::int64_t n) { return put(std::to_string(n)); }
    std::optional<std::string> operator()(std::uint64_t n) { return put(std::to_string(n)); }
    std::optional<std::string> operator()(double f) {
      if (!std::isfinite(f)) return "number is not finite";
      return put(float_text(f));
    }
    std::optional<std::string> operator()(const std::string& text) {
      if (!is_valid_utf8(text)) return "invalid unicode code point";
      write_string(out, text);
      return std::nullopt;
    }
    std::optional<std::string> operator()(const Value::Array& items) {
      out += '[';
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += ',';
        if (auto failure = write_value(out, items[i])) return failure;
      }
      out += ']';
      return std::nullopt;
    }
    std::optional<std::string> operator()(const Value::Object& members) {
      std::vector<const Member*> sorted;
      sorted.reserve(members.size());
      for (const Member& m : members) sorted.push_back(&m);
      std::sort(sorted.begin(), sorted.end(),
                [](const Member* a, const Member* b) { return a->key < b->key; });
      out += '{';
      for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i != 0) {
          if (sorted[i]->key == sorted[i - 1]->key) return "duplicate key `" + sorted[i]->key + "`";
          out += ',';
        }
        if (!is_valid_utf8(sorted[i]->key)) return "invalid unicode code point";
        write_string(out, sorted[i]->key);
        out += ':';
        if (auto failure = write_value(out, sorted[i]->value)) return failure;
      }
      out += '}';
      return std::nullopt;
    }
    std::optional<std::string> put(std::string_view text) {
      out += text;
      return std::nullopt;
    }
  };
  return std::visit(Visit{out}, value.data);
}

}  // namespace

Result<std::string, std::string> write_compact(const Value& value) {
  std::string out;
  if (auto failure = write_value(out, value)) return fail(std::move(*failure));
  return out;
}

}  // namespace vantrel::json
