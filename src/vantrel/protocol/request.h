// The run request and the runner's settings, as the command-line builders and the engine read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel {

enum class Agent : std::uint8_t { Codex, Claude, Grok };
enum class SandboxMode : std::uint8_t { ReadOnly, WorkspaceWrite, DangerFullAccess };
enum class ApprovalPolicy : std::uint8_t { Untrusted, OnRequest, Never };

// The words of each table: "codex", "read-only", "on-request", ...
std::string_view agent_word(Agent agent);
std::string_view sandbox_mode_word(SandboxMode mode);
std::string_view approval_policy_word(ApprovalPolicy policy);

// Exact, case-sensitive matches of the words above; nullopt for any other text.
std::optional<Agent> parse_agent(std::string_view word);
std::optional<SandboxMode> parse_sandbox_mode(std::string_view word);
std::optional<ApprovalPolicy> parse_approval_policy(std::string_view word);

using EnvPairs = std::vector<std::pair<std::string, std::string>>;

// What a name that cannot be an environment variable's is refused with.
inline constexpr std::string_view illegal_env_name_text = "illegal environment variable name";

// A name the child's environment cannot hold: empty, or holding "=" (which would split it).
bool is_illegal_env_name(std::string_view name);

// The refusal of the first illegal name of `env`, naming it in quotes; none when every name is
// legal.
std::optional<std::string> env_name_refusal(const EnvPairs& env);

// The variables of an inherited environment; none when there is none.
const EnvPairs& inherited_variables(const std::shared_ptr<const EnvPairs>& inherited);

// One configuration override of a request; either text may be empty.
struct ConfigData {
  std::string key;
  std::string value;
  friend bool operator==(const ConfigData&, const ConfigData&) = default;
};

// One run's request, every field already converted. A text counts as set when present and
// non-empty (`is_set`), a list when it has an entry. Every field has a default, so a request
// can be written with designated initializers naming only what it sets.
struct RunRequest {
  std::string prompt{};
  std::optional<std::string> stdin_text{};  // `stdin`; an empty text stays present
  std::optional<std::string> dir{};
  std::vector<std::string> add_dirs{};
  std::vector<std::string> images{};
  std::optional<std::string> model{};
  std::optional<std::string> profile{};
  std::optional<SandboxMode> sandbox{};
  std::optional<ApprovalPolicy> approval{};
  std::optional<std::string> permission_mode{};
  std::vector<std::string> allowed_tools{};
  std::vector<std::string> disallowed_tools{};
  std::vector<ConfigData> config{};
  std::vector<std::string> enable{};
  std::vector<std::string> disable{};
  bool strict_config = false;
  bool persistent = false;
  bool ignore_user_config = false;
  bool ignore_rules = false;
  bool require_git_repo = false;
  std::optional<std::string> output_schema_path{};
  std::optional<std::string> output_schema{};
  std::optional<std::string> output_last_message_path{};
  bool dangerously_bypass_sandbox = false;
  bool dangerously_bypass_hooks = false;
  EnvPairs env{};
  // The environment the child starts from, below the runner's and the request's variables: the
  // host's, copied by whoever makes the request on the host's own thread. None inherits nothing.
  std::shared_ptr<const EnvPairs> inherited_env{};
  std::optional<std::string> resume_id{};
  bool resume_last = false;
  bool resume_all = false;
};

inline bool is_set(const std::optional<std::string>& text) { return text && !text->empty(); }
template <typename Entry>
bool is_set(const std::vector<Entry>& list) {
  return !list.empty();
}

// The runner's settings: made once by the Runner constructor and shared read-only by every run
// and group it starts.
struct RunnerConfig {
  static constexpr std::size_t default_event_buffer = 1024;
  static constexpr std::size_t default_stderr_limit = 1048576;
  static constexpr std::size_t default_scan_max_bytes = 67108864;

  Agent agent = Agent::Codex;
  std::string executable = "codex";  // the agent's word when none is given
  EnvPairs env;                      // in the order given
  std::size_t event_buffer = default_event_buffer;
  std::size_t stderr_limit = default_stderr_limit;  // 0 keeps nothing
  std::size_t scan_max_bytes = default_scan_max_bytes;
  SandboxMode default_sandbox = SandboxMode::ReadOnly;
  ApprovalPolicy default_approval = ApprovalPolicy::Never;
};

}  // namespace vantrel
