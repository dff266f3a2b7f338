// The Runner class: the runner's settings, and the entry points that start runs with them.
#pragma once

#include <Python.h>

#include <memory>

#include "vantrel/protocol/request.h"

namespace vantrel::py {

// What a Runner owns: one shared reference to its settings; every run takes its own.
struct RunnerState {
  std::shared_ptr<const RunnerConfig> config;
};

PyTypeObject* runner_type_object();

// The settings of the Runner `self`.
const std::shared_ptr<const RunnerConfig>& config_of(PyObject* self);

// The constructor's arguments as extracted; absent ones are not given.
struct RunnerArguments {
  std::optional<std::string> executable;
  std::optional<EnvPairs> env;
  std::optional<std::uint32_t> event_buffer;
  std::optional<std::uint32_t> stderr_limit;
  std::optional<std::uint32_t> scan_max_bytes;
  std::optional<std::string> default_sandbox;
  std::optional<std::string> default_approval;
  std::optional<std::string> agent_word;
};

// The settings; an unknown agent word raises ValueError (throws python_error).
RunnerConfig build_runner_config(RunnerArguments arguments);

}  // namespace vantrel::py
