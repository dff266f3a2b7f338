// Text from bytes that may not be valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// `bytes` as UTF-8 text, each maximal invalid subsequence replaced by one U+FFFD (the usual
// "lossy" decoding: a truncated sequence counts once, a stray byte once each).
std::string utf8_lossy(std::string_view bytes);

}  // namespace vantrel
