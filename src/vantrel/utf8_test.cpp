// Tests of lossy UTF-8 decoding.
#include "vantrel/utf8.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

struct LossyCase {
  std::string_view bytes;
  std::string_view text;
};

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubsequenceOnce) {
  const LossyCase cases[] = {
      {"", ""},
      {"plain {\"a\":1}", "plain {\"a\":1}"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\xFFz", "a\xEF\xBF\xBDz"},
      {"\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // stray continuation bytes
      {"\xE2\x82", "\xEF\xBF\xBD"},                              // truncated at the end
      {"\xE2\x82z", "\xEF\xBF\xBDz"},                            // truncated before ASCII
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},                          // three of four bytes
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong lead
      {"\xE0\x80\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong three-byte form
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},                                  // U+10FFFF
      {std::string_view("a\0b", 3), std::string_view("a\0b", 3)},
      // Long ASCII runs around valid and invalid sequences, and an invalid byte at the very end.
      {"0123456789abcdef\xC3\xA9ghijklmnopqrstuv\xFFwxyz0123456789\xE2\x82",
       "0123456789abcdef\xC3\xA9ghijklmnopqrstuv\xEF\xBF\xBDwxyz0123456789\xEF\xBF\xBD"},
      {"\xFFxyz0123456789abcdefghij", "\xEF\xBF\xBDxyz0123456789abcdefghij"},
  };
  for (const LossyCase& c : cases) {
    EXPECT_EQ(utf8_lossy(c.bytes), c.text) << c.bytes;
    // Valid exactly when nothing was replaced.
    EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.text) << c.bytes;
  }
}

TEST(Utf8Valid, LooksAtEveryByteOfLongAsciiRuns) {
  std::string text(64, 'a');
  EXPECT_TRUE(is_valid_utf8(text));
  for (std::size_t at : {0u, 7u, 8u, 31u, 63u}) {
    std::string bad = text;
    bad[at] = '\xFF';
    EXPECT_FALSE(is_valid_utf8(bad)) << at;
  }
}

}  // namespace
}  // namespace vantrel
