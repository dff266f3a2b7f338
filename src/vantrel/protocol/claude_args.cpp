// The claude command line.
#include "vantrel/protocol/claude_args.h"

#include <utility>

namespace vantrel {
namespace {

std::optional<RunError> claude_request_error(const RunRequest& request) {
  if (auto error = require_prompt(request)) return error;
  if (auto error = check_exclusive_options(request)) return error;
  return reject_unsupported(
      {
          {"images", is_set(request.images)},
          {"profile", is_set(request.profile)},
          {"sandbox", request.sandbox.has_value()},
          {"approval", request.approval.has_value()},
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
      "claude");
}

}  // namespace

BuildResult claude_args(const RunRequest& request) {
  if (auto error = claude_request_error(request)) return fail(std::move(*error));
  auto schema = read_schema_text(request);
  if (!schema) return fail(std::move(schema).error());

  Invocation invocation;
  std::vector<std::string>& args = invocation.args;
  append_args(args, {"-p", "--output-format", "stream-json", "--verbose"});
  if (is_set(request.model)) append_args(args, {"--model", *request.model});
  if (is_set(request.permission_mode))
    append_args(args, {"--permission-mode", *request.permission_mode});
  append_each(args, "--allowed-tools", request.allowed_tools);
  append_each(args, "--disallowed-tools", request.disallowed_tools);
  if (request.dangerously_bypass_sandbox) args.emplace_back("--dangerously-skip-permissions");
  if (!request.persistent) args.emplace_back("--no-session-persistence");
  append_each(args, "--add-dir", request.add_dirs);
  if (*schema) append_args(args, {"--json-schema", **schema});
  if (is_set(request.resume_id)) append_args(args, {"--resume", *request.resume_id});
  if (request.resume_last) args.emplace_back("--continue");

  invocation.stdin_text = combined_prompt(request);
  if (is_set(request.dir)) invocation.cwd = *request.dir;
  return invocation;
}

}  // namespace vantrel
