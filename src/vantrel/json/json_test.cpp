// Tests of the JSON reader: syntax faults, record tables, value readers and lenient rules.
#include "vantrel/json/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace vantrel {
namespace {

using json::Raw;

// "ok", or the failure text of reading the whole text as one T.
template <class T>
std::string outcome(std::string_view text, T& out) {
  auto error = json::decode(text, out);
  return error ? error->text() : "ok";
}
template <class T>
std::string outcome(std::string_view text) {
  T out{};
  return outcome(text, out);
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct Fault {
  std::string text;
  std::string_view error;
};

TEST(JsonSyntax, FaultsAreWordedWithTheirPosition) {
  const Fault faults[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"\"ab", "EOF while parsing a string at line 1 column 3"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"[,1]", "expected value at line 1 column 2"},
      {"x", "expected value at line 1 column 1"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"tru e", "expected ident at line 1 column 4"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 7"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"{\"a\":1}\n{}", "trailing characters at line 2 column 1"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
      {"[\"\xed\xa0\x80\"]", "invalid unicode code point at line 1 column 7"},  // UTF-8 surrogate
  };
  for (const auto& f : faults) EXPECT_EQ(outcome<Raw>(f.text), f.error) << f.text;
}

TEST(JsonSyntax, ReadNumbersMustFitADouble) {
  // Skipped and raw numbers are checked for their grammar only.
  EXPECT_EQ(outcome<double>("1e400"), "number out of range at line 1 column 5");
  EXPECT_EQ(outcome<double>("-1e400"), "number out of range at line 1 column 6");
  EXPECT_EQ(outcome<Raw>("[1e400]"), "ok");
  // An integer beyond a double is still an integer, named as such where one is read.
  const std::string huge = "1" + std::string(400, '0');
  EXPECT_EQ(outcome<double>(huge), "number out of range at line 1 column 401");
  EXPECT_EQ(outcome<std::int64_t>(huge),
            "invalid value: integer `" + huge + "`, expected i64 at line 1 column 401");
  EXPECT_EQ(outcome<std::string>(huge),
            "invalid type: integer `" + huge + "`, expected a string at line 1 column 401");
}

// A value that reads itself recursively, so any depth of nesting is read, not skipped.
struct Nest {
  std::vector<Nest> inner;
};
void read_json(json::Reader& r, Nest& out) { json::read(r, out.inner); }

TEST(JsonNesting, ReadValuesStopAtOneHundredTwentyEightOpenContainers) {
  EXPECT_EQ(outcome<Nest>(nested(128)), "ok");
  EXPECT_EQ(outcome<Nest>(nested(129)), "recursion limit exceeded at line 1 column 129");
  EXPECT_EQ((outcome<std::unordered_map<std::string, Nest>>("{\"a\":" + nested(127) + "}")), "ok");
  EXPECT_EQ((outcome<std::unordered_map<std::string, Nest>>("{\"a\":" + nested(128) + "}")),
            "recursion limit exceeded at line 1 column 133");
  // Only the containers read count: a raw value inside them may nest as deep as it likes.
  EXPECT_EQ(outcome<std::vector<std::vector<Raw>>>("[[" + nested(10000) + "]]"), "ok");
}

// Values nested to any depth, mixing arrays and objects across the 64-level words of the scanner's
// stack of closing brackets: every bracket must still close the container it opened.
TEST(JsonNesting, SkippedAndRawValuesNestToAnyDepth) {
  constexpr std::size_t depth = 300;
  std::string open, close;
  for (std::size_t i = 0; i < depth; ++i) {
    const bool object = i % 3 == 1 || i % 64 == 63;
    open += object ? "{\"k\":" : "[";
    close += object ? '}' : ']';
  }
  std::reverse(close.begin(), close.end());
  const std::string value = open + "1" + close;
  EXPECT_EQ(outcome<Raw>(value), "ok");
  EXPECT_EQ(outcome<Raw>(nested(100000)), "ok");
  Raw raw;
  const std::string padded = " " + value + " ";
  EXPECT_EQ(outcome(padded, raw), "ok");
  EXPECT_EQ(raw.text, value);
  std::optional<std::string> text;
  json::Reader lenient(value);
  json::lenient_text(lenient, text);  // read whole, as check_value does
  EXPECT_TRUE(lenient.finish()) << lenient.error().text();
  const std::string member = "{\"other\":" + value + ",\"k\":2}";
  json::Reader skipped(member);
  ASSERT_TRUE(skipped.begin_object("a map"));
  for (std::string_view key; skipped.next_key(key);) {
  }
  EXPECT_TRUE(skipped.finish()) << skipped.error().text();

  // The closer of every level is kept: swapping the two innermost closers ("]}"), or the two
  // outermost ("}]"), fails where the wrong one stands.
  std::string inner_swapped = value;
  const std::size_t innermost = open.size() + 1;
  std::swap(inner_swapped[innermost], inner_swapped[innermost + 1]);
  EXPECT_EQ(outcome<Raw>(inner_swapped),
            "expected `,` or `]` at line 1 column " + std::to_string(innermost + 1));
  std::string outer_swapped = value;
  std::swap(outer_swapped[value.size() - 1], outer_swapped[value.size() - 2]);
  EXPECT_EQ(outcome<Raw>(outer_swapped),
            "expected `,` or `}` at line 1 column " + std::to_string(value.size() - 1));
  EXPECT_EQ(outcome<Raw>(std::string(200, '[') + "1}" + std::string(199, ']')),
            "expected `,` or `]` at line 1 column 202");
  EXPECT_EQ(outcome<Raw>(std::string(65, '[') + "{\"a\":1]" + std::string(65, ']')),
            "expected `,` or `}` at line 1 column 72");
  EXPECT_EQ(outcome<Raw>(std::string(300, '[')), "EOF while parsing a list at line 1 column 300");
}

// A surrogate escape without its other half (a text cut between the two) reads as U+FFFD; a
// malformed escape still fails.
TEST(JsonStrings, EscapesAreDecodedAndLoneSurrogatesReplaced) {
  struct Row {
    std::string_view text;
    std::string_view value_or_error;
  };
  const Row rows[] = {
      {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
      {R"("\u00e9\u20ac\ud83d\ude00")", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {R"("\u0000")", std::string_view("\0", 1)},
      {"\"\xc3\xa9\"", "\xc3\xa9"},
      {R"("\uD83D\uDE00")", "\xf0\x9f\x98\x80"},
      {R"("a\ud83d")", "a\xef\xbf\xbd"},
      {R"("\udc00")", "\xef\xbf\xbd"},
      {R"("\ud800\n")", "\xef\xbf\xbd\n"},
      {R"("\ud800\u0041")",
       "\xef\xbf\xbd"
       "A"},
      {R"("\ud83d\ud83d\ude00")", "\xef\xbf\xbd\xf0\x9f\x98\x80"},
      {R"("\ude00\ud83d")", "\xef\xbf\xbd\xef\xbf\xbd"},
      {R"("\udc00\ude00")", "\xef\xbf\xbd\xef\xbf\xbd"},
      {R"("\udbff\udfff\udc00")", "\xf4\x8f\xbf\xbf\xef\xbf\xbd"},
      {R"("\ud800\u12G4")", "invalid escape at line 1 column 13"},
      {R"("\ud800\u12")", "EOF while parsing a string at line 1 column 12"},
      {R"("\ud800\x")", "invalid escape at line 1 column 9"},
      {R"("\ud800)", "EOF while parsing a string at line 1 column 7"},
      {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 4"},          // overlong
      {"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},  // > U+10FFFF
  };
  for (const auto& row : rows) {
    std::string value;
    std::string result = outcome(row.text, value);
    EXPECT_EQ(result == "ok" ? value : result, row.value_or_error) << row.text;
    // Read as its source, unescaped later, a string gives the same value or the same failure.
    json::Reader r(row.text);
    bool escaped = false;
    std::string_view source = r.read_string_source(escaped);
    std::string later = r.finish() ? json::unescape_string_source(source) : r.error().text();
    EXPECT_EQ(later, row.value_or_error) << row.text;
    if (r.ok()) {
      EXPECT_EQ(source, row.text.substr(1, row.text.size() - 2));
      EXPECT_EQ(escaped, row.text.find('\\') != std::string_view::npos) << row.text;
    }
  }
  // Keys too: both name U+FFFD, so the later entry replaces the first.
  std::unordered_map<std::string, std::int64_t> map;
  EXPECT_EQ(outcome(R"({"\ud800":1,"\udbff":2})", map), "ok");
  EXPECT_EQ(map, (std::unordered_map<std::string, std::int64_t>{{"\xef\xbf\xbd", 2}}));
}

// Long strings are scanned many bytes at a time: an escape, a control character or a byte above
// 0x7f must be found at every offset, wherever it falls within a block.
TEST(JsonStrings, SpecialBytesAreFoundAtEveryOffset) {
  constexpr std::size_t length = 40;
  for (std::size_t at = 0; at < length; ++at) {
    auto text_with = [&](std::string_view part) {
      return '"' + std::string(at, 'a') + std::string(part) + std::string(length - at, 'b') + '"';
    };
    const std::string plain = std::string(at, 'a') + std::string(length - at, 'b');
    const std::string column = std::to_string(at + 2);
    const std::string end = std::to_string(length + 3);  // the closing quote of a 1-byte part
    std::string value;
    EXPECT_EQ(outcome(text_with("\\n"), value), "ok") << at;
    EXPECT_EQ(value, plain.substr(0, at) + '\n' + plain.substr(at)) << at;
    EXPECT_EQ(outcome(text_with("\xc3\xa9"), value), "ok") << at;
    EXPECT_EQ(value, plain.substr(0, at) + "\xc3\xa9" + plain.substr(at)) << at;
    for (std::string_view control : {"\x01", "\x1f"})
      EXPECT_EQ(outcome<std::string>(text_with(control)),
                "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                "column " +
                    column)
          << at;
    const std::string invalid = "invalid unicode code point at line 1 column " + end;
    EXPECT_EQ(outcome<std::string>(text_with("\xff")), invalid) << at;
    EXPECT_EQ(outcome<Raw>(text_with("\xff")), invalid) << at;
    EXPECT_EQ(outcome<std::string>(text_with("\"")),
              "trailing characters at line 1 column " + std::to_string(at + 3))
        << at;
  }
}

// Skipped values are checked for syntax only: their strings may hold any bytes and lone
// surrogate escapes, as nothing is made of them; raw values must be valid UTF-8.
TEST(JsonSkip, SkippedAndRawValuesAreValidatedWhole) {
  const Fault rows[] = {
      {"{\"x\":[\"\xff\",\"\\udc00\"]}", "ok"},
      {"{\"x\":[1,{\"y\":[true,null]}],\"z\":-0.5e3}", "ok"},
      {"{\"x\":[1,]}", "trailing comma at line 1 column 9"},
      {"{\"x\":{\"y\":1,}}", "trailing comma at line 1 column 13"},
      {"{\"x\":{\"y\" 1}}", "expected `:` at line 1 column 11"},
      {"{\"x\":{1:1}}", "key must be a string at line 1 column 7"},
      {"{\"x\":[1 2]}", "expected `,` or `]` at line 1 column 9"},
      {"{\"x\":01}", "invalid number at line 1 column 7"},
      {"{\"x\":\"\\q\"}", "invalid escape at line 1 column 8"},
      {"{\"x\":[", "EOF while parsing a list at line 1 column 6"},
      {"{\"\xff\":1}", "invalid unicode code point at line 1 column 4"},  // keys are always checked
  };
  for (const auto& row : rows) {
    json::Reader r(row.text);
    if (r.begin_object("a map"))
      for (std::string_view key; r.next_key(key);) {
      }
    r.finish();
    EXPECT_EQ(r.ok() ? "ok" : r.error().text(), row.error) << row.text;
  }
}

TEST(JsonRaw, KeepsTheExactSourceSlice) {
  json::Reader r(R"({"result": { "a" : [1, "x"] } , "n": null, "s":"\u00e9", "cut":["\ud83d"]})");
  std::vector<std::string_view> raws;
  ASSERT_TRUE(r.begin_object("a map"));
  for (std::string_view key; r.next_key(key);) raws.push_back(r.raw().text);
  ASSERT_TRUE(r.finish()) << r.error().text();
  EXPECT_EQ(raws, (std::vector<std::string_view>{R"({ "a" : [1, "x"] })", "null", R"("\u00e9")",
                                                 R"(["\ud83d"])"}));

  std::optional<std::string> copy;
  EXPECT_EQ(outcome(" null ", copy), "ok");
  EXPECT_FALSE(copy);
  std::optional<Raw> view;
  EXPECT_EQ(outcome("null", view), "ok");
  EXPECT_FALSE(view);
  EXPECT_EQ(outcome("\"\xff\"", view), "invalid unicode code point at line 1 column 3");
}

// A value read and kept raw in one pass gives raw's slice, and fails where raw would too: its
// skipped strings must still be UTF-8, also below an outer kept value.
TEST(JsonRaw, ReadKeepingRawGivesRawsSliceAndChecks) {
  struct Row {
    std::string_view text;
    std::string_view slice_or_error;
  };
  const Row rows[] = {
      {R"({"k": { "a" : [1, "x"] ,"b":"\u00e9"} })", R"({ "a" : [1, "x"] ,"b":"\u00e9"})"},
      {"{\"k\":{\"a\":\"caf\xc3\xa9\"}}", "{\"a\":\"caf\xc3\xa9\"}"},
      {"{\"k\":{\"a\":\"caf\xe9\"}}", "invalid unicode code point at line 1 column 17"},
      {"{\"k\":{\"a\":{\"b\":[\"\xff\"]},\"c\":1}}",
       "invalid unicode code point at line 1 column 28"},
      {R"({"k":{"a":[1,]}})", "trailing comma at line 1 column 14"},
  };
  for (const Row& row : rows) {
    json::Reader r(row.text);
    std::string_view slice;
    ASSERT_TRUE(r.begin_object("a map"));
    for (std::string_view key; r.next_key(key);)
      slice = r.read_keeping_raw([&] {
                 if (r.begin_object("a map"))
                   for (std::string_view inner; r.next_key(inner);) {
                   }
               }).text;
    r.finish();
    EXPECT_EQ(r.ok() ? slice : std::string_view(r.error().text()), row.slice_or_error) << row.text;
  }
  // Nested: the outer kept value holds an invalid string before a valid inner kept value.
  json::Reader r("{\"k\":[\"\xff\",{\"a\":1}]}");
  ASSERT_TRUE(r.begin_object("a map"));
  for (std::string_view key; r.next_key(key);)
    r.read_keeping_raw([&] {
      if (!r.begin_array("a sequence") || !r.next_element()) return;
      r.skip();
      if (!r.next_element()) return;
      EXPECT_EQ(r.read_keeping_raw([&] { r.skip(); }).text, R"({"a":1})");
      while (r.next_element()) {
      }
    });
  r.finish();
  EXPECT_EQ(r.ok() ? "ok" : r.error().text(), "invalid unicode code point at line 1 column 18");
}

// ---- Records ----------------------------------------------------------------------------------

struct Inner {
  std::int64_t n = 0;
  friend bool operator==(const Inner&, const Inner&) = default;
};

struct Sample {
  std::string text;
  std::optional<std::string> maybe;
  bool flag = false;
  std::int64_t count = 0;
  std::optional<std::int32_t> code;
  std::uint64_t id = 0;
  double cost = 0;
  std::vector<std::string> names;
  std::vector<std::uint8_t> bytes;
  std::unordered_map<std::string, Inner> inners;
  std::optional<Raw> raw;
  std::optional<Inner> inner;
  friend bool operator==(const Sample&, const Sample&) = default;
};

constexpr json::Field<Inner> inner_fields[] = {{"n", json::member<&Inner::n>}};
constexpr json::Record<Inner> inner_record{"Inner", inner_fields};
void read_json(json::Reader& r, Inner& out) { json::read_record(r, inner_record, out); }

constexpr json::Field<Sample> sample_fields[] = {
    {"text", json::member<&Sample::text>},   {"maybe", json::member<&Sample::maybe>},
    {"flag", json::member<&Sample::flag>},   {"count", "countAlias", json::member<&Sample::count>},
    {"code", json::member<&Sample::code>},   {"id", json::member<&Sample::id>},
    {"cost", json::member<&Sample::cost>},   {"names", json::member<&Sample::names>},
    {"bytes", json::member<&Sample::bytes>}, {"inners", json::member<&Sample::inners>},
    {"raw", json::member<&Sample::raw>},     {"inner", json::member<&Sample::inner>},
};
constexpr json::Record<Sample> sample_record{"Sample", sample_fields};
void read_json(json::Reader& r, Sample& out) { json::read_record(r, sample_record, out); }

// The array form must hold at least the first two fields.
struct Pair {
  std::string a;
  std::string b;
  std::string c;
};
constexpr json::Field<Pair> pair_fields[] = {
    {"a", json::member<&Pair::a>}, {"b", json::member<&Pair::b>}, {"c", json::member<&Pair::c>}};
constexpr json::Record<Pair> pair_record{"Pair", pair_fields, 2};
void read_json(json::Reader& r, Pair& out) { json::read_record(r, pair_record, out); }

struct Single {
  std::string a;
};
constexpr json::Field<Single> single_fields[] = {{"a", json::member<&Single::a>}};
constexpr json::Record<Single> single_record{"Single", single_fields, 1};
void read_json(json::Reader& r, Single& out) { json::read_record(r, single_record, out); }

TEST(JsonRecord, ReadsEveryFieldTypeFromAnObject) {
  Sample s;
  ASSERT_EQ(outcome(R"({"text":"t","maybe":"m","flag":true,"countAlias":-7,"code":-2147483648,
      "id":18446744073709551615,"cost":2,"names":["x","y"],"bytes":[0,255],
      "inners":{"k":{"n":1},"":[2],"k":{}},"raw":[ 1, 2 ],"inner":{"n":3},"other":{"deep":[[]]}})",
                    s),
            "ok");
  Sample expected;
  expected.text = "t";
  expected.maybe = "m";
  expected.flag = true;
  expected.count = -7;
  expected.code = -2147483648;
  expected.id = 18446744073709551615u;
  expected.cost = 2.0;
  expected.names = {"x", "y"};
  expected.bytes = {0, 255};
  expected.inners = {{"k", Inner{0}}, {"", Inner{2}}};  // a later key replaces the whole entry
  expected.raw = Raw{"[ 1, 2 ]"};
  expected.inner = Inner{3};
  EXPECT_EQ(s, expected);
}

TEST(JsonRecord, AbsentNullAndShortArrayKeepDefaults) {
  Sample s;
  s.count = 99;  // the record's own values are the defaults
  json::Reader r(R"({"maybe":null,"code":null,"raw":null,"inner":null,"unknown":1})");
  json::read(r, s);
  ASSERT_TRUE(r.finish()) << r.error().text();
  EXPECT_EQ(s.count, 99);
  EXPECT_FALSE(s.maybe || s.code || s.raw || s.inner);

  Sample a;
  ASSERT_EQ(outcome(R"(["t", null, true, 4])", a), "ok");
  EXPECT_EQ(a.text, "t");
  EXPECT_TRUE(a.flag);
  EXPECT_EQ(a.count, 4);
  EXPECT_EQ(outcome<Sample>("[]"), "ok");
}

TEST(JsonRecord, FailuresNameTheRecordAndTheField) {
  const Fault rows[] = {
      {"null", "invalid type: null, expected struct Sample at line 1 column 4"},
      {"\"s\"", "invalid type: string \"s\", expected struct Sample at line 1 column 3"},
      {"5", "invalid type: integer `5`, expected struct Sample at line 1 column 1"},
      {"true", "invalid type: boolean `true`, expected struct Sample at line 1 column 4"},
      {R"({"count":1,"count":2})", "duplicate field `count` at line 1 column 18"},
      {R"({"countAlias":1,"count":2})", "duplicate field `count` at line 1 column 23"},
      {R"({"count":1,"countAlias":x})", "duplicate field `count` at line 1 column 23"},
      {R"({"Count":1,"count":"1"})",
       "invalid type: string \"1\", expected i64 at line 1 column 22"},
      {R"({"c\u006funt":1,"count":1})", "duplicate field `count` at line 1 column 23"},
      {R"({"text":null})", "invalid type: null, expected a string at line 1 column 12"},
      {R"({"text":[1]})", "invalid type: sequence, expected a string at line 1 column 8"},
      {R"({"text":{}})", "invalid type: map, expected a string at line 1 column 8"},
      {R"({"flag":null})", "invalid type: null, expected a boolean at line 1 column 12"},
      {R"({"flag":1})", "invalid type: integer `1`, expected a boolean at line 1 column 9"},
      {R"({"names":null})", "invalid type: null, expected a sequence at line 1 column 13"},
      {R"({"names":[1]})", "invalid type: integer `1`, expected a string at line 1 column 11"},
      {R"({"bytes":[256]})", "invalid value: integer `256`, expected u8 at line 1 column 13"},
      {R"({"bytes":[-1]})", "invalid value: integer `-1`, expected u8 at line 1 column 12"},
      {R"({"bytes":[18446744073709551616]})",
       "invalid value: integer `18446744073709551616`, expected u8 at line 1 column 30"},
      {R"({"text":18446744073709551616})",
       "invalid type: integer `18446744073709551616`, expected a string at line 1 column 28"},
      {R"({"inners":[]})", "invalid type: sequence, expected a map at line 1 column 10"},
      {R"({"inners":{"k":null}})", "invalid type: null, expected struct Inner at line 1 column 19"},
      {R"({"inner":5})", "invalid type: integer `5`, expected struct Inner at line 1 column 10"},
      {R"(["t",null,true,1,1,1,1,[],[],{},null,null,1])",
       "trailing characters at line 1 column 43"},
      {R"(["t",null,true,1,1,1,1,[],[],{},null,null,])", "trailing comma at line 1 column 43"},
      {R"(["t" 1])", "expected `,` or `]` at line 1 column 6"},
      {"[\"a\"]", "invalid length 1, expected struct Pair with 3 elements at line 1 column 4"},
      {"[]", "invalid length 0, expected struct Pair with 3 elements at line 1 column 1"},
      {"[\"a\",\"b\"]", "ok"},
  };
  for (const auto& row : rows) {
    bool pair = row.text.starts_with("[\"a\"") || row.text == "[]";
    EXPECT_EQ(pair ? outcome<Pair>(row.text) : outcome<Sample>(row.text), row.error) << row.text;
  }
  EXPECT_EQ(outcome<Single>("[]"),
            "invalid length 0, expected struct Single with 1 element at line 1 column 1");
}

// ---- Numbers ----------------------------------------------------------------------------------

TEST(JsonNumbers, IntegerAndFloatRules) {
  struct Row {
    std::string_view text;
    std::string_view i64, i32, u64, f64;
  };
  const Row rows[] = {
      {"5", "5", "5", "5", "5.0"},
      {"-9223372036854775808", "-9223372036854775808",
       "invalid value: integer `-9223372036854775808`, expected i32 at line 1 column 20",
       "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 20",
       "-9.223372036854776e+18"},
      {"9223372036854775808",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 19",
       "invalid value: integer `9223372036854775808`, expected i32 at line 1 column 19",
       "9223372036854775808", "9.223372036854776e+18"},
      {"-9223372036854775809",
       "invalid value: integer `-9223372036854775809`, expected i64 at line 1 column 20",
       "invalid value: integer `-9223372036854775809`, expected i32 at line 1 column 20",
       "invalid value: integer `-9223372036854775809`, expected u64 at line 1 column 20",
       "-9.223372036854776e+18"},
      {"18446744073709551615",
       "invalid value: integer `18446744073709551615`, expected i64 at line 1 column 20",
       "invalid value: integer `18446744073709551615`, expected i32 at line 1 column 20",
       "18446744073709551615", "1.8446744073709552e+19"},
      {"18446744073709551616",
       "invalid value: integer `18446744073709551616`, expected i64 at line 1 column 20",
       "invalid value: integer `18446744073709551616`, expected i32 at line 1 column 20",
       "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 20",
       "1.8446744073709552e+19"},
      {"-100000000000000000000000",
       "invalid value: integer `-100000000000000000000000`, expected i64 at line 1 column 25",
       "invalid value: integer `-100000000000000000000000`, expected i32 at line 1 column 25",
       "invalid value: integer `-100000000000000000000000`, expected u64 at line 1 column 25",
       "-1e+23"},
      {"3.0", "invalid type: floating point `3.0`, expected i64 at line 1 column 3",
       "invalid type: floating point `3.0`, expected i32 at line 1 column 3",
       "invalid type: floating point `3.0`, expected u64 at line 1 column 3", "3.0"},
      {"1E2", "invalid type: floating point `100.0`, expected i64 at line 1 column 3",
       "invalid type: floating point `100.0`, expected i32 at line 1 column 3",
       "invalid type: floating point `100.0`, expected u64 at line 1 column 3", "100.0"},
      {"-0", "0", "0", "0", "0.0"},
      {"2147483648", "2147483648",
       "invalid value: integer `2147483648`, expected i32 at line 1 column 10", "2147483648",
       "2147483648.0"},
      {"-2147483649", "-2147483649",
       "invalid value: integer `-2147483649`, expected i32 at line 1 column 11",
       "invalid value: integer `-2147483649`, expected u64 at line 1 column 11", "-2147483649.0"},
      {"1e-400", "invalid type: floating point `0.0`, expected i64 at line 1 column 6",
       "invalid type: floating point `0.0`, expected i32 at line 1 column 6",
       "invalid type: floating point `0.0`, expected u64 at line 1 column 6", "0.0"},
      {"\"1\"", "invalid type: string \"1\", expected i64 at line 1 column 3",
       "invalid type: string \"1\", expected i32 at line 1 column 3",
       "invalid type: string \"1\", expected u64 at line 1 column 3",
       "invalid type: string \"1\", expected f64 at line 1 column 3"},
      {"null", "invalid type: null, expected i64 at line 1 column 4",
       "invalid type: null, expected i32 at line 1 column 4",
       "invalid type: null, expected u64 at line 1 column 4",
       "invalid type: null, expected f64 at line 1 column 4"},
  };
  auto result = [](std::string_view text, auto value) {
    std::string r = outcome(text, value);
    if (r != "ok") return r;
    if constexpr (std::is_same_v<decltype(value), double>)
      return json::float_text(value);
    else
      return std::to_string(value);
  };
  for (const auto& row : rows) {
    EXPECT_EQ(result(row.text, std::int64_t{}), row.i64) << row.text;
    EXPECT_EQ(result(row.text, std::int32_t{}), row.i32) << row.text;
    EXPECT_EQ(result(row.text, std::uint64_t{}), row.u64) << row.text;
    EXPECT_EQ(result(row.text, double{}), row.f64) << row.text;
  }
}

TEST(JsonTexts, FloatTextAndFoundStrings) {
  const std::pair<double, std::string_view> floats[] = {
      {5.0, "5.0"},
      {12.5, "12.5"},
      {0.25, "0.25"},
      {0.00001, "0.00001"},
      {1e16, "1e+16"},
      {2.5e20, "2.5e+20"},
      {1e-6, "1e-6"},
      {-1.5, "-1.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.7e9, "1700000000.0"},
  };
  for (auto [value, text] : floats) EXPECT_EQ(json::float_text(value), text) << text;
  EXPECT_EQ(json::found_string("a\"b\\c\n\t\r\x01\x7f\xc2\x85\xc3\xa9'"),
            "string \"a\\\"b\\\\c\\n\\t\\r\\u{1}\\u{7f}\\u{85}\xc3\xa9'\"");
  EXPECT_EQ(outcome<std::int64_t>(R"("a\"b")"),
            "invalid type: string \"a\\\"b\", expected i64 at line 1 column 6");
}

// ---- Lenient rules ----------------------------------------------------------------------------

TEST(JsonLenient, ConvertInsteadOfFailing) {
  struct Row {
    std::string_view text;
    std::string_view as_text;  // lenient_text; "<absent>" when absent
    bool as_bool;
    double as_float;
    std::int64_t as_integer;
  };
  const Row rows[] = {
      {"null", "<absent>", false, 0.0, 0},
      {"true", "<absent>", true, 0.0, 0},
      {"false", "<absent>", false, 0.0, 0},
      {"7", "7", true, 7.0, 7},
      {"-7", "-7", true, -7.0, -7},
      {"0", "0", false, 0.0, 0},
      {"9223372036854775808", "9223372036854775808", false, 9223372036854775808.0, 0},
      {"2.0", "2.0", false, 2.0, 0},
      {"1e16", "1e+16", false, 1e16, 0},
      {"1.7e9", "1700000000.0", false, 1.7e9, 0},
      {"[]", "<absent>", false, 0.0, 0},
      {"{\"a\":[1]}", "<absent>", false, 0.0, 0},
      {"\"\"", "", false, 0.0, 0},
      {"\"true\"", "true", true, 0.0, 0},
      {"\"True\"", "True", false, 0.0, 0},
      {"\" 1\\n\"", " 1\n", true, 1.0, 1},
      {"\"\\u00a0 86400\\u3000\"", "\xc2\xa0 86400\xe3\x80\x80", false, 86400.0, 86400},
      {"\"42.5\"", "42.5", false, 42.5, 0},
      {"\".5\"", ".5", false, 0.5, 0},
      {"\"5.\"", "5.", false, 5.0, 0},
      {"\"+3\"", "+3", false, 3.0, 3},
      {"\"-3e2\"", "-3e2", false, -300.0, 0},
      {"\"1e999\"", "1e999", false, HUGE_VAL, 0},
      {"\"-Infinity\"", "-Infinity", false, -HUGE_VAL, 0},
      {"\"abc\"", "abc", false, 0.0, 0},
      {"\"1_000\"", "1_000", false, 0.0, 0},
      {"\"0x10\"", "0x10", false, 0.0, 0},
      {"\".\"", ".", false, 0.0, 0},
      {"\"+-1\"", "+-1", false, 0.0, 0},
      {"\"99999999999999999999\"", "99999999999999999999", false, 1e20, 0},
      {"18446744073709551616", "1.8446744073709552e+19", false, 18446744073709551616.0, 0},
      {R"("1\ud83d")", "1\xef\xbf\xbd", false, 0.0, 0},
      {R"(["\udc00",{"\ud800":"\ud800"}])", "<absent>", false, 0.0, 0},
  };
  for (const auto& row : rows) {
    std::optional<std::string> text;
    bool flag = true;
    double number = -1;
    std::int64_t integer = -1;
    std::string empty_or_text = "x";
    json::Reader r1(row.text), r2(row.text), r3(row.text), r4(row.text), r5(row.text);
    json::lenient_text(r1, text);
    json::lenient_bool(r2, flag);
    json::lenient_float(r3, number);
    json::lenient_integer(r4, integer);
    json::lenient_text_or_empty(r5, empty_or_text);
    for (auto* r : {&r1, &r2, &r3, &r4, &r5}) EXPECT_TRUE(r->finish()) << row.text;
    EXPECT_EQ(text.value_or("<absent>"), row.as_text) << row.text;
    EXPECT_EQ(empty_or_text, text.value_or("")) << row.text;
    EXPECT_EQ(flag, row.as_bool) << row.text;
    EXPECT_EQ(number, row.as_float) << row.text;
    EXPECT_EQ(integer, row.as_integer) << row.text;
  }
  double nan = 0;
  json::Reader r("\"NaN\"");
  json::lenient_float(r, nan);
  EXPECT_TRUE(std::isnan(nan));
}

TEST(JsonLenient, SyntaxFaultsStillFail) {
  std::optional<std::string> text;
  json::Reader r("[1,]");
  json::lenient_text(r, text);
  EXPECT_EQ(r.error().text(), "trailing comma at line 1 column 4");
  bool flag = false;
  json::Reader b("\"\\x\"");
  json::lenient_bool(b, flag);
  EXPECT_EQ(b.error().text(), "invalid escape at line 1 column 3");
  // A value of the wrong type is still read whole before it is dropped.
  const Fault inner_faults[] = {
      {R"(["\u12G4"])", "invalid escape at line 1 column 8"},
      {R"({"a":{"\ud800\u0g00":1}})", "invalid escape at line 1 column 19"},
      {"{\"a\":[\"\xff\"]}", "invalid unicode code point at line 1 column 9"},
      {"[1e400]", "number out of range at line 1 column 6"},
  };
  for (const auto& fault : inner_faults) {
    SCOPED_TRACE(fault.text);
    json::Reader rt(fault.text), rb(fault.text), rf(fault.text), ri(fault.text);
    json::lenient_text(rt, text);
    json::lenient_bool(rb, flag);
    double number = 0;
    json::lenient_float(rf, number);
    std::int64_t integer = 0;
    json::lenient_integer(ri, integer);
    for (auto* reader : {&rt, &rb, &rf, &ri}) EXPECT_EQ(reader->error().text(), fault.error);
  }
  // Skipped values are still checked for syntax only.
  EXPECT_EQ(outcome<std::vector<Raw>>("[1e400]"), "ok");
}

TEST(JsonTrim, RemovesUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(json::trim_unicode_space(
                "\t\v\f\r\n \xc2\x85\xc2\xa0\xe2\x80\x80x y\xe2\x80\xa8\xe3\x80\x80"),
            "x y");
  EXPECT_EQ(json::trim_unicode_space("\xe2\x80\x8bx\x1f"), "\xe2\x80\x8bx\x1f");  // not spaces
  EXPECT_EQ(json::trim_unicode_space("\xff "), "\xff");
  EXPECT_EQ(json::trim_unicode_space("  "), "");
}

// ---- Pull reading -----------------------------------------------------------------------------

TEST(JsonPull, UnreadValuesAreSkippedAndPositionsCountLines) {
  json::Reader r("[1, {\"a\": [2]},\n \"x\"]");
  std::vector<std::string> seen;
  ASSERT_TRUE(r.begin_array("a sequence"));
  while (r.next_element())
    if (r.peek() == json::Reader::Kind::String) seen.emplace_back(r.read_string());
  EXPECT_TRUE(r.finish());
  EXPECT_EQ(seen, std::vector<std::string>{"x"});

  json::Reader bad("{\"a\":1,\n\"b\":tru}");
  ASSERT_TRUE(bad.begin_object("a map"));
  for (std::string_view key; bad.next_key(key);) {
  }
  EXPECT_EQ(bad.error().text(), "expected ident at line 2 column 8");
  EXPECT_EQ(bad.error().code, json::ErrorCode::ExpectedSomeIdent);
}

// ---- Writing ----------------------------------------------------------------------------------

std::string written(const json::Value& value) {
  auto text = json::write_compact(value);
  return text ? *text : "error: " + text.error();
}

TEST(JsonWrite, CompactWithMembersSortedAtEveryDepth) {
  using json::Value;
  EXPECT_EQ(
      written(Value::object({{"params", Value::object({{"clientInfo", Value::object({
                                                                          {"version", "0.1.0"},
                                                                          {"name", "vantrel"},
                                                                      })}})},
                             {"method", "initialize"},
                             {"id", std::uint64_t{1}}})),
      R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"vantrel","version":"0.1.0"}}})");
  EXPECT_EQ(written(Value::object()), "{}");
  EXPECT_EQ(written(Value::Array{nullptr, true, false, -5, std::uint64_t{18446744073709551615u},
                                 2.5, 1e16, Value::Array{}}),
            "[null,true,false,-5,18446744073709551615,2.5,1e+16,[]]");
  // Byte order: upper case before lower case, a prefix before its extensions.
  EXPECT_EQ(written(Value::object({{"b", 1}, {"ab", 2}, {"a", 3}, {"B", 4}, {"\xc3\xa9", 5}})),
            "{\"B\":4,\"a\":3,\"ab\":2,\"b\":1,\"\xc3\xa9\":5}");
  EXPECT_EQ(written("q\"b\\s\b\f\n\r\t\x01\x1f\x7f\xc3\xa9/"), R"("q\"b\\s\b\f\n\r\t\u0001\u001f)"
                                                               "\x7f\xc3\xa9/\"");
}

TEST(JsonWrite, RefusesWhatJsonCannotHold) {
  using json::Value;
  EXPECT_EQ(written(std::nan("")), "error: number is not finite");
  EXPECT_EQ(written(Value::Array{-HUGE_VAL}), "error: number is not finite");
  EXPECT_EQ(written("\xff"), "error: invalid unicode code point");
  EXPECT_EQ(written(Value::object({{"\xed\xa0\x80", 1}})), "error: invalid unicode code point");
  EXPECT_EQ(written(Value::object({{"k", 1}, {"j", 0}, {"k", 2}})), "error: duplicate key `k`");
}

TEST(JsonWrite, WrittenTextReadsBack) {
  std::string text = *json::write_compact(json::Value::object(
      {{"s", "\x01\"\\\xe2\x82\xac"}, {"f", 0.1 + 0.2}, {"n", -9223372036854775807 - 1}}));
  struct Back {
    std::string s;
    double f = 0;
    std::int64_t n = 0;
  } back;
  json::Reader r(text);
  ASSERT_TRUE(r.begin_object("a map"));
  for (std::string_view key; r.next_key(key);) {
    if (key == "s") json::read(r, back.s);
    if (key == "f") json::read(r, back.f);
    if (key == "n") json::read(r, back.n);
  }
  ASSERT_TRUE(r.finish()) << r.error().text();
  EXPECT_EQ(back.s, "\x01\"\\\xe2\x82\xac");
  EXPECT_EQ(back.f, 0.1 + 0.2);
  EXPECT_EQ(back.n, -9223372036854775807 - 1);
}

}  // namespace
}  // namespace vantrel
