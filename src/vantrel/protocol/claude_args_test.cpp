// Tests of the claude command line.
#include "vantrel/protocol/claude_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vantrel/testing/requests.h"
#include "vantrel/testing/scratch_dir.h"

namespace vantrel {
namespace {

using Args = std::vector<std::string>;

struct ClaudeCase {
  std::string name;
  RunRequest request;
  Args args;
  std::string stdin_text = "hi";
  std::optional<std::string> cwd = std::nullopt;
};

TEST(ClaudeArgs, BuildsTheArgumentListInOrder) {
  const ClaudeCase cases[] = {
      {"prompt only",
       {.prompt = "hi"},
       {"-p", "--output-format", "stream-json", "--verbose", "--no-session-persistence"}},
      {"every supported option, list entries as given",
       {.prompt = "hi",
        .dir = "/work",
        .add_dirs = {"/a", ""},
        .model = "opus",
        .permission_mode = "acceptEdits",
        .allowed_tools = {"Bash", ""},
        .disallowed_tools = {"Write"},
        .persistent = true,
        .output_schema = "{\"type\":\"object\"}",
        .dangerously_bypass_sandbox = true,
        .resume_id = "abc"},
       {"-p",
        "--output-format",
        "stream-json",
        "--verbose",
        "--model",
        "opus",
        "--permission-mode",
        "acceptEdits",
        "--allowed-tools",
        "Bash",
        "--allowed-tools",
        "",
        "--disallowed-tools",
        "Write",
        "--dangerously-skip-permissions",
        "--add-dir",
        "/a",
        "--add-dir",
        "",
        "--json-schema",
        "{\"type\":\"object\"}",
        "--resume",
        "abc"},
       "hi",
       "/work"},
      {"resume last",
       {.prompt = "hi", .resume_last = true},
       {"-p", "--output-format", "stream-json", "--verbose", "--no-session-persistence",
        "--continue"}},
      {"empty texts count as unset",
       {.prompt = "hi",
        .dir = "",
        .model = "",
        .profile = "",
        .permission_mode = "",
        .output_schema_path = "",
        .output_schema = "",
        .output_last_message_path = "",
        .resume_id = ""},
       {"-p", "--output-format", "stream-json", "--verbose", "--no-session-persistence"}},
      {"require git repo false and an empty resume id with resume last pass",
       {.prompt = "hi", .require_git_repo = false, .resume_id = "", .resume_last = true},
       {"-p", "--output-format", "stream-json", "--verbose", "--no-session-persistence",
        "--continue"}},
      {"stdin only",
       {.prompt = "", .stdin_text = "data"},
       {"-p", "--output-format", "stream-json", "--verbose", "--no-session-persistence"},
       "data"},
      {"prompt and empty stdin",
       {.prompt = "p", .stdin_text = ""},
       {"-p", "--output-format", "stream-json", "--verbose", "--no-session-persistence"},
       "p\n\n<stdin>\n\n</stdin>\n"},
  };
  testing::ScratchDir scratch;
  for (const ClaudeCase& c : cases) {
    SCOPED_TRACE(c.name);
    BuildResult result = claude_args(c.request);
    ASSERT_TRUE(result) << result.error().display();
    EXPECT_EQ(result->args, c.args);
    EXPECT_EQ(result->stdin_text, c.stdin_text);
    EXPECT_EQ(result->cwd, c.cwd);
    EXPECT_TRUE(result->temp_files.empty());
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
  }
}

TEST(ClaudeArgs, PassesTheSchemaFileTextAsAnArgument) {
  testing::ScratchDir scratch;
  struct Case {
    std::string content;
    std::string text;
  };
  const Case cases[] = {
      {"{\"a\": [1, 2]}\n", "{\"a\": [1, 2]}\n"},
      {"not json \xFF\xFE end", "not json \xEF\xBF\xBD\xEF\xBF\xBD end"},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string path = scratch.write("schema.json", c.content);
    BuildResult result = claude_args({.prompt = "hi", .output_schema_path = path});
    ASSERT_TRUE(result) << result.error().display();
    EXPECT_EQ(result->args, (Args{"-p", "--output-format", "stream-json", "--verbose",
                                  "--no-session-persistence", "--json-schema", c.text}));
  }
}

struct ProcessCase {
  std::string name;
  std::string path;
  std::string message;
};

TEST(ClaudeArgs, UnreadableSchemaFileIsAProcessError) {
  testing::ScratchDir scratch;
  const ProcessCase cases[] = {
      {"missing", scratch.path() + "/missing.json", "No such file or directory (os error 2)"},
      {"a directory", scratch.path(), "Is a directory (os error 21)"},
  };
  for (const ProcessCase& c : cases) {
    SCOPED_TRACE(c.name);
    BuildResult result = claude_args({.prompt = "hi", .output_schema_path = c.path});
    testing::expect_error(result, RunError::Process, c.message);
  }
}

TEST(ClaudeArgs, RejectsExclusiveOptionsBeforeUnsupportedOnes) {
  const testing::RejectionCase cases[] = {
      {"no prompt comes first",
       {.images = {"i"}, .output_schema_path = "a", .output_schema = "b"},
       RunError::PromptRequired,
       ""},
      {"schemas before resumes",
       {.prompt = "p",
        .images = {"i"},
        .output_schema_path = "a",
        .output_schema = "b",
        .resume_id = "x",
        .resume_last = true},
       RunError::InvalidRequest,
       "output schema path and inline schema are mutually exclusive"},
      {"resumes before unsupported options",
       {.prompt = "p", .images = {"i"}, .resume_id = "x", .resume_last = true},
       RunError::InvalidRequest,
       "resume id and resume last are mutually exclusive"},
      {"a missing schema file is read after the checks",
       {.prompt = "p", .images = {"i"}, .output_schema_path = "/missing/schema.json"},
       RunError::InvalidRequest,
       "images is not supported by the claude agent"},
  };
  for (const testing::RejectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    BuildResult result = claude_args(c.request);
    testing::expect_error(result, c.kind, c.message);
  }
}

TEST(ClaudeArgs, RejectsTheFirstUnsupportedOptionInOrder) {
  const std::string options[] = {
      "images",
      "profile",
      "sandbox",
      "approval",
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
  RunRequest request{.prompt = "p"};
  for (const std::string& option : options) testing::give_option(request, option, true);
  // With every option given, each one is reported in turn as the ones before it are removed.
  for (const std::string& option : options) {
    BuildResult result = claude_args(request);
    SCOPED_TRACE(option);
    testing::expect_error(result, RunError::InvalidRequest,
                          option + " is not supported by the claude agent");
    testing::give_option(request, option, false);
  }
  EXPECT_TRUE(claude_args(request));
}

}  // namespace
}  // namespace vantrel
