// Number texts: the shortest float text, the found-value texts of type failures, and the
// decimal float-text parser of the lenient float rule.
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "vantrel/json/json.h"
#include "vantrel/json/number_helpers.h"
#include "vantrel/support/check.h"

namespace vantrel::json {
namespace internal {
namespace {

// Whether a decimal number that a double cannot hold is too large (rather than too small):
// the position of its first non-zero digit relative to the point, plus its exponent.
bool decimal_overflows(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  long long magnitude = 0;
  bool seen_nonzero = false, after_point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.') {
      after_point = true;
    } else if (is_digit(c)) {
      if (!seen_nonzero && c != '0') seen_nonzero = true;
      if (!after_point && seen_nonzero) ++magnitude;
      if (after_point && !seen_nonzero) --magnitude;
    } else {
      break;
    }
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    long long exponent = 0;
    for (; i < s.size() && is_digit(s[i]); ++i)
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
    magnitude += negative ? -exponent : exponent;
  }
  return magnitude > 0;
}

}  // namespace

std::optional<double> decimal_to_double(std::string_view s) {
  double value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (decimal_overflows(s)) return std::nullopt;
    return s.front() == '-' ? -0.0 : 0.0;
  }
  check(ec == std::errc() && end == s.data() + s.size(), "json: number text does not parse");
  return value;
}

std::string number_text(const Reader::Number& n) {
  switch (n.type) {
    case Reader::Number::U64: return std::to_string(n.u);
    case Reader::Number::I64: return std::to_string(n.i);
    case Reader::Number::F64: return float_text(n.f);
    case Reader::Number::BigInteger: return std::string(n.digits);
  }
  return {};
}

std::string found_number(const Reader::Number& n) {
  return n.type == Reader::Number::F64 ? found_float(n.f) : "integer `" + number_text(n) + "`";
}

}  // namespace internal

namespace {

using internal::decimal_to_double;
using internal::is_digit;

bool equals_ignoring_case(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  std::array<char, 64> buffer;
  auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                              std::chars_format::scientific);
  std::string_view sci(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  std::size_t e_at = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_at))
    if (c != '.') digits += c;
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_at + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  double magnitude = std::fabs(value);
  if (magnitude >= 1e-5 && magnitude < 1e16) {
    if (exponent >= 0) {
      auto whole = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() < whole) digits.append(whole - digits.size(), '0');
      out += digits.substr(0, whole);
      out += '.';
      out += digits.size() > whole ? digits.substr(whole) : "0";
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) out += "." + digits.substr(1);
  out += exponent < 0 ? "e-" : "e+";
  out += std::to_string(exponent < 0 ? -exponent : exponent);
  return out;
}

std::string found_float(double value) { return "floating point `" + float_text(value) + "`"; }

std::string found_string(std::string_view value) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = "string \"";
  auto escape_code = [&](unsigned code) {
    out += "\\u{";
    if (code >= 16) out += hex[code >> 4];
    out += hex[code & 15];
    out += '}';
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          escape_code(c);
        } else if (c == 0xc2 && i + 1 < value.size() &&
                   static_cast<unsigned char>(value[i + 1]) <= 0x9f) {
          escape_code(static_cast<unsigned char>(value[++i]));  // C1 control characters
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}
std::optional<double> parse_float_text(std::string_view text) {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
    return negative ? -HUGE_VAL : HUGE_VAL;
  if (equals_ignoring_case(body, "nan")) return std::numeric_limits<double>::quiet_NaN();
  // Rebuilt in the JSON number form, which the double parser takes whole: ".5" and "5." too.
  std::string number = negative ? "-" : "";
  std::size_t i = 0;
  while (i < body.size() && is_digit(body[i])) number += body[i++];
  bool whole = number.size() > (negative ? 1u : 0u);
  if (!whole) number += '0';
  bool fraction = false;
  if (i < body.size() && body[i] == '.') {
    ++i;
    std::size_t from = i;
    while (i < body.size() && is_digit(body[i])) ++i;
    fraction = i > from;
    if (fraction) number += "." + std::string(body.substr(from, i - from));
  }
  if (!whole && !fraction) return std::nullopt;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    number += body[i++];
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) number += body[i++];
    std::size_t from = i;
    while (i < body.size() && is_digit(body[i])) number += body[i++];
    if (i == from) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  if (auto value = decimal_to_double(number)) return *value;
  return negative ? -HUGE_VAL : HUGE_VAL;
}

}  // namespace vantrel::json
