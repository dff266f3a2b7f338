// libFuzzer target over the JSON reader and the agent line decoders.
//
// The first byte of an input picks a mode (its value modulo the number of modes; the seed corpus
// starts each file with '0' + mode), the rest is the text. Whatever the bytes, each mode must end
// in a value or a failure text: a crash, a sanitizer report, an exception or a broken invariant
// checked here is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "vantrel/json/json.h"
#include "vantrel/json/utf8.h"
#include "vantrel/protocol/claude_stream.h"
#include "vantrel/protocol/codex_stream.h"
#include "vantrel/protocol/decoded.h"
#include "vantrel/protocol/event.h"

namespace {

using namespace vantrel;

// A broken invariant is reported as a crash, so libFuzzer keeps the input.
void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// A reader failure names its position, inside the text.
void check_error(const json::Error& error, std::string_view text) {
  require(!error.description.empty(), "empty error description");
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  require(error.line >= 1 && error.line <= lines, "error line outside the text");
  require(error.column <= text.size(), "error column outside the text");
  const std::string full = error.text();
  require(full.starts_with(error.description) && full.find(" at line ") != std::string::npos,
          "error text without its position");
}

// Plain validation, whole validation and the raw slice of the same value. Whole validation
// (strings decoded, numbers converted) fails where plain validation does, with the same error,
// and beyond that only for bad UTF-8 or a number beyond a double: an escape plain validation
// takes, a lone surrogate included, decodes. A raw value is also checked for UTF-8, so it fails on
// every text validation fails on, and beyond those only for bad UTF-8; its slice is the text
// without the white space around it.
void validate(std::string_view text) {
  json::Reader plain(text);
  plain.skip();
  const bool valid = plain.finish();
  if (!valid) check_error(plain.error(), text);

  json::Reader whole(text);
  whole.check_value();
  if (!whole.finish()) {
    check_error(whole.error(), text);
    const json::ErrorCode code = whole.error().code;
    require(code == json::ErrorCode::InvalidUnicodeCodePoint ||
                code == json::ErrorCode::NumberOutOfRange || whole.error() == plain.error(),
            "whole validation fails for another reason than plain validation");
  } else {
    require(valid, "whole validation accepts a text plain validation rejects");
  }

  json::Reader sliced(text);
  json::Raw raw = sliced.raw();
  if (!sliced.finish()) {
    check_error(sliced.error(), text);
    require(!valid || sliced.error().code == json::ErrorCode::InvalidUnicodeCodePoint,
            "raw reading fails on a valid text for another reason than UTF-8");
    return;
  }
  require(valid, "raw reading accepts a text validation rejects");
  constexpr std::string_view space = " \t\n\r";
  const std::size_t first = text.find_first_not_of(space);
  const std::size_t last = text.find_last_not_of(space);
  require(first != std::string_view::npos && raw.text.data() == text.data() + first &&
              raw.text.size() == last - first + 1,
          "raw slice is not the text without its surrounding white space");
}

// A string read as its source and unescaped later reads as read_string reads it, and fails
// where read_string fails.
void string_source(std::string_view text) {
  json::Reader decoded(text);
  std::string value;
  decoded.read_string(value);
  const bool read = decoded.finish();
  json::Reader kept(text);
  bool escaped = false;
  std::string_view source = kept.read_string_source(escaped);
  require(kept.finish() == read, "reading a string's source fails where reading it does not");
  if (!read) {
    require(kept.error() == decoded.error(), "a string's source fails otherwise than the string");
    return;
  }
  require(json::unescape_string_source(source) == value, "an unescaped source reads otherwise");
  require(escaped || source == value, "a source without escapes is not the string itself");
}

// Walks any value with the pull reader, reading every scalar with its own rule.
void walk(json::Reader& r) {
  const std::optional<json::Reader::Kind> kind = r.peek();
  if (!kind) return;
  switch (*kind) {
    case json::Reader::Kind::Null: r.read_null(); break;
    case json::Reader::Kind::Bool: r.read_bool(); break;
    case json::Reader::Kind::Number: {
      std::optional<json::Reader::Number> number = r.read_number("a number");
      if (number && number->type == json::Reader::Number::F64) (void)json::float_text(number->f);
      break;
    }
    case json::Reader::Kind::String: (void)json::found_string(r.read_string()); break;
    case json::Reader::Kind::Array:
      if (r.begin_array("a sequence"))
        while (r.next_element()) walk(r);
      break;
    case json::Reader::Kind::Object:
      if (r.begin_object("a map"))
        for (std::string_view key; r.next_key(key);) walk(r);
      break;
  }
}

void pull(std::string_view text) {
  json::Reader r(text);
  walk(r);
  if (!r.finish()) check_error(r.error(), text);
}

// Reads the whole text as one T with json::decode.
template <class T>
void typed(std::string_view text) {
  T out{};
  if (std::optional<json::Error> error = json::decode(text, out)) check_error(*error, text);
}

// A record of the lenient rules, the owned raw copy and the narrow integer types.
struct Lenient {
  std::optional<std::string> text;
  std::string text_or_empty;
  bool flag = false;
  double number = 0;
  std::int64_t integer = 0;
  std::optional<std::string> raw;
  std::uint8_t small = 0;
  std::int32_t medium = 0;
  std::uint64_t large = 0;
};

constexpr json::Field<Lenient> lenient_fields[] = {
    {"text", json::member<&Lenient::text, json::lenient_text>},
    {"text_or_empty", json::member<&Lenient::text_or_empty, json::lenient_text_or_empty>},
    {"flag", json::member<&Lenient::flag, json::lenient_bool>},
    {"number", json::member<&Lenient::number, json::lenient_float>},
    {"integer", "int", json::member<&Lenient::integer, json::lenient_integer>},
    {"raw", json::member<&Lenient::raw, json::raw_copy>},
    {"small", json::member<&Lenient::small>},
    {"medium", json::member<&Lenient::medium>},
    {"large", json::member<&Lenient::large>},
};
constexpr json::Record<Lenient> lenient_record{"Lenient", lenient_fields, 2};

void read_json(json::Reader& r, Lenient& out) { json::read_record(r, lenient_record, out); }

void check_failure(const DecodeFailure& failure) {
  require(!failure.text.empty(), "empty failure text");
}

void check_events(const Decoded<std::vector<Event>>& decoded) {
  if (const auto* failure = std::get_if<DecodeFailure>(&decoded)) return check_failure(*failure);
  require(!std::get<std::vector<Event>>(decoded).empty(), "a decoded line without events");
}

// The fast path of codex lines takes a line only when the reader reads it, and then gives
// exactly the reader's fields.
void check_fast_path(std::string_view line) {
  codex::WireLine fast;
  if (!codex::scan_wire_line(line, fast)) return;
  codex::WireLine read;
  require(!json::decode(line, read), "fast path took a line the reader fails");
  require(fast == read, "fast path read other fields than the reader");
}

const std::string run_id = "run-1";
const std::string thread_id = "thread-1";

// Decodes with one state kept across inputs, as a run keeps it across lines. After each input,
// failed or not, a well-formed line must still decode, so no failure leaves the state broken.
template <Agent agent>
void stream(std::string_view line) {
  static DecoderState state = new_decoder_state(agent);
  // Inputs of distinct tool ids would grow the state without bound over a long session.
  if (auto* s = std::get_if<StreamState>(&state);
      s && s->pending_items.size() + s->block_counters.size() > 4096)
    state = new_decoder_state(agent);

  if constexpr (agent == Agent::Codex) check_fast_path(line);
  check_events(decode_line(state, line, run_id, thread_id, WallTime{}));
  const std::string_view probe =
      agent == Agent::Codex ? R"({"type":"turn.started"})" : R"({"type":"result","result":"ok"})";
  Decoded<std::vector<Event>> after = decode_line(state, probe, run_id, thread_id, WallTime{});
  require(std::holds_alternative<std::vector<Event>>(after), "state unusable after an input");
}

// The tool-result helpers the claude decoder applies to a result's raw parts, and lossy UTF-8.
void tool_results(std::string_view text) {
  const std::optional<std::string_view> part(text);
  for (bool is_grok : {false, true}) {
    (void)tool_result_text(part, is_grok);
    (void)tool_result_exit_code(part, part, false, is_grok);
    (void)tool_result_exit_code(std::nullopt, part, true, is_grok);
    (void)subagent_thread_id(part, part, is_grok);
    (void)subagent_thread_id(std::nullopt, part, is_grok);
  }
  (void)tool_result_file_kind(part);
  (void)decode_tool_input(part);
  (void)exit_code_from_text(text);
  if (auto list = decode_raw_list(text); auto* failure = std::get_if<DecodeFailure>(&list))
    check_failure(*failure);
  (void)json::trim_unicode_space(text);
  const std::string lossy = utf8_lossy(text);
  require(utf8_lossy(lossy) == lossy, "lossy decoding left invalid UTF-8");
}

void codex_item(std::string_view text) {
  Decoded<Item> item = decode_codex_item(text);
  if (auto* failure = std::get_if<DecodeFailure>(&item)) check_failure(*failure);
}

using Mode = void (*)(std::string_view);

constexpr Mode modes[] = {
    validate,                                                                    // '0'
    pull,                                                                        // '1'
    typed<Usage>,                                                                // '2'
    typed<ModelUsageMap>,                                                        // '3'
    typed<std::vector<FileChange>>,                                              // '4'
    typed<codex::WireEvent>,                                                     // '5'
    codex_item,                                                                  // '6'
    typed<claude::WireEvent>,                                                    // '7'
    typed<std::vector<claude::WireBlock>>,                                       // '8'
    typed<claude::GrokResult>,                                                   // '9'
    typed<std::vector<Lenient>>,                                                 // ':'
    stream<Agent::Codex>,                                                        // ';'
    stream<Agent::Claude>,                                                       // '<'
    stream<Agent::Grok>,                                                         // '='
    tool_results,                                                                // '>'
    typed<std::unordered_map<std::string, std::vector<std::optional<double>>>>,  // '?'
    string_source,                                                               // '@'
};
constexpr std::size_t mode_count = sizeof(modes) / sizeof(modes[0]);
static_assert(mode_count == 17, "the seed corpus names modes '0' to '@'");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  // The first byte names the mode from '0' on.
  modes[static_cast<unsigned char>(data[0] - '0') % mode_count](text);
  return 0;
}
