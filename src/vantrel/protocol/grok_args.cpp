// The grok command line.
#include "vantrel/protocol/grok_args.h"

#include <array>
#include <utility>

namespace vantrel {
namespace {

constexpr std::array<std::string_view, 3> grok_sandbox_words = {"read-only", "workspace", "off"};

std::string_view grok_sandbox_word(SandboxMode mode) {
  return grok_sandbox_words[static_cast<std::size_t>(mode)];
}

std::string_view permission_mode_for(ApprovalPolicy policy) {
  return policy == ApprovalPolicy::Never ? "dontAsk" : "default";
}

std::optional<RunError> grok_request_error(const RunRequest& request) {
  if (auto error = require_prompt(request)) return error;
  if (auto error = check_exclusive_options(request)) return error;
  if (request.approval && is_set(request.permission_mode))
    return RunError::invalid_request(
        "approval and permission mode are mutually exclusive for the grok agent");
  return reject_unsupported(
      {
          {"add dirs", is_set(request.add_dirs)},
          {"images", is_set(request.images)},
          {"config overrides", is_set(request.config)},
          {"enable flags", is_set(request.enable)},
          {"disable flags", is_set(request.disable)},
          {"strict config", request.strict_config},
          {"ignore user config", request.ignore_user_config},
          {"ignore rules", request.ignore_rules},
          {"require git repo", request.require_git_repo},
          {"output last message path", is_set(request.output_last_message_path)},
          {"dangerously bypass hooks", request.dangerously_bypass_hooks},
          {"resume all", request.resume_all},
      },
      "grok");
}

void append_sandbox_and_permission(std::vector<std::string>& args, const RunRequest& request,
                                   SandboxMode default_sandbox, ApprovalPolicy default_approval) {
  if (request.dangerously_bypass_sandbox) {
    append_args(args, {"--sandbox", "off", "--permission-mode", "bypassPermissions"});
    return;
  }
  // A resumed session keeps its own sandbox unless the request names one.
  if (request.sandbox || !is_resuming(request))
    append_args(args, {"--sandbox", grok_sandbox_word(request.sandbox.value_or(default_sandbox))});
  std::string_view permission =
      is_set(request.permission_mode)
          ? std::string_view(*request.permission_mode)
          : permission_mode_for(request.approval.value_or(default_approval));
  append_args(args, {"--permission-mode", permission});
}

}  // namespace

BuildResult grok_args(const RunRequest& request, SandboxMode default_sandbox,
                      ApprovalPolicy default_approval) {
  if (auto error = grok_request_error(request)) return fail(std::move(*error));
  auto prompt_file = write_temp_file(inherited_variables(request.inherited_env),
                                     "vantrel-grok-prompt-", ".md", combined_prompt(request));
  if (!prompt_file) return fail(std::move(prompt_file).error());
  // Returning early drops the prompt file, which deletes it.
  auto schema = read_schema_text(request);
  if (!schema) return fail(std::move(schema).error());

  Invocation invocation;
  std::vector<std::string>& args = invocation.args;
  append_args(args, {"--no-auto-update", "--output-format", "streaming-messages-json", "--verbatim",
                     "--prompt-file", prompt_file->path_text()});
  if (is_set(request.dir)) append_args(args, {"--cwd", *request.dir});
  if (is_set(request.model)) append_args(args, {"--model", *request.model});
  if (is_set(request.profile)) append_args(args, {"--agent", *request.profile});
  append_sandbox_and_permission(args, request, default_sandbox, default_approval);
  append_each(args, "--allow", request.allowed_tools);
  append_each(args, "--deny", request.disallowed_tools);
  if (*schema) append_args(args, {"--json-schema", **schema});
  if (is_set(request.resume_id)) append_args(args, {"--resume", *request.resume_id});
  if (request.resume_last) args.emplace_back("--continue");

  invocation.temp_files.push_back(std::move(prompt_file).value());
  return invocation;
}

}  // namespace vantrel
