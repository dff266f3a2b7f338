// Runner.run_many: reads every element of `reqs` before anything starts, keeps the elements that
// do not convert by index, and hands the others, in order, to a new group.
#include "run_many.h"

#include <optional>
#include <vector>

#include "blocking.h"
#include "errors.h"
#include "extract.h"
#include "group.h"
#include "py_class.h"
#include "request_intake.h"
#include "runner.h"

namespace vantrel::py {
namespace {

constexpr std::size_t default_max_concurrent = 4;

std::optional<std::size_t> optional_size(PyObject* value, const char* param) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  return with_note(param, [&] { return std::size_t{u32_of(value)}; });
}

// The launch list, and where each element of `reqs` went.
struct Intake {
  std::vector<RunRequest> launch_list;
  RequestIndexes requests;
};

Intake convert(std::vector<ReqData> elements) {
  Intake intake;
  intake.launch_list.reserve(elements.size());
  intake.requests.indexes.reserve(elements.size());
  intake.requests.total = elements.size();
  for (std::size_t index = 0; index < elements.size(); ++index) {
    auto converted = req_data_into_request(std::move(elements[index]));
    if (auto* request = std::get_if<RunRequest>(&converted)) {
      intake.launch_list.push_back(std::move(*request));
      intake.requests.indexes.push_back(index);
    } else {
      intake.requests.intake_errors.emplace_back(index,
                                                 std::get<ErrorRecord>(std::move(converted)));
    }
  }
  return intake;
}

// Launches the group once admitted, every request inheriting the environment read then; refused,
// the group starts nothing and each request reads as cancelled.
GroupHandle launch_admitted(std::shared_ptr<const RunnerConfig> config,
                            std::vector<RunRequest> requests, std::size_t max_concurrent,
                            std::optional<std::size_t> event_buffer) {
  auto admitted = admit();
  if (!admitted) return refused_group(requests.size());
  for (RunRequest& request : requests) request.inherited_env = admitted->env;
  return without_interpreter_lock([&] {
    auto given_up = std::move(admitted->place);
    return launch_group(std::move(config), std::move(requests), max_concurrent, event_buffer);
  });
}

}  // namespace

PyObject* runner_run_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    static const char* keywords[] = {"reqs", "max_concurrent", "event_buffer", nullptr};
    PyObject* reqs = nullptr;
    PyObject* max_concurrent_arg = nullptr;
    PyObject* event_buffer_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:Runner.run_many",
                                     const_cast<char**>(keywords), &reqs, &max_concurrent_arg,
                                     &event_buffer_arg))
      throw_python_error();
    auto requests = with_note("reqs", [&] {
      return sequence_of<ReqData>(reqs, extract_req_data, FailedLength::unknown);
    });
    std::size_t max_concurrent =
        optional_size(max_concurrent_arg, "max_concurrent").value_or(default_max_concurrent);
    auto event_buffer = optional_size(event_buffer_arg, "event_buffer");
    Intake intake = convert(std::move(requests));

    auto config = config_of(self);
    GroupHandle handle = launch_admitted(std::move(config), std::move(intake.launch_list),
                                         max_concurrent, event_buffer);
    return group_new_object(GroupRecord{std::move(handle), std::move(intake.requests)}).release();
  });
}

}  // namespace vantrel::py
