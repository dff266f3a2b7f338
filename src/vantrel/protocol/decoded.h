// The result of decoding agent output: a value, or the one failure text that fails the line.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace vantrel {

// A decoder's failure text, as the run loop puts it into the run's decode error.
struct DecodeFailure {
  std::string text;
  friend bool operator==(const DecodeFailure&, const DecodeFailure&) = default;
};

template <class T>
using Decoded = std::variant<T, DecodeFailure>;

// Token sums wrap around in 64 bits, as the agents' own counters would, instead of overflowing.
inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

}  // namespace vantrel
