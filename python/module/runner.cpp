// The Runner class: its constructor (argument extraction and settings) and its method table.
#include "runner.h"

#include <array>

#include "errors.h"
#include "extract.h"
#include "py_class.h"
#include "runner_methods.h"

namespace vantrel::py {
namespace {

// One reader per parameter kind, storing into the argument `Member`.
template <auto Member>
void read_text(PyObject* value, RunnerArguments& arguments) {
  arguments.*Member = text_of(value);
}
template <auto Member>
void read_size(PyObject* value, RunnerArguments& arguments) {
  arguments.*Member = u32_of(value);
}
void read_env(PyObject* value, RunnerArguments& arguments) { arguments.env = text_map_of(value); }

struct Parameter {
  const char* name;
  void (*read)(PyObject* value, RunnerArguments& arguments);
};

constexpr std::array<Parameter, 8> parameters = {{
    {"executable", read_text<&RunnerArguments::executable>},
    {"env", read_env},
    {"event_buffer", read_size<&RunnerArguments::event_buffer>},
    {"stderr_limit", read_size<&RunnerArguments::stderr_limit>},
    {"scan_max_bytes", read_size<&RunnerArguments::scan_max_bytes>},
    {"default_sandbox", read_text<&RunnerArguments::default_sandbox>},
    {"default_approval", read_text<&RunnerArguments::default_approval>},
    {"agent", read_text<&RunnerArguments::agent_word>},
}};

// Extracts every given argument in parameter order; a failure carries the parameter's note.
RunnerArguments extract_runner_arguments(const std::array<PyObject*, 8>& values) {
  RunnerArguments arguments;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (values[i] == nullptr || values[i] == Py_None) continue;
    with_note(parameters[i].name, [&] { parameters[i].read(values[i], arguments); });
  }
  return arguments;
}

PyObject* runner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* keywords[] = {"executable",
                                     "env",
                                     "event_buffer",
                                     "stderr_limit",
                                     "scan_max_bytes",
                                     "default_sandbox",
                                     "default_approval",
                                     "agent",
                                     nullptr};
    std::array<PyObject*, 8> v{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOOO:Runner", const_cast<char**>(keywords),
                                     &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]))
      throw_python_error();
    RunnerConfig config = build_runner_config(extract_runner_arguments(v));
    RunnerState state{std::make_shared<const RunnerConfig>(std::move(config))};
    return new_object_of(type, std::move(state)).release();
  });
}

const char runner_doc[] =
    "Runner(executable=None, env=None, event_buffer=None, stderr_limit=None, "
    "scan_max_bytes=None, default_sandbox=None, default_approval=None, agent=None)\n--\n\n"
    "Starts selected-agent processes with safe automation defaults.";

TypeCell runner_class("builtins.Runner", sizeof(Boxed<RunnerState>),
                      {{Py_tp_doc, const_cast<char*>(runner_doc)},
                       {Py_tp_new, reinterpret_cast<void*>(runner_new)},
                       {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<RunnerState>)},
                       {Py_tp_methods, runner_methods}});

}  // namespace

RunnerConfig build_runner_config(RunnerArguments arguments) {
  RunnerConfig config;
  if (arguments.agent_word) {
    auto agent = parse_agent(*arguments.agent_word);
    if (!agent) raise(PyExc_ValueError, "unknown agent: " + *arguments.agent_word);
    config.agent = *agent;
  }
  config.executable = arguments.executable && !arguments.executable->empty()
                          ? std::move(*arguments.executable)
                          : std::string(agent_word(config.agent));
  if (arguments.env) {
    // As Python's subprocess refuses it: the child would get a name split at its "=".
    if (env_name_refusal(*arguments.env))
      raise(PyExc_ValueError, std::string(illegal_env_name_text));
    config.env = std::move(*arguments.env);
  }
  if (arguments.event_buffer && *arguments.event_buffer != 0)
    config.event_buffer = *arguments.event_buffer;
  if (arguments.stderr_limit) config.stderr_limit = *arguments.stderr_limit;
  if (arguments.scan_max_bytes && *arguments.scan_max_bytes != 0)
    config.scan_max_bytes = *arguments.scan_max_bytes;
  // Unknown default words fall back silently; unknown request words are reported per run.
  if (arguments.default_sandbox)
    config.default_sandbox =
        parse_sandbox_mode(*arguments.default_sandbox).value_or(SandboxMode::ReadOnly);
  if (arguments.default_approval)
    config.default_approval =
        parse_approval_policy(*arguments.default_approval).value_or(ApprovalPolicy::Never);
  return config;
}

PyTypeObject* runner_type_object() { return runner_class.get(); }

const std::shared_ptr<const RunnerConfig>& config_of(PyObject* self) {
  return record_of<RunnerState>(self).config;
}

}  // namespace vantrel::py
