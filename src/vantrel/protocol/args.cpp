// The codex command line and the pieces every agent's command line is built from.
#include "vantrel/protocol/args.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <random>
#include <utility>

#include "vantrel/json/utf8.h"
#include "vantrel/runtime/watchdog.h"

namespace vantrel {
namespace {

constexpr std::string_view name_letters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t name_letter_count = 6;
constexpr std::size_t max_name_attempts = 65536;

std::string join_path(std::string dir, std::string_view name) {
  if (name.empty()) return dir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  dir.append(name);
  return dir;
}

Result<std::string, IoError> current_dir() {
  std::string buffer(256, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return fail(os_error(errno));
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

// The per-user temporary directory, which only macOS has.
std::optional<std::string> per_user_temp_dir() {
#ifdef _CS_DARWIN_USER_TEMP_DIR
  std::array<char, 1024> buffer{};
  std::size_t length = confstr(_CS_DARWIN_USER_TEMP_DIR, buffer.data(), buffer.size());
  if (length > 0 && length <= buffer.size()) return std::string(buffer.data());
#endif
  return std::nullopt;
}

std::size_t random_below(std::size_t bound) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::size_t>(0, bound - 1)(generator);
}

Result<std::string, IoError> read_whole_file(const std::string& path) {
  int fd = retry_on_interrupt([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd == -1) return fail(os_error(errno));
  std::string content;
  std::array<char, 65536> buffer;
  for (;;) {
    ssize_t count = retry_on_interrupt([&] { return read(fd, buffer.data(), buffer.size()); });
    if (count == -1) {
      int error_number = errno;
      close(fd);
      return fail(os_error(error_number));
    }
    if (count == 0) break;
    content.append(buffer.data(), static_cast<std::size_t>(count));
  }
  close(fd);
  return content;
}

std::string quoted(std::string_view key, std::string_view word) {
  return std::string(key) + "=\"" + std::string(word) + "\"";
}

std::string config_override(const ConfigData& entry) {
  return entry.key.empty() ? entry.value : entry.key + "=" + entry.value;
}

std::optional<RunError> codex_request_error(const RunRequest& request) {
  if (auto error = require_prompt(request)) return error;
  if (is_set(request.permission_mode) || is_set(request.allowed_tools) ||
      is_set(request.disallowed_tools))
    return RunError::invalid_request("permission mode and tool filters require the claude agent");
  if (auto error = check_exclusive_options(request)) return error;
  bool resuming = is_resuming(request);
  if (request.resume_all && !resuming)
    return RunError::invalid_request("resume all requires resume id or resume last");
  if (resuming && (is_set(request.dir) || is_set(request.profile) || is_set(request.add_dirs)))
    return RunError::invalid_request(
        "dir, add dirs, and profile are not supported by codex exec resume");
  return std::nullopt;
}

// The schema path codex is given: the request's path, or a new file holding the inline schema.
Result<std::string, RunError> codex_schema_path(const RunRequest& request,
                                                std::vector<TempFile>& temp_files) {
  if (!is_set(request.output_schema)) return request.output_schema_path.value_or("");
  auto file = write_temp_file("vantrel-schema-", ".json", *request.output_schema);
  if (!file) return fail(std::move(file).error());
  std::string path = file->path_text();
  temp_files.push_back(std::move(file).value());
  return path;
}

void append_codex_sandbox_and_approval(std::vector<std::string>& args, const RunRequest& request,
                                       SandboxMode default_sandbox,
                                       ApprovalPolicy default_approval) {
  if (request.dangerously_bypass_sandbox) {
    args.emplace_back("--dangerously-bypass-approvals-and-sandbox");
    return;
  }
  std::string_view mode = sandbox_mode_word(request.sandbox.value_or(default_sandbox));
  if (is_resuming(request)) {
    append_args(args, {"-c", quoted("sandbox_mode", mode)});
  } else {
    append_args(args, {"--sandbox", mode});
  }
  std::string_view policy = approval_policy_word(request.approval.value_or(default_approval));
  append_args(args, {"-c", quoted("approval_policy", policy)});
}

}  // namespace

TempFile::TempFile(std::string path, int fd)
    : path_(std::move(path)), path_text_(utf8_lossy(path_)), fd_(fd) {
  // Removed by the watchdog should the host end without dropping it.
  runtime::watch_file(path_);
}

TempFile::TempFile(TempFile&& other) noexcept
    : path_(std::move(other.path_)),
      path_text_(std::move(other.path_text_)),
      fd_(std::exchange(other.fd_, -1)) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    path_text_ = std::move(other.path_text_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

TempFile::~TempFile() { release(); }

void TempFile::release() {
  if (fd_ == -1) return;
  unlink(path_.c_str());
  runtime::unwatch_file(path_);
  close(fd_);
  fd_ = -1;
}

Result<void, IoError> TempFile::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = retry_on_interrupt([&] { return ::write(fd_, bytes.data(), bytes.size()); });
    if (count == -1) return fail(at_path(os_error(errno), path_text_));
    if (count == 0) return fail(at_path(IoError{"failed to write whole buffer"}, path_text_));
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return {};
}

namespace detail {

Result<std::string, IoError> temp_dir() {
  std::string dir;
  if (const char* tmpdir = std::getenv("TMPDIR")) {
    dir = tmpdir;
  } else {
    dir = per_user_temp_dir().value_or("/tmp");
  }
  if (!dir.empty() && dir.front() == '/') return dir;
  auto cwd = current_dir();
  if (!cwd) return cwd;
  return join_path(std::move(cwd).value(), dir);
}

Result<TempFile, IoError> create_temp_file_in(
    const std::string& dir, std::string_view prefix, std::string_view suffix,
    const std::function<std::size_t(std::size_t bound)>& random_index) {
  for (std::size_t attempt = 0; attempt < max_name_attempts; ++attempt) {
    std::string name(prefix);
    for (std::size_t i = 0; i < name_letter_count; ++i)
      name += name_letters[random_index(name_letters.size())];
    name.append(suffix);
    std::string path = join_path(dir, name);
    int fd = retry_on_interrupt(
        [&] { return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
    if (fd != -1) return TempFile(std::move(path), fd);
    if (errno != EEXIST) return fail(at_path(os_error(errno), utf8_lossy(path)));
  }
  return fail(at_path(IoError{"too many temporary files exist"}, utf8_lossy(dir)));
}

}  // namespace detail

Result<TempFile, IoError> create_temp_file(std::string_view prefix, std::string_view suffix) {
  auto dir = detail::temp_dir();
  if (!dir) return fail(std::move(dir).error());
  return detail::create_temp_file_in(*dir, prefix, suffix, random_below);
}

Result<TempFile, RunError> write_temp_file(std::string_view prefix, std::string_view suffix,
                                           std::string_view content) {
  auto file = create_temp_file(prefix, suffix);
  if (!file) return fail(RunError::process(std::move(file).error().text));
  if (auto written = file->write_all(content); !written)
    return fail(RunError::process(std::move(written).error().text));
  return std::move(file).value();
}

std::string combined_prompt(const RunRequest& request) {
  if (!request.stdin_text) return request.prompt;
  if (request.prompt.empty()) return *request.stdin_text;
  return request.prompt + "\n\n<stdin>\n" + *request.stdin_text + "\n</stdin>\n";
}

bool is_resuming(const RunRequest& request) {
  return is_set(request.resume_id) || request.resume_last;
}

std::optional<RunError> require_prompt(const RunRequest& request) {
  if (request.prompt.empty() && !request.stdin_text) return RunError::prompt_required();
  return std::nullopt;
}

std::optional<RunError> check_exclusive_options(const RunRequest& request) {
  if (is_set(request.output_schema_path) && is_set(request.output_schema))
    return RunError::invalid_request("output schema path and inline schema are mutually exclusive");
  if (is_set(request.resume_id) && request.resume_last)
    return RunError::invalid_request("resume id and resume last are mutually exclusive");
  return std::nullopt;
}

std::optional<RunError> reject_unsupported(std::initializer_list<RequestOption> options,
                                           std::string_view agent) {
  for (const RequestOption& option : options)
    if (option.given)
      return RunError::invalid_request(std::string(option.name) + " is not supported by the " +
                                       std::string(agent) + " agent");
  return std::nullopt;
}

Result<std::optional<std::string>, RunError> read_schema_text(const RunRequest& request) {
  if (is_set(request.output_schema)) return std::optional(utf8_lossy(*request.output_schema));
  if (!is_set(request.output_schema_path)) return std::optional<std::string>();
  auto content = read_whole_file(*request.output_schema_path);
  if (!content) return fail(RunError::process(std::move(content).error().text));
  return std::optional(utf8_lossy(*content));
}

void append_args(std::vector<std::string>& args, std::initializer_list<std::string_view> words) {
  for (std::string_view word : words) args.emplace_back(word);
}

void append_each(std::vector<std::string>& args, std::string_view flag,
                 const std::vector<std::string>& list) {
  for (const std::string& entry : list) append_args(args, {flag, entry});
}

BuildResult codex_args(const RunRequest& request, SandboxMode default_sandbox,
                       ApprovalPolicy default_approval) {
  if (auto error = codex_request_error(request)) return fail(std::move(*error));
  Invocation invocation;
  auto schema_path = codex_schema_path(request, invocation.temp_files);
  if (!schema_path) return fail(std::move(schema_path).error());

  bool resuming = is_resuming(request);
  std::vector<std::string>& args = invocation.args;
  args.emplace_back("exec");
  if (resuming) args.emplace_back("resume");
  args.emplace_back("--json");
  if (!resuming) append_args(args, {"--color", "never"});
  if (request.strict_config) args.emplace_back("--strict-config");
  if (is_set(request.model)) append_args(args, {"-m", *request.model});
  if (is_set(request.profile) && !resuming) append_args(args, {"-p", *request.profile});
  append_each(args, "--enable", request.enable);
  append_each(args, "--disable", request.disable);
  append_each(args, "-i", request.images);
  if (!request.require_git_repo) args.emplace_back("--skip-git-repo-check");
  if (!request.persistent) args.emplace_back("--ephemeral");
  if (request.ignore_user_config) args.emplace_back("--ignore-user-config");
  if (request.ignore_rules) args.emplace_back("--ignore-rules");
  append_codex_sandbox_and_approval(args, request, default_sandbox, default_approval);
  if (request.dangerously_bypass_hooks) args.emplace_back("--dangerously-bypass-hook-trust");
  if (!resuming) {
    if (is_set(request.dir)) append_args(args, {"-C", *request.dir});
    append_each(args, "--add-dir", request.add_dirs);
  }
  if (!schema_path->empty()) append_args(args, {"--output-schema", *schema_path});
  if (is_set(request.output_last_message_path))
    append_args(args, {"-o", *request.output_last_message_path});
  for (const ConfigData& entry : request.config) append_args(args, {"-c", config_override(entry)});
  if (request.resume_last) args.emplace_back("--last");
  if (request.resume_all) args.emplace_back("--all");
  if (is_set(request.resume_id)) args.push_back(*request.resume_id);
  args.emplace_back("-");

  invocation.stdin_text = combined_prompt(request);
  return invocation;
}

}  // namespace vantrel
