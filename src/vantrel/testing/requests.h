// Test support for the command-line builders: rejection rows, and giving or removing a request
// option by the name a rejection reports it with.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vantrel/protocol/args.h"
#include "vantrel/protocol/request.h"
#include "vantrel/runtime/child_process.h"

namespace vantrel::testing {

// A request a builder rejects, with the exact error.
struct RejectionCase {
  std::string name;
  RunRequest request;
  RunError::Kind kind;
  std::string message;
};

inline void expect_error(const BuildResult& result, RunError::Kind kind,
                         const std::string& message) {
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, kind);
  EXPECT_EQ(result.error().message, message);
}

// Gives the option (`on`) with the smallest value that counts as given, or removes it.
inline void give_option(RunRequest& r, const std::string& name, bool on) {
  using Texts = std::vector<std::string>;
  static const std::map<std::string, std::function<void(RunRequest&, bool)>> setters = {
      {"add dirs", [](RunRequest& r, bool on) { r.add_dirs = on ? Texts{""} : Texts{}; }},
      {"images", [](RunRequest& r, bool on) { r.images = on ? Texts{""} : Texts{}; }},
      {"profile", [](RunRequest& r, bool on) { r.profile = on ? "p" : ""; }},
      {"sandbox",
       [](RunRequest& r, bool on) {
         r.sandbox = on ? std::optional(SandboxMode::ReadOnly) : std::nullopt;
       }},
      {"approval",
       [](RunRequest& r, bool on) {
         r.approval = on ? std::optional(ApprovalPolicy::Never) : std::nullopt;
       }},
      {"config overrides",
       [](RunRequest& r, bool on) {
         r.config = on ? std::vector<ConfigData>{{"", ""}} : std::vector<ConfigData>{};
       }},
      {"enable flags", [](RunRequest& r, bool on) { r.enable = on ? Texts{""} : Texts{}; }},
      {"disable flags", [](RunRequest& r, bool on) { r.disable = on ? Texts{""} : Texts{}; }},
      {"strict config", [](RunRequest& r, bool on) { r.strict_config = on; }},
      {"ignore user config", [](RunRequest& r, bool on) { r.ignore_user_config = on; }},
      {"ignore rules", [](RunRequest& r, bool on) { r.ignore_rules = on; }},
      {"require git repo", [](RunRequest& r, bool on) { r.require_git_repo = on; }},
      {"output last message path",
       [](RunRequest& r, bool on) { r.output_last_message_path = on ? "o" : ""; }},
      {"dangerously bypass hooks", [](RunRequest& r, bool on) { r.dangerously_bypass_hooks = on; }},
      {"resume all", [](RunRequest& r, bool on) { r.resume_all = on; }},
  };
  auto setter = setters.find(name);
  ASSERT_NE(setter, setters.end()) << name;
  setter->second(r, on);
}

// `request` inheriting this process's environment as it is now (TMPDIR as a ScratchDir set it),
// as the module's entry points hand it on.
inline RunRequest inheriting(RunRequest request) {
  request.inherited_env = runtime::this_process_environment();
  return request;
}

}  // namespace vantrel::testing
