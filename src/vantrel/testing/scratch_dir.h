// Test support: a fresh directory that TMPDIR points to while it lives, for tests of the files
// the command-line builders create and the records of the fake agent.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vantrel::testing {

// Restores an environment variable when it goes out of scope.
class EnvGuard {
 public:
  explicit EnvGuard(std::string name) : name_(std::move(name)) {
    if (const char* value = std::getenv(name_.c_str())) old_ = value;
  }
  ~EnvGuard() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Kills what the fake agent recorded in `file`, when it is one of its records (which begin with
// "start"): the process group the agent led and the helpers it left behind, which may be in
// sessions of their own. The test's own group and process are never taken for an agent's.
inline void kill_recorded_processes(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string key;
  if (!(in >> key) || key != "start") return;
  for (; in >> key;) {
    long id = 0;
    if ((key == "pgid" || key == "hold" || key == "linger") && in >> id && id > 1) {
      if (key == "pgid" && id != ::getpgrp()) ::killpg(static_cast<pid_t>(id), SIGKILL);
      if (key != "pgid" && id != ::getpid()) ::kill(static_cast<pid_t>(id), SIGKILL);
    }
    in.clear();
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
}

// A fresh directory, removed with what it holds when it goes. The processes the fake agent
// recorded in it are killed first, so a test that failed midway leaves no agent running; after
// one that passed they are gone already.
class ScratchDir {
 public:
  ScratchDir() : tmpdir_("TMPDIR") {
    std::string pattern = "/tmp/vantrel-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
    setenv("TMPDIR", path_.c_str(), 1);
  }
  ~ScratchDir() {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
      if (it->is_regular_file(ignored)) kill_recorded_processes(it->path());
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  // The names in the directory, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Writes `content` to a file of this directory (not one of the builders') and returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

 private:
  EnvGuard tmpdir_;
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline unsigned permission_bits(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

// `dir` + "/" + prefix + six letters or digits + suffix, with nothing else.
inline bool is_temp_name(const std::string& path, const std::string& dir, const std::string& prefix,
                         const std::string& suffix) {
  std::string head = dir + "/" + prefix;
  if (path.size() != head.size() + 6 + suffix.size()) return false;
  if (path.compare(0, head.size(), head) != 0) return false;
  if (path.compare(head.size() + 6, suffix.size(), suffix) != 0) return false;
  return std::all_of(path.begin() + static_cast<std::ptrdiff_t>(head.size()),
                     path.begin() + static_cast<std::ptrdiff_t>(head.size() + 6),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// `text` is `description` + " at path " + a quoted temporary file name as above.
inline bool is_error_at_temp_path(const std::string& text, const std::string& description,
                                  const std::string& dir, const std::string& prefix,
                                  const std::string& suffix) {
  std::string head = description + " at path \"";
  if (text.rfind(head, 0) != 0 || text.back() != '"') return false;
  return is_temp_name(text.substr(head.size(), text.size() - head.size() - 1), dir, prefix, suffix);
}

// `args` with the entry `placeholder` replaced by `path`.
inline std::vector<std::string> with_placeholder(std::vector<std::string> args,
                                                 const std::string& placeholder,
                                                 const std::string& path) {
  std::replace(args.begin(), args.end(), placeholder, path);
  return args;
}

}  // namespace vantrel::testing
