// Decoding of the claude and grok agents' JSON lines into events, and the per-run decoder state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "vantrel/json/json.h"
#include "vantrel/protocol/decoded.h"
#include "vantrel/protocol/event.h"
#include "vantrel/protocol/event_record.h"
#include "vantrel/protocol/request.h"

namespace vantrel {
namespace claude {

// Raw fields are views into the text they were read from; the records live only while a line
// is decoded, so nothing is copied until an item keeps it.

struct WireMessage {
  std::string id;
  std::optional<json::Raw> content;
};

struct WireUsage {
  std::int64_t input_tokens = 0;
  std::int64_t cache_creation_input_tokens = 0;
  std::int64_t cache_read_input_tokens = 0;
  std::int64_t output_tokens = 0;
};

// One output line.
struct WireEvent {
  std::optional<std::string> type;
  std::string subtype;
  std::string session_id;
  std::optional<WireMessage> message;
  bool is_error = false;
  std::optional<std::string> result;
  std::vector<std::string> errors;
  WireUsage usage;
  double total_cost_usd = 0.0;
  ModelUsageMap model_usage;  // "modelUsage"
  std::optional<json::Raw> tool_use_result;
};

// One element of a message's content.
struct WireBlock {
  std::string type;
  std::string text;
  std::string thinking;
  std::string id;
  std::string name;
  std::optional<json::Raw> input;
  std::string tool_use_id;
  std::optional<json::Raw> content;
  bool is_error = false;
};

// The input of a tool block: the fields that name a command or a file.
struct WireToolInput {
  std::string command;
  std::string file_path;
  std::string notebook_path;
  std::string target_file;
  std::string path;
};

// The exit code of a finished tool ("exit_code" or "exitCode").
struct ExitCodeResult {
  std::optional<std::int32_t> exit_code;
};

// What a file tool did ("create", "update", ...).
struct FileResult {
  std::string type;
};

// The identifiers of a finished sub-agent.
struct Wire {
  std::string agentId;
  std::string task_id;
  std::string subagent_id;
};

// One element of a tool result's content list.
struct TextBlock {
  std::string type;
  std::string text;
};

// What grok writes, as JSON inside a JSON string, into a tool result's content.
struct GrokResult {
  std::vector<std::uint8_t> output;
  std::string output_for_prompt;
};

void read_json(json::Reader& r, WireMessage& out);
void read_json(json::Reader& r, WireUsage& out);
void read_json(json::Reader& r, WireEvent& out);
void read_json(json::Reader& r, WireBlock& out);
void read_json(json::Reader& r, WireToolInput& out);
void read_json(json::Reader& r, ExitCodeResult& out);
void read_json(json::Reader& r, FileResult& out);
void read_json(json::Reader& r, Wire& out);
void read_json(json::Reader& r, TextBlock& out);
void read_json(json::Reader& r, GrokResult& out);

}  // namespace claude

// ---- Readers of the raw parts -----------------------------------------------------------------

Decoded<claude::WireEvent> decode_wire_event(std::string_view line);
// The exact texts of the elements of a JSON array, in order.
Decoded<std::vector<std::string_view>> decode_raw_list(std::string_view text);
Decoded<claude::WireBlock> decode_wire_block(std::string_view text);
// Never fails: an absent or unreadable input gives the empty record.
claude::WireToolInput decode_tool_input(std::optional<std::string_view> raw);
// The value of a text that is exactly one JSON string; nullopt otherwise.
std::optional<std::string> decode_json_string(std::string_view text);
// The three records a tool use result may hold, each read from a whole text.
Decoded<claude::ExitCodeResult> decode_exit_code_result(std::string_view text);
Decoded<claude::FileResult> decode_file_result(std::string_view text);
Decoded<claude::Wire> decode_wire(std::string_view text);

// The readable text of a tool result's content. Never fails.
std::string tool_result_text(std::optional<std::string_view> content, bool is_grok);
// The number after the last "Exit code " in `text`, when it is a plain 32-bit decimal.
std::optional<std::int32_t> exit_code_from_text(std::string_view text);
// The exit code a tool result reports; without evidence 0, or none for a failed result.
std::optional<std::int32_t> tool_result_exit_code(std::optional<std::string_view> tool_use_result,
                                                  std::optional<std::string_view> content,
                                                  bool is_error, bool is_grok);
// "add" or "update" as the tool use result tells, else none.
std::optional<std::string> tool_result_file_kind(std::optional<std::string_view> tool_use_result);
// The sub-agent's id a finished sub-agent tool call reports, else none.
std::optional<std::string> subagent_thread_id(std::optional<std::string_view> tool_use_result,
                                              std::optional<std::string_view> content,
                                              bool is_grok);

// ---- Decoder state and line decoding ----------------------------------------------------------

// The state a claude or grok run keeps from one line to the next.
struct StreamState {
  std::string last_agent_message;                       // the latest assistant text block
  std::unordered_map<std::string, Item> pending_items;  // tool-use id -> started tool item
  std::unordered_map<std::string, std::uint64_t> block_counters;  // key -> next block number
  bool is_grok = false;
};

// The codex decoder keeps nothing between lines.
struct CodexDecoder {};

// The per-run decoder, chosen by agent at launch: codex, or claude/grok with its stream state
// (`is_grok` tells the last two apart).
using DecoderState = std::variant<CodexDecoder, StreamState>;

DecoderState new_decoder_state(Agent agent);

// Decodes a trimmed, non-empty line with the run's decoder into its events (at least one) or a
// failure text. On failure the state keeps what earlier blocks of the line changed.
Decoded<std::vector<Event>> decode_line(DecoderState& state, std::string_view line,
                                        const std::string& run_id, const std::string& thread_id,
                                        WallTime received_at);

// The run loop's form of decode_line, for a line kept in `frame`'s store: the events, kept by
// `keeper`, go into `events` (emptied first), so that a caller decoding line after line reuses
// one buffer; returns the failure, if any. Every event of the line shares the kept line.
std::optional<DecodeFailure> decode_line_into(DecoderState& state, const Text& line,
                                              const LineFrame& frame, EventKeeper& keeper,
                                              std::vector<SharedEvent>& events);

// A claude or grok line into its events (never none) or a failure text.
Decoded<std::vector<Event>> decode_claude_line(StreamState& state, std::string_view line,
                                               const std::string& run_id,
                                               const std::string& thread_id, WallTime received_at);
// As decode_claude_line, for a line kept in `frame`'s store.
Decoded<std::vector<Event>> decode_claude_kept_line(StreamState& state, const Text& line,
                                                    const LineFrame& frame);

// "K_n" (or "block_n" for the empty key), n counting from 0 per key over the whole run.
std::string block_item_id(StreamState& state, std::string_view key);

// The item kind a tool's name chooses (exact, case-sensitive).
ItemKind tool_item_kind(std::string_view name, bool is_grok);

}  // namespace vantrel
