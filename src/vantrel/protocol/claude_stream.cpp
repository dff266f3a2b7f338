// Decoding of the claude and grok agents' JSON lines into events, and the per-run decoder state.
#include "vantrel/protocol/claude_stream.h"

#include <charconv>
#include <utility>

#include "vantrel/json/utf8.h"
#include "vantrel/protocol/codex_stream.h"
#include "vantrel/protocol/wire_text.h"

namespace vantrel {
namespace claude {
namespace {

using json::Field;
using json::member;
using json::Record;

constexpr Field<WireMessage> message_fields[] = {
    {"id", member<&WireMessage::id>},
    {"content", member<&WireMessage::content>},
};
constexpr Record<WireMessage> message_record{"WireMessage", message_fields};

constexpr Field<WireUsage> usage_fields[] = {
    {"input_tokens", member<&WireUsage::input_tokens>},
    {"cache_creation_input_tokens", member<&WireUsage::cache_creation_input_tokens>},
    {"cache_read_input_tokens", member<&WireUsage::cache_read_input_tokens>},
    {"output_tokens", member<&WireUsage::output_tokens>},
};
constexpr Record<WireUsage> usage_record{"WireUsage", usage_fields};

constexpr Field<WireEvent> event_fields[] = {
    {"type", member<&WireEvent::type>},
    {"subtype", member<&WireEvent::subtype>},
    {"session_id", member<&WireEvent::session_id>},
    {"message", member<&WireEvent::message>},
    {"is_error", member<&WireEvent::is_error>},
    {"result", member<&WireEvent::result>},
    {"errors", member<&WireEvent::errors>},
    {"usage", member<&WireEvent::usage>},
    {"total_cost_usd", member<&WireEvent::total_cost_usd>},
    {"modelUsage", member<&WireEvent::model_usage>},
    {"tool_use_result", member<&WireEvent::tool_use_result>},
};
// The array form must at least hold the type, which may be null.
constexpr Record<WireEvent> event_record{"WireEvent", event_fields, 1};

constexpr Field<WireBlock> block_fields[] = {
    {"type", member<&WireBlock::type>},
    {"text", member<&WireBlock::text>},
    {"thinking", member<&WireBlock::thinking>},
    {"id", member<&WireBlock::id>},
    {"name", member<&WireBlock::name>},
    {"input", member<&WireBlock::input>},
    {"tool_use_id", member<&WireBlock::tool_use_id>},
    {"content", member<&WireBlock::content>},
    {"is_error", member<&WireBlock::is_error>},
};
constexpr Record<WireBlock> block_record{"WireBlock", block_fields};

constexpr Field<WireToolInput> tool_input_fields[] = {
    {"command", member<&WireToolInput::command>},
    {"file_path", member<&WireToolInput::file_path>},
    {"notebook_path", member<&WireToolInput::notebook_path>},
    {"target_file", member<&WireToolInput::target_file>},
    {"path", member<&WireToolInput::path>},
};
constexpr Record<WireToolInput> tool_input_record{"WireToolInput", tool_input_fields};

constexpr Field<ExitCodeResult> exit_code_fields[] = {
    {"exit_code", "exitCode", member<&ExitCodeResult::exit_code>},
};
constexpr Record<ExitCodeResult> exit_code_record{"ToolUseResult", exit_code_fields};

constexpr Field<FileResult> file_fields[] = {
    {"type", member<&FileResult::type>},
};
constexpr Record<FileResult> file_record{"ToolUseResult", file_fields};

constexpr Field<Wire> wire_fields[] = {
    {"agentId", member<&Wire::agentId>},
    {"task_id", member<&Wire::task_id>},
    {"subagent_id", member<&Wire::subagent_id>},
};
constexpr Record<Wire> wire_record{"Wire", wire_fields};

constexpr Field<TextBlock> text_block_fields[] = {
    {"type", member<&TextBlock::type>},
    {"text", member<&TextBlock::text>},
};
constexpr Record<TextBlock> text_block_record{"TextBlock", text_block_fields};

constexpr Field<GrokResult> grok_result_fields[] = {
    {"output", member<&GrokResult::output>},
    {"output_for_prompt", member<&GrokResult::output_for_prompt>},
};
constexpr Record<GrokResult> grok_result_record{"GrokResult", grok_result_fields};

}  // namespace

void read_json(json::Reader& r, WireMessage& out) { read_record(r, message_record, out); }
void read_json(json::Reader& r, WireUsage& out) { read_record(r, usage_record, out); }
void read_json(json::Reader& r, WireEvent& out) { read_record(r, event_record, out); }
void read_json(json::Reader& r, WireBlock& out) { read_record(r, block_record, out); }
void read_json(json::Reader& r, WireToolInput& out) { read_record(r, tool_input_record, out); }
void read_json(json::Reader& r, ExitCodeResult& out) { read_record(r, exit_code_record, out); }
void read_json(json::Reader& r, FileResult& out) { read_record(r, file_record, out); }
void read_json(json::Reader& r, Wire& out) { read_record(r, wire_record, out); }
void read_json(json::Reader& r, TextBlock& out) { read_record(r, text_block_record, out); }
void read_json(json::Reader& r, GrokResult& out) { read_record(r, grok_result_record, out); }

}  // namespace claude

namespace {

using claude::WireBlock;
using claude::WireEvent;

// Reads the whole text as one T, or gives the failure text.
template <class T>
Decoded<T> decode_whole(std::string_view text) {
  T out{};
  if (auto error = json::decode(text, out)) return DecodeFailure{error->text()};
  return out;
}

// Reads the whole text as one T where a failure only means "no such evidence".
template <class T>
std::optional<T> try_decode(std::string_view text) {
  T out{};
  if (json::decode(text, out)) return std::nullopt;
  return out;
}

// The value of a decode whose failure only means "no such evidence".
template <class T>
std::optional<T> value_of(Decoded<T> decoded) {
  if (auto* value = std::get_if<T>(&decoded)) return std::move(*value);
  return std::nullopt;
}

std::optional<std::string_view> view_of(const std::optional<json::Raw>& raw) {
  if (!raw) return std::nullopt;
  return raw->text;
}

std::string_view agent_word(bool is_grok) { return is_grok ? "grok" : "claude"; }

}  // namespace

// ---- Readers of the raw parts -----------------------------------------------------------------

Decoded<WireEvent> decode_wire_event(std::string_view line) {
  return decode_whole<WireEvent>(line);
}

Decoded<std::vector<std::string_view>> decode_raw_list(std::string_view text) {
  std::vector<std::string_view> elements;
  json::Reader r(text);
  if (r.begin_array("a sequence"))
    while (r.next_element()) elements.push_back(r.raw().text);
  if (!r.finish()) return DecodeFailure{r.error().text()};
  return elements;
}

Decoded<WireBlock> decode_wire_block(std::string_view text) {
  return decode_whole<WireBlock>(text);
}

claude::WireToolInput decode_tool_input(std::optional<std::string_view> raw) {
  if (!raw) return {};
  return try_decode<claude::WireToolInput>(*raw).value_or(claude::WireToolInput{});
}

std::optional<std::string> decode_json_string(std::string_view text) {
  return try_decode<std::string>(text);
}

Decoded<claude::ExitCodeResult> decode_exit_code_result(std::string_view text) {
  return decode_whole<claude::ExitCodeResult>(text);
}

Decoded<claude::FileResult> decode_file_result(std::string_view text) {
  return decode_whole<claude::FileResult>(text);
}

Decoded<claude::Wire> decode_wire(std::string_view text) {
  return decode_whole<claude::Wire>(text);
}

std::string tool_result_text(std::optional<std::string_view> content, bool is_grok) {
  if (!content) return {};
  if (auto text = decode_json_string(*content)) {
    if (!is_grok) return std::move(*text);
    auto grok = try_decode<claude::GrokResult>(*text);
    if (!grok) return std::move(*text);
    if (!grok->output.empty())
      return utf8_lossy(std::string_view(reinterpret_cast<const char*>(grok->output.data()),
                                         grok->output.size()));
    if (!grok->output_for_prompt.empty()) return std::move(grok->output_for_prompt);
    return std::move(*text);
  }
  auto blocks = try_decode<std::vector<claude::TextBlock>>(*content);
  std::string joined;
  if (!blocks) return joined;
  bool first = true;
  for (const claude::TextBlock& block : *blocks) {
    if (block.type != "text" || block.text.empty()) continue;
    if (!first) joined += '\n';
    joined += block.text;
    first = false;
  }
  return joined;
}

std::optional<std::int32_t> exit_code_from_text(std::string_view text) {
  constexpr std::string_view marker = "Exit code ";
  std::size_t at = text.rfind(marker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + marker.size());
  std::size_t n = 0;
  while (n < rest.size() && (rest[n] == '-' || (rest[n] >= '0' && rest[n] <= '9'))) ++n;
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + n, value);
  if (ec != std::errc() || end != rest.data() + n) return std::nullopt;
  return value;
}

namespace {

// The exit code of a tool result whose readable text (`tool_result_text` of its content) is known
// already, so the content is not decoded a second time.
std::optional<std::int32_t> exit_code_with_text(std::optional<std::string_view> tool_use_result,
                                                std::optional<std::string_view> content,
                                                std::string_view readable, bool is_error,
                                                bool is_grok) {
  if (tool_use_result) {
    auto result = value_of(decode_exit_code_result(*tool_use_result));
    if (result && result->exit_code) return result->exit_code;
    if (auto text = decode_json_string(*tool_use_result))
      if (auto code = exit_code_from_text(*text)) return code;
  }
  if (is_grok && content) {
    if (auto text = decode_json_string(*content)) {
      auto result = value_of(decode_exit_code_result(*text));
      if (result && result->exit_code) return result->exit_code;
    }
  }
  if (auto code = exit_code_from_text(readable)) return code;
  if (is_error) return std::nullopt;
  return 0;
}

}  // namespace

std::optional<std::int32_t> tool_result_exit_code(std::optional<std::string_view> tool_use_result,
                                                  std::optional<std::string_view> content,
                                                  bool is_error, bool is_grok) {
  return exit_code_with_text(tool_use_result, content, tool_result_text(content, is_grok), is_error,
                             is_grok);
}

std::optional<std::string> tool_result_file_kind(std::optional<std::string_view> tool_use_result) {
  if (!tool_use_result) return std::nullopt;
  auto result = value_of(decode_file_result(*tool_use_result));
  if (!result) return std::nullopt;
  if (result->type == "create") return "add";
  if (result->type == "update") return "update";
  return std::nullopt;
}

std::optional<std::string> subagent_thread_id(std::optional<std::string_view> tool_use_result,
                                              std::optional<std::string_view> content,
                                              bool is_grok) {
  std::optional<claude::Wire> wire;
  if (tool_use_result) {
    wire = value_of(decode_wire(*tool_use_result));
  } else if (is_grok && content) {
    if (auto text = decode_json_string(*content)) wire = value_of(decode_wire(*text));
  }
  if (!wire) return std::nullopt;
  for (std::string* id : {&wire->agentId, &wire->task_id, &wire->subagent_id})
    if (!id->empty()) return std::move(*id);
  return std::nullopt;
}

// ---- Decoder state and line decoding ----------------------------------------------------------

DecoderState new_decoder_state(Agent agent) {
  if (agent == Agent::Codex) return CodexDecoder{};
  StreamState state;
  state.is_grok = agent == Agent::Grok;
  return state;
}

std::optional<DecodeFailure> decode_line_into(DecoderState& state, const Text& line,
                                              const LineFrame& frame, EventKeeper& keeper,
                                              std::vector<SharedEvent>& events) {
  events.clear();
  if (auto* stream = std::get_if<StreamState>(&state)) {
    auto decoded = decode_claude_kept_line(*stream, line, frame);
    if (auto* failure = std::get_if<DecodeFailure>(&decoded)) return std::move(*failure);
    for (const Event& event : std::get<std::vector<Event>>(decoded))
      events.push_back(keeper.keep(event));
    return std::nullopt;
  }
  // A codex line is always one event.
  auto kept = keep_codex_line(line, frame, keeper);
  if (auto* failure = std::get_if<DecodeFailure>(&kept)) return std::move(*failure);
  events.push_back(std::move(std::get<SharedEvent>(kept)));
  return std::nullopt;
}

Decoded<std::vector<Event>> decode_line(DecoderState& state, std::string_view line,
                                        const std::string& run_id, const std::string& thread_id,
                                        WallTime received_at) {
  if (auto* stream = std::get_if<StreamState>(&state))
    return decode_claude_line(*stream, line, run_id, thread_id, received_at);
  auto decoded = decode_codex_line(line, run_id, thread_id, received_at);
  if (auto* failure = std::get_if<DecodeFailure>(&decoded)) return std::move(*failure);
  return std::vector<Event>{std::move(std::get<Event>(decoded))};
}

std::string block_item_id(StreamState& state, std::string_view key) {
  std::uint64_t& counter = state.block_counters[std::string(key)];
  std::string id = key.empty() ? std::string("block") : std::string(key);
  id += '_';
  id += std::to_string(counter++);
  return id;
}

namespace {

// A copy of the base event under another type, with no type-specific data; it shares the line.
Event retyped(const Event& base, EventType::Kind kind) {
  Event event;
  event.type = kind;
  event.run_id = base.run_id;
  event.thread_id = base.thread_id;
  event.raw = base.raw;
  event.received_at = base.received_at;
  return event;
}

// A copy of `base` as item.completed carrying `item`.
Event item_completed_event(const Event& base, Item item) {
  Event event = retyped(base, EventType::ItemCompleted);
  event.item = std::move(item);
  return event;
}

struct ToolName {
  std::string_view name;
  ItemKind::Kind kind;
};

constexpr ToolName tool_names[] = {
    {"Bash", ItemKind::CommandExecution},
    {"run_terminal_command", ItemKind::CommandExecution},
    {"Edit", ItemKind::FileChange},
    {"MultiEdit", ItemKind::FileChange},
    {"NotebookEdit", ItemKind::FileChange},
    {"Write", ItemKind::FileChange},
    {"write", ItemKind::FileChange},
    {"search_replace", ItemKind::FileChange},
    {"Task", ItemKind::CollabToolCall},
    {"Agent", ItemKind::CollabToolCall},
    {"spawn_subagent", ItemKind::CollabToolCall},
    {"TodoWrite", ItemKind::PlanUpdate},
    {"todo_write", ItemKind::PlanUpdate},
    {"WebSearch", ItemKind::WebSearch},
    {"web_search", ItemKind::WebSearch},
    {"web_fetch", ItemKind::WebSearch},
};

}  // namespace

ItemKind tool_item_kind(std::string_view name, bool is_grok) {
  for (const ToolName& row : tool_names)
    if (row.name == name) return row.kind;
  if (is_grok && name == "use_tool") return ItemKind::McpToolCall;
  if (name.starts_with("mcp__")) return ItemKind::McpToolCall;
  return ItemKind::ToolCall;
}

namespace {

// Where a line's item texts go: parts of the line's kept raw text, or copies in the run's store.
struct LineTexts {
  const Text& line;
  const RunStore& store;
  Text part(std::string_view raw) const { return text_in(line, raw, store); }
  Text keep(std::string_view text) const { return store.keep(text); }
};

Item finished_item(const LineTexts& texts, std::string_view id, ItemKind::Kind kind,
                   std::string_view text, std::string_view raw) {
  Item item;
  item.id = texts.keep(id);
  item.kind = kind;
  item.status = "completed";
  item.text = texts.keep(text);
  item.raw = texts.part(raw);
  return item;
}

// The started item of a tool block, also kept as pending until its result arrives.
Item started_tool_item(const LineTexts& texts, const WireBlock& block, std::string_view raw,
                       bool is_grok) {
  Item item;
  item.id = texts.keep(block.id);
  item.kind = tool_item_kind(block.name, is_grok);
  item.status = "in_progress";
  item.raw = texts.part(raw);
  claude::WireToolInput input = decode_tool_input(view_of(block.input));
  switch (item.kind.kind) {
    case ItemKind::CommandExecution: item.command = texts.keep(input.command); break;
    case ItemKind::FileChange: {
      std::string* path = &input.path;
      for (std::string* candidate : {&input.file_path, &input.notebook_path, &input.target_file})
        if (!candidate->empty()) {
          path = candidate;
          break;
        }
      const bool adds = block.name == "Write" || block.name == "write";
      item.changes.push_back(FileChange{texts.keep(*path), adds ? "add" : "update"});
      break;
    }
    case ItemKind::CollabToolCall: item.tool = texts.keep(block.name); break;
    default: break;
  }
  return item;
}

std::optional<Item> take_pending(StreamState& state, const std::string& tool_use_id) {
  auto found = state.pending_items.find(tool_use_id);
  if (found == state.pending_items.end()) return std::nullopt;
  Item item = std::move(found->second);
  state.pending_items.erase(found);
  return item;
}

// The parts common to every tool result: its raw block, output and status.
void complete_with_result(const LineTexts& texts, Item& item, const WireBlock& block,
                          std::string_view raw, bool is_grok) {
  item.raw = texts.part(raw);
  item.aggregated_output = texts.keep(tool_result_text(view_of(block.content), is_grok));
  item.status = block.is_error ? "failed" : "completed";
}

// The blocks of a message's content, or none when it has no content list.
std::vector<std::string_view> content_blocks(const WireEvent& wire) {
  if (!wire.message || !wire.message->content) return {};
  auto list = decode_raw_list(wire.message->content->text);
  if (auto* blocks = std::get_if<std::vector<std::string_view>>(&list)) return std::move(*blocks);
  return {};
}

Decoded<std::vector<Event>> user_tool_results(StreamState& state, const Event& base,
                                              const WireEvent& wire, const RunStore& store) {
  const LineTexts texts{base.raw, store};
  std::vector<Event> events;
  for (std::string_view raw : content_blocks(wire)) {
    Decoded<WireBlock> decoded = decode_wire_block(raw);
    if (auto* failure = std::get_if<DecodeFailure>(&decoded)) return std::move(*failure);
    const WireBlock& block = std::get<WireBlock>(decoded);
    if (block.type != "tool_result") continue;
    std::optional<Item> item = take_pending(state, block.tool_use_id);
    if (!item) continue;
    complete_with_result(texts, *item, block, raw, state.is_grok);
    const auto tool_use_result = view_of(wire.tool_use_result);
    switch (item->kind.kind) {
      case ItemKind::CommandExecution:
        item->exit_code =
            exit_code_with_text(tool_use_result, view_of(block.content), item->aggregated_output,
                                block.is_error, state.is_grok);
        break;
      case ItemKind::FileChange:
        if (!item->changes.empty() && tool_use_result)
          if (auto kind = tool_result_file_kind(tool_use_result))
            item->changes.front().kind = std::move(*kind);
        break;
      case ItemKind::CollabToolCall:
        if (auto id = subagent_thread_id(tool_use_result, view_of(block.content), state.is_grok))
          item->receiver_thread_ids = {std::move(*id)};
        break;
      default: break;
    }
    events.push_back(item_completed_event(base, std::move(*item)));
  }
  return events;
}

Usage result_usage(const WireEvent& wire) {
  Usage usage;
  usage.input_tokens = wire.usage.input_tokens;
  usage.cache_creation_input_tokens = wire.usage.cache_creation_input_tokens;
  usage.cached_input_tokens = wire.usage.cache_read_input_tokens;
  usage.output_tokens = wire.usage.output_tokens;
  usage.total_cost_usd = wire.total_cost_usd;
  usage.model_usage = wire.model_usage;
  std::int64_t total = 0;
  if (wire.model_usage.empty()) {
    for (std::int64_t count : {usage.input_tokens, usage.output_tokens, usage.cached_input_tokens,
                               usage.cache_creation_input_tokens})
      total = wrapping_add(total, count);
  } else {
    for (const auto& [model, m] : wire.model_usage)
      for (std::int64_t count : {m.input_tokens, m.output_tokens, m.cache_read_input_tokens,
                                 m.cache_creation_input_tokens})
        total = wrapping_add(total, count);
  }
  usage.total_tokens = total;
  return usage;
}

std::string failure_message(const StreamState& state, const WireEvent& wire) {
  if (wire.result && !wire.result->empty()) return *wire.result;
  if (!wire.errors.empty()) {
    std::string joined = wire.errors.front();
    for (std::size_t i = 1; i < wire.errors.size(); ++i) joined += "; " + wire.errors[i];
    return joined;
  }
  return std::string(agent_word(state.is_grok)) + " run failed";
}

// The events of a "result" line: turn.failed, or turn.completed preceded by the result text as
// an agent message when it differs from the last one.
std::vector<Event> claude_result_outcome(const StreamState& state, const Event& base,
                                         const WireEvent& wire, const RunStore& store) {
  std::vector<Event> events;
  if (wire.is_error) {
    Event failed = retyped(base, EventType::TurnFailed);
    failed.usage = result_usage(wire);
    failed.message = store.keep(failure_message(state, wire));
    failed.raw_error = base.raw;
    events.push_back(std::move(failed));
    return events;
  }
  const std::string_view result = wire.result ? std::string_view(*wire.result) : "";
  if (!result.empty() && result != state.last_agent_message) {
    events.push_back(item_completed_event(
        base,
        finished_item({base.raw, store}, "result", ItemKind::AgentMessage, result, base.raw)));
  }
  Event completed = retyped(base, EventType::TurnCompleted);
  completed.usage = result_usage(wire);
  events.push_back(std::move(completed));
  return events;
}

// The item events of an assistant line's blocks, in order (possibly none), or a failure text.
Decoded<std::vector<Event>> claude_message_items(StreamState& state, const Event& base,
                                                 const WireEvent& wire, const RunStore& store) {
  const LineTexts texts{base.raw, store};
  std::vector<Event> events;
  const std::string_view key = wire.message ? std::string_view(wire.message->id) : "";
  for (std::string_view raw : content_blocks(wire)) {
    Decoded<WireBlock> decoded = decode_wire_block(raw);
    if (auto* failure = std::get_if<DecodeFailure>(&decoded)) return std::move(*failure);
    WireBlock& block = std::get<WireBlock>(decoded);
    if (block.type == "text") {
      state.last_agent_message = block.text;
      events.push_back(
          item_completed_event(base, finished_item(texts, block_item_id(state, key),
                                                   ItemKind::AgentMessage, block.text, raw)));
    } else if (block.type == "thinking") {
      events.push_back(
          item_completed_event(base, finished_item(texts, block_item_id(state, key),
                                                   ItemKind::Reasoning, block.thinking, raw)));
    } else if (block.type == "tool_use" || block.type == "server_tool_use") {
      Item item = started_tool_item(texts, block, raw, state.is_grok);
      state.pending_items.insert_or_assign(block.id, item);
      Event started = retyped(base, EventType::ItemStarted);
      started.item = std::move(item);
      events.push_back(std::move(started));
    } else if (block.type == "web_search_tool_result") {
      std::optional<Item> item = take_pending(state, block.tool_use_id);
      if (!item) continue;
      complete_with_result(texts, *item, block, raw, state.is_grok);
      events.push_back(item_completed_event(base, std::move(*item)));
    }
  }
  return events;
}

}  // namespace

Decoded<std::vector<Event>> decode_claude_kept_line(StreamState& state, const Text& line,
                                                    const LineFrame& frame) {
  Decoded<WireEvent> decoded = decode_wire_event(line);
  if (auto* failure = std::get_if<DecodeFailure>(&decoded)) return std::move(*failure);
  const WireEvent& wire = std::get<WireEvent>(decoded);
  if (!wire.type) return DecodeFailure{"missing event type"};

  const RunStore& store = *frame.store;
  Event base;
  base.type.other = *wire.type;  // every line's base event is Other, whatever its word
  base.run_id = frame.run_id;
  // Most lines name the thread already known: that text is shared, not kept again.
  if (wire.session_id.empty() || wire.session_id == frame.thread_id)
    base.thread_id = frame.thread_id;
  else
    base.thread_id = store.keep(wire.session_id);
  // Every event of the line shares the one kept line.
  base.raw = is_valid_utf8(line) ? line : store.keep(utf8_lossy(line));
  base.received_at = frame.received_at;

  std::vector<Event> events;
  const std::string& type = *wire.type;
  if (type == "system") {
    if (wire.subtype == "init") {
      Event started = retyped(base, EventType::ThreadStarted);
      if (!wire.session_id.empty()) started.started_thread_id = base.thread_id;
      events.push_back(std::move(started));
      events.push_back(retyped(base, EventType::TurnStarted));
    }
  } else if (type == "assistant" || type == "user") {
    auto items = type == "assistant" ? claude_message_items(state, base, wire, store)
                                     : user_tool_results(state, base, wire, store);
    if (auto* failure = std::get_if<DecodeFailure>(&items)) return std::move(*failure);
    events = std::move(std::get<std::vector<Event>>(items));
  } else if (type == "result") {
    return claude_result_outcome(state, base, wire, store);
  }
  if (events.empty()) events.push_back(std::move(base));
  return events;
}

Decoded<std::vector<Event>> decode_claude_line(StreamState& state, std::string_view line,
                                               const std::string& run_id,
                                               const std::string& thread_id, WallTime received_at) {
  LoneLine lone(line, run_id, thread_id, received_at);
  return decode_claude_kept_line(state, lone.line, lone.frame);
}

}  // namespace vantrel
