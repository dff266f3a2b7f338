// Lossy UTF-8 decoding.
#include "vantrel/json/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// The length of the sequence a lead byte starts, and the range its second byte must lie in
// (which excludes overlong forms, surrogates and code points above U+10FFFF); length 0 for a
// byte that cannot start one.
struct Lead {
  std::size_t length;
  unsigned char low, high;
};

Lead lead_of(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// How many bytes from `at` form a valid sequence (its full length), or, when they do not,
// how many form its longest valid start (at least 1) as a negative number.
std::ptrdiff_t valid_sequence(std::string_view bytes, std::size_t at) {
  Lead lead = lead_of(static_cast<unsigned char>(bytes[at]));
  if (lead.length == 0) return -1;
  for (std::size_t k = 1; k < lead.length; ++k) {
    if (at + k >= bytes.size()) return -static_cast<std::ptrdiff_t>(k);
    auto byte = static_cast<unsigned char>(bytes[at + k]);
    unsigned char low = k == 1 ? lead.low : 0x80, high = k == 1 ? lead.high : 0xBF;
    if (byte < low || byte > high) return -static_cast<std::ptrdiff_t>(k);
  }
  return static_cast<std::ptrdiff_t>(lead.length);
}

// The number of ASCII bytes from `at`, eight at a time while it can.
std::size_t ascii_run(std::string_view bytes, std::size_t at) {
  constexpr std::uint64_t highs = 0x8080808080808080ull;
  std::size_t end = at;
  for (std::uint64_t word; end + 8 <= bytes.size(); end += 8) {
    std::memcpy(&word, bytes.data() + end, 8);
    if (word & highs) break;
  }
  while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) < 0x80) ++end;
  return end - at;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
#if defined(__SSE2__)
    // Mostly-ASCII text is passed over sixty-four bytes at a time, then sixteen, and a block's
    // mask of high bytes tells where its first sequence starts.
    if (at + 64 <= bytes.size()) {
      const auto* block = reinterpret_cast<const __m128i*>(bytes.data() + at);
      const __m128i any =
          _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                       _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
      if (_mm_movemask_epi8(any) == 0) {
        at += 64;
        continue;
      }
    }
    if (at + 16 <= bytes.size()) {
      auto highs = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + at))));
      if (highs == 0) {
        at += 16;
        continue;
      }
      at += static_cast<std::size_t>(__builtin_ctz(highs));
      std::ptrdiff_t length = valid_sequence(bytes, at);
      if (length < 0) return false;
      at += static_cast<std::size_t>(length);
      continue;
    }
#endif
    at += ascii_run(bytes, at);
    if (at == bytes.size()) break;
    std::ptrdiff_t length = valid_sequence(bytes, at);
    if (length < 0) return false;
    at += static_cast<std::size_t>(length);
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t copied = 0;  // bytes before this are in `text`; valid ones after it wait for a copy
  std::size_t at = 0;
  while (at < bytes.size()) {
    at += ascii_run(bytes, at);
    if (at == bytes.size()) break;
    std::ptrdiff_t length = valid_sequence(bytes, at);
    if (length > 0) {
      at += static_cast<std::size_t>(length);
      continue;
    }
    text.append(bytes.substr(copied, at - copied));
    text.append(replacement);
    at += static_cast<std::size_t>(-length);
    copied = at;
  }
  text.append(bytes.substr(copied));
  return text;
}

}  // namespace vantrel
