// Tests of the grok command line and its prompt file.
#include "vantrel/protocol/grok_args.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "vantrel/testing/requests.h"
#include "vantrel/testing/scratch_dir.h"

namespace vantrel {
namespace {

using Args = std::vector<std::string>;

// Stands for the path of the invocation's prompt file in an expected argument list.
const std::string prompt_file = "<prompt file>";

Args head() {
  return {"--no-auto-update", "--output-format", "streaming-messages-json",
          "--verbatim",       "--prompt-file",   prompt_file};
}

Args head_and(const Args& rest) {
  Args args = head();
  args.insert(args.end(), rest.begin(), rest.end());
  return args;
}

struct GrokCase {
  std::string name;
  RunRequest request;
  Args args;  // after head()
  std::string prompt_text = "hi";
  SandboxMode default_sandbox = SandboxMode::ReadOnly;
  ApprovalPolicy default_approval = ApprovalPolicy::Never;
};

TEST(GrokArgs, BuildsTheArgumentListInOrder) {
  const GrokCase cases[] = {
      {"prompt only", {.prompt = "hi"}, {"--sandbox", "read-only", "--permission-mode", "dontAsk"}},
      {"resume last keeps the session's sandbox",
       {.prompt = "hi", .resume_last = true},
       {"--permission-mode", "dontAsk", "--continue"}},
      {"resume id with a request sandbox",
       {.prompt = "hi", .sandbox = SandboxMode::WorkspaceWrite, .resume_id = "abc"},
       {"--sandbox", "workspace", "--permission-mode", "dontAsk", "--resume", "abc"}},
      {"every supported option, list entries as given",
       {.prompt = "hi",
        .dir = "/work",
        .model = "grok-4",
        .profile = "coder",
        .sandbox = SandboxMode::DangerFullAccess,
        .permission_mode = "acceptEdits",
        .allowed_tools = {"bash", ""},
        .disallowed_tools = {"web"},
        .persistent = true,
        .output_schema = "{\"type\":\"object\"}",
        .resume_id = "abc"},
       {"--cwd",
        "/work",
        "--model",
        "grok-4",
        "--agent",
        "coder",
        "--sandbox",
        "off",
        "--permission-mode",
        "acceptEdits",
        "--allow",
        "bash",
        "--allow",
        "",
        "--deny",
        "web",
        "--json-schema",
        "{\"type\":\"object\"}",
        "--resume",
        "abc"}},
      {"bypass overrides sandbox, approval and defaults",
       {.prompt = "hi",
        .sandbox = SandboxMode::ReadOnly,
        .approval = ApprovalPolicy::Untrusted,
        .dangerously_bypass_sandbox = true},
       {"--sandbox", "off", "--permission-mode", "bypassPermissions"},
       "hi",
       SandboxMode::WorkspaceWrite,
       ApprovalPolicy::OnRequest},
      {"bypass on resume",
       {.prompt = "hi",
        .permission_mode = "plan",
        .dangerously_bypass_sandbox = true,
        .resume_last = true},
       {"--sandbox", "off", "--permission-mode", "bypassPermissions", "--continue"}},
      {"permission mode wins over the default approval",
       {.prompt = "hi", .permission_mode = "plan"},
       {"--sandbox", "read-only", "--permission-mode", "plan"}},
      {"approval with an empty permission mode",
       {.prompt = "hi", .approval = ApprovalPolicy::OnRequest, .permission_mode = ""},
       {"--sandbox", "read-only", "--permission-mode", "default"}},
      {"request approval never over a default",
       {.prompt = "hi", .approval = ApprovalPolicy::Never},
       {"--sandbox", "workspace", "--permission-mode", "dontAsk"},
       "hi",
       SandboxMode::WorkspaceWrite,
       ApprovalPolicy::Untrusted},
      {"default approval on request",
       {.prompt = "hi"},
       {"--sandbox", "read-only", "--permission-mode", "default"},
       "hi",
       SandboxMode::ReadOnly,
       ApprovalPolicy::OnRequest},
      {"default approval untrusted and sandbox full access",
       {.prompt = "hi"},
       {"--sandbox", "off", "--permission-mode", "default"},
       "hi",
       SandboxMode::DangerFullAccess,
       ApprovalPolicy::Untrusted},
      {"empty texts count as unset",
       {.prompt = "hi",
        .dir = "",
        .model = "",
        .profile = "",
        .output_schema_path = "",
        .output_schema = "",
        .output_last_message_path = "",
        .resume_id = ""},
       {"--sandbox", "read-only", "--permission-mode", "dontAsk"}},
      {"stdin only",
       {.prompt = "", .stdin_text = "data"},
       {"--sandbox", "read-only", "--permission-mode", "dontAsk"},
       "data"},
      {"empty prompt and empty stdin",
       {.prompt = "", .stdin_text = ""},
       {"--sandbox", "read-only", "--permission-mode", "dontAsk"},
       ""},
      {"prompt and stdin",
       {.prompt = "fix", .stdin_text = "log"},
       {"--sandbox", "read-only", "--permission-mode", "dontAsk"},
       "fix\n\n<stdin>\nlog\n</stdin>\n"},
  };
  testing::ScratchDir scratch;
  for (const GrokCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path;
    {
      BuildResult result =
          grok_args(testing::inheriting(c.request), c.default_sandbox, c.default_approval);
      ASSERT_TRUE(result) << result.error().display();
      const Invocation& invocation = *result;
      ASSERT_EQ(invocation.temp_files.size(), 1u);
      path = invocation.temp_files[0].path();
      EXPECT_TRUE(testing::is_temp_name(path, scratch.path(), "vantrel-grok-prompt-", ".md"));
      EXPECT_EQ(testing::permission_bits(path), 0600u);
      EXPECT_EQ(testing::read_file(path), c.prompt_text);
      EXPECT_EQ(invocation.args, testing::with_placeholder(head_and(c.args), prompt_file, path));
      EXPECT_EQ(invocation.stdin_text, "");
      EXPECT_EQ(invocation.cwd, std::nullopt);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

TEST(GrokArgs, PassesTheSchemaFileTextAsAnArgument) {
  testing::ScratchDir scratch;
  struct Case {
    std::string content;
    std::string text;
  };
  const Case cases[] = {
      {"{\"a\": 1}", "{\"a\": 1}"},
      {"\xC3(", "\xEF\xBF\xBD("},
      {"", ""},
  };
  std::string schema = scratch.path() + "/schemas/schema.json";
  std::filesystem::create_directory(scratch.path() + "/schemas");
  for (const Case& c : cases) {
    scratch.write("schemas/schema.json", c.content);
    BuildResult result =
        grok_args(testing::inheriting({.prompt = "hi", .output_schema_path = schema}),
                  SandboxMode::ReadOnly, ApprovalPolicy::Never);
    ASSERT_TRUE(result) << result.error().display();
    const std::string& path = result->temp_files.at(0).path();
    EXPECT_EQ(result->args,
              testing::with_placeholder(head_and({"--sandbox", "read-only", "--permission-mode",
                                                  "dontAsk", "--json-schema", c.text}),
                                        prompt_file, path));
  }
}

TEST(GrokArgs, MissingSchemaFileLeavesNoPromptFile) {
  testing::ScratchDir scratch;
  BuildResult result = grok_args(
      testing::inheriting({.prompt = "hi", .output_schema_path = scratch.path() + "/missing.json"}),
      SandboxMode::ReadOnly, ApprovalPolicy::Never);
  testing::expect_error(result, RunError::Process, "No such file or directory (os error 2)");
  EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
}

TEST(GrokArgs, UncreatablePromptFileIsAProcessError) {
  testing::ScratchDir scratch;
  std::string missing = scratch.path() + "/missing";
  setenv("TMPDIR", missing.c_str(), 1);
  BuildResult result = grok_args(testing::inheriting({.prompt = "hi"}), SandboxMode::ReadOnly,
                                 ApprovalPolicy::Never);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, RunError::Process);
  EXPECT_TRUE(testing::is_error_at_temp_path(result.error().message,
                                             "No such file or directory (os error 2)", missing,
                                             "vantrel-grok-prompt-", ".md"))
      << result.error().message;
}

TEST(GrokArgs, RejectsExclusiveOptionsBeforeUnsupportedOnes) {
  const testing::RejectionCase cases[] = {
      {"no prompt comes first",
       {.add_dirs = {"d"}, .output_schema_path = "a", .output_schema = "b"},
       RunError::PromptRequired,
       ""},
      {"schemas before resumes",
       {.prompt = "p",
        .output_schema_path = "a",
        .output_schema = "b",
        .resume_id = "x",
        .resume_last = true},
       RunError::InvalidRequest,
       "output schema path and inline schema are mutually exclusive"},
      {"resumes before approval and permission mode",
       {.prompt = "p",
        .approval = ApprovalPolicy::Never,
        .permission_mode = "plan",
        .resume_id = "x",
        .resume_last = true},
       RunError::InvalidRequest,
       "resume id and resume last are mutually exclusive"},
      {"approval and permission mode before unsupported options",
       {.prompt = "p",
        .add_dirs = {"d"},
        .approval = ApprovalPolicy::Untrusted,
        .permission_mode = "plan"},
       RunError::InvalidRequest,
       "approval and permission mode are mutually exclusive for the grok agent"},
  };
  testing::ScratchDir scratch;
  for (const testing::RejectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    BuildResult result =
        grok_args(testing::inheriting(c.request), SandboxMode::ReadOnly, ApprovalPolicy::Never);
    testing::expect_error(result, c.kind, c.message);
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
  }
}

TEST(GrokArgs, RejectsTheFirstUnsupportedOptionInOrder) {
  const std::string options[] = {
      "add dirs",
      "images",
      "config overrides",
      "enable flags",
      "disable flags",
      "strict config",
      "ignore user config",
      "ignore rules",
      "require git repo",
      "output last message path",
      "dangerously bypass hooks",
      "resume all",
  };
  testing::ScratchDir scratch;
  RunRequest request{.prompt = "p"};
  for (const std::string& option : options) testing::give_option(request, option, true);
  // With every option given, each one is reported in turn as the ones before it are removed.
  for (const std::string& option : options) {
    BuildResult result = grok_args(request, SandboxMode::ReadOnly, ApprovalPolicy::Never);
    SCOPED_TRACE(option);
    testing::expect_error(result, RunError::InvalidRequest,
                          option + " is not supported by the grok agent");
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
    testing::give_option(request, option, false);
  }
  EXPECT_TRUE(grok_args(request, SandboxMode::ReadOnly, ApprovalPolicy::Never));
}

}  // namespace
}  // namespace vantrel
