// Lossy UTF-8 decoding.
#include "vantrel/utf8.h"

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

// True when the 8 bytes at `p` are all ASCII.
bool ascii_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ULL) == 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (at + 8 <= bytes.size() && ascii_word(bytes.data() + at)) {
      at += 8;
      continue;
    }
    if (static_cast<unsigned char>(bytes[at]) < 0x80) {
      ++at;
      continue;
    }
    std::ptrdiff_t length = valid_sequence(bytes, at);
    if (length < 0) return false;
    at += static_cast<std::size_t>(length);
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (static_cast<unsigned char>(bytes[at]) < 0x80) {
      text += bytes[at++];
      continue;
    }
    std::ptrdiff_t length = valid_sequence(bytes, at);
    if (length > 0) {
      text.append(bytes.substr(at, static_cast<std::size_t>(length)));
      at += static_cast<std::size_t>(length);
    } else {
      text.append(replacement);
      at += static_cast<std::size_t>(-length);
    }
  }
  return text;
}

}  // namespace vantrel
