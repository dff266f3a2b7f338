// Text from bytes that may not be valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// `bytes` as UTF-8 text, each maximal invalid subsequence replaced by one U+FFFD (the usual
// "lossy" decoding: a truncated sequence counts once, a stray byte once each).
std::string utf8_lossy(std::string_view bytes);

// True when `bytes` is valid UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace vantrel
