// Timeouts from floating-point seconds.
#include "vantrel/account/timeout.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace vantrel {

std::optional<std::chrono::nanoseconds> timeout_from_seconds(double seconds) {
  using std::chrono::nanoseconds;
  if (!(seconds >= 0.0) || std::isinf(seconds) || seconds >= 0x1p64) return std::nullopt;
  // seconds = mantissa * 2**exponent exactly, with a 53-bit integer mantissa; the product with
  // 10**9 fits 128 bits, so the rounding below is exact.
  int exponent = 0;
  double fraction = std::frexp(seconds, &exponent);
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  int shift = 53 - exponent;
  constexpr auto max_nanos = static_cast<unsigned __int128>(nanoseconds::max().count());
  // Here the value is 2**53 seconds or more, far beyond the nanosecond range.
  if (shift <= 0) return nanoseconds::max();
  // Here the product (below 2**83) is below half of 2**shift: the value rounds to zero.
  if (shift > 84) return nanoseconds::zero();
  unsigned __int128 nanos = static_cast<unsigned __int128>(mantissa) * 1000000000u;
  unsigned __int128 quotient = nanos >> shift;
  unsigned __int128 remainder = nanos - (quotient << shift);
  unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
  if (quotient > max_nanos) return nanoseconds::max();
  return nanoseconds(static_cast<nanoseconds::rep>(quotient));
}

}  // namespace vantrel
