// The word tables of the agent kind, sandbox mode and approval policy, and the rule for
// environment variable names.
#include "vantrel/protocol/request.h"

#include <array>

namespace vantrel {
namespace {

constexpr std::array<std::string_view, 3> agent_words = {"codex", "claude", "grok"};
constexpr std::array<std::string_view, 3> sandbox_words = {"read-only", "workspace-write",
                                                           "danger-full-access"};
constexpr std::array<std::string_view, 3> approval_words = {"untrusted", "on-request", "never"};

template <typename Enum>
std::optional<Enum> parse_word(const std::array<std::string_view, 3>& words,
                               std::string_view word) {
  for (std::size_t i = 0; i < words.size(); ++i)
    if (words[i] == word) return static_cast<Enum>(i);
  return std::nullopt;
}

}  // namespace

std::string_view agent_word(Agent agent) { return agent_words[static_cast<std::size_t>(agent)]; }
std::string_view sandbox_mode_word(SandboxMode mode) {
  return sandbox_words[static_cast<std::size_t>(mode)];
}
std::string_view approval_policy_word(ApprovalPolicy policy) {
  return approval_words[static_cast<std::size_t>(policy)];
}

std::optional<Agent> parse_agent(std::string_view word) {
  return parse_word<Agent>(agent_words, word);
}
std::optional<SandboxMode> parse_sandbox_mode(std::string_view word) {
  return parse_word<SandboxMode>(sandbox_words, word);
}
std::optional<ApprovalPolicy> parse_approval_policy(std::string_view word) {
  return parse_word<ApprovalPolicy>(approval_words, word);
}

bool is_illegal_env_name(std::string_view name) {
  return name.empty() || name.find('=') != std::string_view::npos;
}

std::optional<std::string> env_name_refusal(const EnvPairs& env) {
  for (const auto& [name, value] : env)
    if (is_illegal_env_name(name)) return std::string(illegal_env_name_text) + ": \"" + name + "\"";
  return std::nullopt;
}

const EnvPairs& inherited_variables(const std::shared_ptr<const EnvPairs>& inherited) {
  static const EnvPairs none;
  return inherited ? *inherited : none;
}

}  // namespace vantrel
