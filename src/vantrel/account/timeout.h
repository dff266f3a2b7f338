// Timeouts given in seconds as a floating-point number, as the account queries take them.
#pragma once

#include <chrono>
#include <optional>

namespace vantrel {

// `seconds` as a duration, rounded to the nearest nanosecond (ties to even; below half a
// nanosecond is zero). nullopt for a value below zero (minus zero is zero), NaN, an infinity,
// or 2**64 seconds or more. A value beyond what nanoseconds hold (about 292 years) becomes
// `nanoseconds::max()`, which no deadline can be computed from: no effective limit.
std::optional<std::chrono::nanoseconds> timeout_from_seconds(double seconds);

}  // namespace vantrel
