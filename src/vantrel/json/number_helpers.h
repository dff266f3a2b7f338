// The JSON units' shared number helpers: character classes, the decimal-to-double rule and the
// texts that name a number found where another type was expected.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/json/json.h"

namespace vantrel::json::internal {

inline constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_cont(unsigned char c) { return (c & 0xc0) == 0x80; }

// A decimal text (already checked against the number grammar) as a double; nullopt when it is
// beyond the double range. Too small a value becomes a zero.
std::optional<double> decimal_to_double(std::string_view s);

// A number as its text ("5", "-3", "1.5") and as the found value of a type failure.
std::string number_text(const Reader::Number& n);
std::string found_number(const Reader::Number& n);

}  // namespace vantrel::json::internal
