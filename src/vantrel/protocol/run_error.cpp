// Run errors and run ids.
#include "vantrel/protocol/run_error.h"

#include <array>
#include <atomic>
#include <chrono>

#include "vantrel/json/json.h"

namespace vantrel {
namespace {

constexpr std::array<std::string_view, 10> kind_words = {
    "promptRequired", "invalidRequest", "exit",    "decode",    "codex",
    "claude",         "grok",           "handler", "cancelled", "process"};

RunError with_message(RunError::Kind kind, std::string message) {
  RunError error;
  error.kind = kind;
  error.message = std::move(message);
  return error;
}

// Unsigned 128-bit decimal: nanoseconds since the epoch do not fit 64 bits in every clock range.
std::string u128_decimal(unsigned __int128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::atomic<std::uint64_t> run_counter{0};

}  // namespace

RunError RunError::invalid_request(std::string reason) {
  return with_message(InvalidRequest, std::move(reason));
}

RunError RunError::exit(std::string stderr_tail, std::optional<Event> last_event,
                        std::int32_t code) {
  RunError error;
  error.kind = Exit;
  error.stderr_text = std::move(stderr_tail);
  error.event = std::move(last_event);
  error.code = code;
  return error;
}

RunError RunError::decode(std::string message, std::optional<std::string> raw_line,
                          std::uint64_t line) {
  RunError error = with_message(Decode, std::move(message));
  error.raw_line = std::move(raw_line);
  error.line = line;
  return error;
}

RunError RunError::handler(std::string message) {
  return with_message(Handler, std::move(message));
}

RunError RunError::cancelled() {
  RunError error;
  error.kind = Cancelled;
  return error;
}

RunError RunError::process(std::string message) {
  return with_message(Process, std::move(message));
}

std::string_view RunError::kind_word() const { return kind_words[kind]; }

std::string RunError::display() const {
  switch (kind) {
    case PromptRequired: return "vantrel: prompt or stdin is required";
    case InvalidRequest: return "vantrel: invalid request: " + message;
    case Exit: return "agent exited with code " + std::to_string(code);
    case Decode: return "decode agent JSONL line " + std::to_string(line) + ": " + message;
    case Codex:
    case Claude:
    case Grok: return message;
    case Handler: return "agent event handler failed: " + message;
    case Cancelled: return "agent run cancelled";
    case Process: return "agent process error: " + message;
  }
  return message;
}

RunError agent_failure(Agent agent, const Event& last_event) {
  static constexpr RunError::Kind kinds[] = {RunError::Codex, RunError::Claude, RunError::Grok};
  std::string text(agent_word(agent));
  if (last_event.message.empty())
    text += " error event";
  else if (last_event.type.kind == EventType::TurnFailed)
    text += " turn failed: " + last_event.message;
  else
    text += " error: " + last_event.message;
  RunError error = with_message(kinds[static_cast<int>(agent)], std::move(text));
  error.event = last_event;
  return error;
}

std::string new_run_id() {
  using namespace std::chrono;
  auto since_epoch = system_clock::now().time_since_epoch();
  unsigned __int128 nanos = 0;
  if (since_epoch.count() > 0) {
    auto secs = duration_cast<seconds>(since_epoch);
    auto rest = duration_cast<nanoseconds>(since_epoch - secs);
    nanos = static_cast<unsigned __int128>(secs.count()) * 1000000000u +
            static_cast<unsigned __int128>(rest.count());
  }
  std::uint64_t sequence = run_counter.fetch_add(1, std::memory_order_seq_cst) + 1;
  return "run-" + u128_decimal(nanos) + "-" + std::to_string(sequence);
}

RunError with_context(RunError error, std::string_view stderr_tail) {
  std::string_view trimmed = json::trim_unicode_space(stderr_tail);
  if (trimmed.empty() || error.kind != RunError::Process) return error;
  error.message += ": ";
  error.message += trimmed;
  return error;
}

}  // namespace vantrel
