// Tests of the codex command line, the standard-input text and temporary files.
#include "vantrel/protocol/args.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "vantrel/testing/requests.h"
#include "vantrel/testing/scratch_dir.h"

namespace vantrel {
namespace {

using Args = std::vector<std::string>;
using testing::ScratchDir;

// The environment a request made now inherits: this process's, with TMPDIR as a test set it.
EnvPairs inherited() { return *runtime::this_process_environment(); }

// Stands for the path of the invocation's schema file in an expected argument list.
const std::string schema_file = "<schema file>";

struct CodexCase {
  std::string name;
  RunRequest request;
  Args args;
  std::string stdin_text = "hi";
  SandboxMode default_sandbox = SandboxMode::ReadOnly;
  ApprovalPolicy default_approval = ApprovalPolicy::Never;
};

TEST(CodexArgs, BuildsTheArgumentListInOrder) {
  const CodexCase cases[] = {
      {"prompt only",
       {.prompt = "hi"},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral", "--sandbox",
        "read-only", "-c", "approval_policy=\"never\"", "-"}},
      {"resume last",
       {.prompt = "hi", .resume_last = true},
       {"exec", "resume", "--json", "--skip-git-repo-check", "--ephemeral", "-c",
        "sandbox_mode=\"read-only\"", "-c", "approval_policy=\"never\"", "--last", "-"}},
      {"every option of a new session, list entries as given",
       {.prompt = "hi",
        .dir = "/work",
        .add_dirs = {"/a", ""},
        .images = {"x.png", ""},
        .model = "gpt",
        .profile = "fast",
        .sandbox = SandboxMode::WorkspaceWrite,
        .approval = ApprovalPolicy::OnRequest,
        .permission_mode = "",
        .config = {{"", "model=x"}, {"a", ""}, {"k", "v"}},
        .enable = {"e1", ""},
        .disable = {"d1"},
        .strict_config = true,
        .persistent = true,
        .ignore_user_config = true,
        .ignore_rules = true,
        .require_git_repo = true,
        .output_schema_path = "schema.json",
        .output_schema = "",
        .output_last_message_path = "last.txt",
        .dangerously_bypass_hooks = true,
        .resume_id = ""},
       {"exec",
        "--json",
        "--color",
        "never",
        "--strict-config",
        "-m",
        "gpt",
        "-p",
        "fast",
        "--enable",
        "e1",
        "--enable",
        "",
        "--disable",
        "d1",
        "-i",
        "x.png",
        "-i",
        "",
        "--ignore-user-config",
        "--ignore-rules",
        "--sandbox",
        "workspace-write",
        "-c",
        "approval_policy=\"on-request\"",
        "--dangerously-bypass-hook-trust",
        "-C",
        "/work",
        "--add-dir",
        "/a",
        "--add-dir",
        "",
        "--output-schema",
        "schema.json",
        "-o",
        "last.txt",
        "-c",
        "model=x",
        "-c",
        "a=",
        "-c",
        "k=v",
        "-"}},
      {"resume id",
       {.prompt = "hi", .resume_id = "abc"},
       {"exec", "resume", "--json", "--skip-git-repo-check", "--ephemeral", "-c",
        "sandbox_mode=\"read-only\"", "-c", "approval_policy=\"never\"", "abc", "-"}},
      {"resume id and all",
       {.prompt = "hi", .resume_id = "abc", .resume_all = true},
       {"exec", "resume", "--json", "--skip-git-repo-check", "--ephemeral", "-c",
        "sandbox_mode=\"read-only\"", "-c", "approval_policy=\"never\"", "--all", "abc", "-"}},
      {"resume last and all, empty dir and add dirs pass",
       {.prompt = "hi", .dir = "", .profile = "", .resume_last = true, .resume_all = true},
       {"exec", "resume", "--json", "--skip-git-repo-check", "--ephemeral", "-c",
        "sandbox_mode=\"read-only\"", "-c", "approval_policy=\"never\"", "--last", "--all", "-"}},
      {"resume with a request sandbox and options kept on resume",
       {.prompt = "hi",
        .images = {"i"},
        .model = "m",
        .sandbox = SandboxMode::WorkspaceWrite,
        .output_last_message_path = "o",
        .resume_last = true},
       {"exec", "resume", "--json", "-m", "m", "-i", "i", "--skip-git-repo-check", "--ephemeral",
        "-c", "sandbox_mode=\"workspace-write\"", "-c", "approval_policy=\"never\"", "-o", "o",
        "--last", "-"}},
      {"bypass ignores the request sandbox and approval",
       {.prompt = "hi",
        .sandbox = SandboxMode::DangerFullAccess,
        .approval = ApprovalPolicy::Untrusted,
        .dangerously_bypass_sandbox = true},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral",
        "--dangerously-bypass-approvals-and-sandbox", "-"}},
      {"bypass on resume",
       {.prompt = "hi", .dangerously_bypass_sandbox = true, .resume_last = true},
       {"exec", "resume", "--json", "--skip-git-repo-check", "--ephemeral",
        "--dangerously-bypass-approvals-and-sandbox", "--last", "-"}},
      {"runner defaults",
       {.prompt = "hi"},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral", "--sandbox",
        "danger-full-access", "-c", "approval_policy=\"untrusted\"", "-"},
       "hi",
       SandboxMode::DangerFullAccess,
       ApprovalPolicy::Untrusted},
      {"request sandbox and approval override the defaults",
       {.prompt = "hi", .sandbox = SandboxMode::ReadOnly, .approval = ApprovalPolicy::Never},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral", "--sandbox",
        "read-only", "-c", "approval_policy=\"never\"", "-"},
       "hi",
       SandboxMode::WorkspaceWrite,
       ApprovalPolicy::OnRequest},
      {"empty texts count as unset",
       {.prompt = "hi", .model = "", .output_last_message_path = ""},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral", "--sandbox",
        "read-only", "-c", "approval_policy=\"never\"", "-"}},
      {"empty prompt with empty stdin",
       {.prompt = "", .stdin_text = ""},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral", "--sandbox",
        "read-only", "-c", "approval_policy=\"never\"", "-"},
       ""},
      {"prompt and stdin",
       {.prompt = "fix", .stdin_text = "log"},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral", "--sandbox",
        "read-only", "-c", "approval_policy=\"never\"", "-"},
       "fix\n\n<stdin>\nlog\n</stdin>\n"},
      {"inline schema with an empty schema path",
       {.prompt = "hi", .output_schema_path = "", .output_schema = "{}"},
       {"exec", "--json", "--color", "never", "--skip-git-repo-check", "--ephemeral", "--sandbox",
        "read-only", "-c", "approval_policy=\"never\"", "--output-schema", schema_file, "-"}},
  };
  ScratchDir scratch;
  for (const CodexCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      BuildResult result =
          codex_args(testing::inheriting(c.request), c.default_sandbox, c.default_approval);
      ASSERT_TRUE(result) << result.error().display();
      const Invocation& invocation = *result;
      bool inline_schema = is_set(c.request.output_schema);
      ASSERT_EQ(invocation.temp_files.size(), inline_schema ? 1u : 0u);
      std::string path = inline_schema ? invocation.temp_files[0].path_text() : "";
      EXPECT_EQ(invocation.args, testing::with_placeholder(c.args, schema_file, path));
      EXPECT_EQ(invocation.stdin_text, c.stdin_text);
      EXPECT_EQ(invocation.cwd, std::nullopt);
    }
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
  }
}

TEST(CodexArgs, RejectsInPrecedenceOrder) {
  const std::string tools = "permission mode and tool filters require the claude agent";
  const std::string schemas = "output schema path and inline schema are mutually exclusive";
  const std::string resumes = "resume id and resume last are mutually exclusive";
  const std::string resume_all = "resume all requires resume id or resume last";
  const std::string resume_dirs =
      "dir, add dirs, and profile are not supported by codex exec resume";
  const testing::RejectionCase cases[] = {
      {"no prompt comes first",
       {.permission_mode = "plan", .output_schema_path = "a", .output_schema = "b"},
       RunError::PromptRequired,
       ""},
      {"permission mode before schemas",
       {.prompt = "p", .permission_mode = "plan", .output_schema_path = "a", .output_schema = "b"},
       RunError::InvalidRequest,
       tools},
      {"one allowed tool without permission mode",
       {.prompt = "p", .allowed_tools = {"Bash"}},
       RunError::InvalidRequest,
       tools},
      {"an empty disallowed tool",
       {.prompt = "p", .disallowed_tools = {""}},
       RunError::InvalidRequest,
       tools},
      {"schemas before resumes",
       {.prompt = "p",
        .output_schema_path = "a",
        .output_schema = "b",
        .resume_id = "x",
        .resume_last = true},
       RunError::InvalidRequest,
       schemas},
      {"resume id and last before resume dirs",
       {.prompt = "p", .dir = "d", .resume_id = "x", .resume_last = true},
       RunError::InvalidRequest,
       resumes},
      {"resume all with an empty resume id",
       {.prompt = "p", .dir = "d", .resume_id = "", .resume_all = true},
       RunError::InvalidRequest,
       resume_all},
      {"dir on resume",
       {.prompt = "p", .dir = "d", .resume_last = true},
       RunError::InvalidRequest,
       resume_dirs},
      {"profile on resume",
       {.prompt = "p", .profile = "f", .resume_id = "x"},
       RunError::InvalidRequest,
       resume_dirs},
      {"one empty add dir on resume",
       {.prompt = "p", .add_dirs = {""}, .resume_last = true},
       RunError::InvalidRequest,
       resume_dirs},
  };
  ScratchDir scratch;
  for (const testing::RejectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    // An inline schema in every row shows that a rejected request creates no file.
    RunRequest request = c.request;
    request.output_schema = request.output_schema.value_or("{\"inline\":true}");
    BuildResult result =
        codex_args(testing::inheriting(request), SandboxMode::ReadOnly, ApprovalPolicy::Never);
    testing::expect_error(result, c.kind, c.message);
    EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
  }
}

TEST(CodexArgs, InlineSchemaLivesInAFileAsLongAsTheInvocation) {
  ScratchDir scratch;
  const std::string schema = "{\"type\":\"object\"}\n\xFF raw";
  std::string path;
  {
    BuildResult result = codex_args(testing::inheriting({.prompt = "hi", .output_schema = schema}),
                                    SandboxMode::ReadOnly, ApprovalPolicy::Never);
    ASSERT_TRUE(result);
    Invocation invocation = std::move(result).value();
    ASSERT_EQ(invocation.temp_files.size(), 1u);
    path = invocation.temp_files[0].path();
    EXPECT_TRUE(testing::is_temp_name(path, scratch.path(), "vantrel-schema-", ".json")) << path;
    EXPECT_EQ(testing::read_file(path), schema);
    EXPECT_EQ(testing::permission_bits(path), 0600u);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

// Sets the file size limit to 0 so that every write to a regular file fails with EFBIG.
class NoFileGrowth {
 public:
  NoFileGrowth() {
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_limit_);
    rlimit limit = old_limit_;
    limit.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~NoFileGrowth() {
    setrlimit(RLIMIT_FSIZE, &old_limit_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_limit_{};
  sighandler_t old_handler_;
};

TEST(CodexArgs, FailedSchemaWriteLeavesNoFile) {
  ScratchDir scratch;
  BuildResult result = [] {
    NoFileGrowth no_growth;
    return codex_args(testing::inheriting({.prompt = "hi", .output_schema = "{}"}),
                      SandboxMode::ReadOnly, ApprovalPolicy::Never);
  }();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, RunError::Process);
  EXPECT_TRUE(testing::is_error_at_temp_path(result.error().message, "File too large (os error 27)",
                                             scratch.path(), "vantrel-schema-", ".json"))
      << result.error().message;
  EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
}

TEST(CodexArgs, UncreatableSchemaFileIsAProcessError) {
  ScratchDir scratch;
  std::string missing = scratch.path() + "/missing";
  setenv("TMPDIR", missing.c_str(), 1);
  BuildResult result = codex_args(testing::inheriting({.prompt = "hi", .output_schema = "{}"}),
                                  SandboxMode::ReadOnly, ApprovalPolicy::Never);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, RunError::Process);
  EXPECT_TRUE(testing::is_error_at_temp_path(result.error().message,
                                             "No such file or directory (os error 2)", missing,
                                             "vantrel-schema-", ".json"))
      << result.error().message;
}

TEST(CombinedPrompt, JoinsPromptAndStdin) {
  struct Case {
    RunRequest request;
    std::string text;
  };
  const Case cases[] = {
      {RunRequest{.prompt = "p"}, "p"},
      {RunRequest{.prompt = ""}, ""},
      {RunRequest{.prompt = "", .stdin_text = "s"}, "s"},
      {RunRequest{.prompt = "", .stdin_text = ""}, ""},
      {RunRequest{.prompt = "p", .stdin_text = "s"}, "p\n\n<stdin>\ns\n</stdin>\n"},
      {RunRequest{.prompt = "p", .stdin_text = ""}, "p\n\n<stdin>\n\n</stdin>\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(combined_prompt(c.request), c.text) << c.text;
}

TEST(TempFile, IsCreatedOwnerOnlyAndDeletedByItsLastOwner) {
  ScratchDir scratch;
  auto created = create_temp_file(inherited(), "vantrel-grok-prompt-", ".md");
  ASSERT_TRUE(created) << created.error().text;
  TempFile file = std::move(created).value();
  std::string path = file.path();
  EXPECT_TRUE(testing::is_temp_name(path, scratch.path(), "vantrel-grok-prompt-", ".md"));
  EXPECT_EQ(file.path_text(), path);
  EXPECT_EQ(testing::permission_bits(path), 0600u);

  const std::string bytes("a\0b\xFF\n", 5);
  ASSERT_TRUE(file.write_all(bytes));
  EXPECT_EQ(testing::read_file(path), bytes);

  {
    TempFile moved = std::move(file);
    TempFile assigned = std::move(moved);
    EXPECT_TRUE(std::filesystem::exists(path));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(TempFile, MoveAssignmentDeletesTheFileItReplaces) {
  ScratchDir scratch;
  auto first = create_temp_file(inherited(), "a-", "");
  auto second = create_temp_file(inherited(), "b-", "");
  ASSERT_TRUE(first && second);
  std::string replaced = first->path(), kept = second->path();
  *first = std::move(second).value();
  EXPECT_FALSE(std::filesystem::exists(replaced));
  EXPECT_TRUE(std::filesystem::exists(kept));
}

// Restores the working directory when it goes out of scope.
class CurrentDirGuard {
 public:
  explicit CurrentDirGuard(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirGuard() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

TEST(TempDir, FollowsTmpdirAndTakesRelativeOnesFromTheCurrentDirectory) {
  ScratchDir scratch;
  CurrentDirGuard cwd(scratch.path());
  struct Case {
    std::optional<std::string> tmpdir;
    std::string dir;
  };
  const Case cases[] = {
      {"/var/x", "/var/x"}, {"/var/x/", "/var/x/"}, {"sub", scratch.path() + "/sub"},
      {"", scratch.path()}, {std::nullopt, "/tmp"},  // this platform has no per-user temporary
                                                     // directory
  };
  for (const Case& c : cases) {
    if (c.tmpdir)
      setenv("TMPDIR", c.tmpdir->c_str(), 1);
    else
      unsetenv("TMPDIR");
    auto dir = detail::temp_dir(inherited());
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, c.dir) << c.tmpdir.value_or("(unset)");
  }
  setenv("TMPDIR", "", 1);
  auto file = create_temp_file(inherited(), "vantrel-schema-", ".json");
  ASSERT_TRUE(file);
  EXPECT_TRUE(testing::is_temp_name(file->path(), scratch.path(), "vantrel-schema-", ".json"));
}

TEST(TempFile, DrawsAFreshNameOnCollisionAndGivesUpAfter65536) {
  ScratchDir scratch;
  std::size_t draws = 0;
  // Six letters per name: the first name is "AAAAAA", the second "BBBBBB".
  auto by_name = [&draws](std::size_t) { return draws++ / 6; };
  auto always_a = [](std::size_t) { return std::size_t{0}; };

  auto first = detail::create_temp_file_in(scratch.path(), "t-", ".md", always_a);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->path(), scratch.path() + "/t-AAAAAA.md");
  auto second = detail::create_temp_file_in(scratch.path(), "t-", ".md", by_name);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->path(), scratch.path() + "/t-BBBBBB.md");

  std::size_t attempts = 0;
  auto counting_a = [&attempts](std::size_t) {
    ++attempts;
    return std::size_t{0};
  };
  auto exhausted = detail::create_temp_file_in(scratch.path(), "t-", ".md", counting_a);
  ASSERT_FALSE(exhausted);
  EXPECT_EQ(exhausted.error().text,
            "too many temporary files exist at path \"" + scratch.path() + "\"");
  EXPECT_EQ(attempts, 65536u * 6);
}

TEST(TempFile, PathTextReplacesInvalidUtf8) {
  ScratchDir scratch;
  std::string dir = scratch.path() + "/bad\xFF";
  std::filesystem::create_directory(dir);
  setenv("TMPDIR", dir.c_str(), 1);
  auto file = create_temp_file(inherited(), "p-", ".md");
  ASSERT_TRUE(file);
  EXPECT_TRUE(testing::is_temp_name(file->path(), dir, "p-", ".md"));
  EXPECT_TRUE(
      testing::is_temp_name(file->path_text(), scratch.path() + "/bad\xEF\xBF\xBD", "p-", ".md"));
  EXPECT_TRUE(std::filesystem::exists(file->path()));
}

}  // namespace
}  // namespace vantrel
