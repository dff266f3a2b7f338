// Tests of lossy UTF-8 decoding.
#include "vantrel/json/utf8.h"

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

// Sequences at every offset around the ends of sixteen-byte blocks, whole and cut short.
TEST(Utf8Valid, JudgesSequencesAcrossBlockEnds) {
  for (std::string_view sequence : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"}) {
    for (std::size_t at = 0; at < 36; ++at) {
      std::string text = std::string(at, 'a') + std::string(sequence) + std::string(20, 'b');
      EXPECT_TRUE(is_valid_utf8(text)) << at;
      std::string cut = std::string(at, 'a') + std::string(sequence.substr(1)) + "b";
      EXPECT_FALSE(is_valid_utf8(cut)) << at;
      std::string truncated = std::string(at, 'a') + std::string(sequence.substr(0, 1)) + "bb";
      EXPECT_FALSE(is_valid_utf8(truncated + std::string(20, 'c'))) << at;
      EXPECT_FALSE(is_valid_utf8(std::string(at, 'a') + std::string(sequence.substr(0, 1)))) << at;
    }
  }
}

TEST(Utf8Validity, IsStrict) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii text, longer than eight bytes"));
  EXPECT_TRUE(is_valid_utf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"));
  for (std::string_view bad :
       {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "abc\xe2\x82", "\x80",
        "12345678\xc3", "sixteen ascii bytes then \xc3"})
    EXPECT_FALSE(is_valid_utf8(bad)) << testing::PrintToString(bad);
}

}  // namespace
}  // namespace vantrel
