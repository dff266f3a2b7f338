// The codex command line, and what the three agents' command lines share: the invocation a
// builder hands to the launch, the standard-input text, temporary files and request checks.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/protocol/request.h"
#include "vantrel/protocol/run_error.h"
#include "vantrel/support/io_error.h"
#include "vantrel/support/result.h"

namespace vantrel {

// A temporary file that lives as long as its owner: the file stays open, and dropping the
// owner deletes the file (ignoring failure) and closes it. Move-only. The host's watchdog knows
// of it while it lives, and deletes it should the host be killed.
class TempFile {
 public:
  // Takes ownership of the open file `fd` at `path`.
  TempFile(std::string path, int fd);
  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  // The path as the file system knows it.
  const std::string& path() const { return path_; }
  // The path as text, invalid UTF-8 replaced by U+FFFD: what goes on a command line.
  const std::string& path_text() const { return path_text_; }

  // Writes all of `bytes` at the current position. A failure names the path.
  Result<void, IoError> write_all(std::string_view bytes);

 private:
  void release();

  std::string path_;
  std::string path_text_;
  int fd_ = -1;
};

// Everything needed to start an agent: the arguments after the executable name, the text
// written whole to its standard input, the temporary files that must outlive the run, and the
// working directory (absent: the caller's).
struct Invocation {
  std::vector<std::string> args;
  std::string stdin_text;
  std::vector<TempFile> temp_files;
  std::optional<std::string> cwd;
};

using BuildResult = Result<Invocation, RunError>;

// A new file named prefix + six random letters or digits + suffix, created exclusively with
// mode 0600 in $TMPDIR (else the per-user temporary directory on macOS, else "/tmp"); a relative
// directory is taken from the current one.
Result<TempFile, IoError> create_temp_file(std::string_view prefix, std::string_view suffix);

// A new temporary file holding `content`; a failure to create or write it is a Process error
// and leaves no file behind.
Result<TempFile, RunError> write_temp_file(std::string_view prefix, std::string_view suffix,
                                           std::string_view content);

// The standard-input text of a request: the prompt, the stdin text, or both with the stdin
// text wrapped in <stdin> tags.
std::string combined_prompt(const RunRequest& request);

// The codex exec (or exec resume) command line. Writes an inline output schema to a
// "vantrel-schema-" file kept in the invocation.
BuildResult codex_args(const RunRequest& request, SandboxMode default_sandbox,
                       ApprovalPolicy default_approval);

// Request rules shared by the builders. A request resumes a session when it names a resume id
// or asks for the last session.
bool is_resuming(const RunRequest& request);

// PromptRequired when there is neither a prompt nor a stdin text.
std::optional<RunError> require_prompt(const RunRequest& request);

// The schema path and inline schema exclude each other, then resume id and resume last.
std::optional<RunError> check_exclusive_options(const RunRequest& request);

// An option the agent has no counterpart for, named as the rejection names it.
struct RequestOption {
  std::string_view name;
  bool given;
};

// The first given option, rejected as "<name> is not supported by the <agent> agent".
std::optional<RunError> reject_unsupported(std::initializer_list<RequestOption> options,
                                           std::string_view agent);

// The output schema as text: the inline schema when set, else the content of the file at
// output_schema_path when set (a read failure is a Process error), else none. Invalid UTF-8
// is replaced by U+FFFD.
Result<std::optional<std::string>, RunError> read_schema_text(const RunRequest& request);

// Appends each of `words`.
void append_args(std::vector<std::string>& args, std::initializer_list<std::string_view> words);

// Appends `flag`, entry for each entry of `list`.
void append_each(std::vector<std::string>& args, std::string_view flag,
                 const std::vector<std::string>& list);

namespace detail {

// create_temp_file in `dir` with the name letters drawn from `random_index` (a number below
// `bound`), so that tests can force collisions.
Result<TempFile, IoError> create_temp_file_in(
    const std::string& dir, std::string_view prefix, std::string_view suffix,
    const std::function<std::size_t(std::size_t bound)>& random_index);

// The directory create_temp_file uses.
Result<std::string, IoError> temp_dir();

}  // namespace detail
}  // namespace vantrel
