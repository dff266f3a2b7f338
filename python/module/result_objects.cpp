// The result and error objects: read-only views of their records, values built on every read.
#include "result_objects.h"

namespace vantrel::py {
namespace {

const RunResult& run(const RunResultRecord& record) { return *record.result; }
const std::string& result_run_id(const RunResultRecord& r) { return run(r).run_id; }
const std::string& result_thread_id(const RunResultRecord& r) { return run(r).thread_id; }
const std::string& result_final_message(const RunResultRecord& r) { return run(r).final_message; }
// The usage object shares the run result's record; the event objects share the events.
std::shared_ptr<const Usage> result_usage(const RunResultRecord& r) {
  return {r.result, &r.result->usage};
}
ref result_events(const RunResultRecord& r) { return list_of(run(r).events); }
const std::string& result_stderr(const RunResultRecord& r) { return run(r).stderr_text; }
double result_started_at_ms(const RunResultRecord& r) { return epoch_millis(run(r).started_at); }
double result_finished_at_ms(const RunResultRecord& r) { return epoch_millis(run(r).finished_at); }

PyGetSetDef run_result_getset[] = {
    readonly("run_id", get_with<result_run_id>),
    readonly("thread_id", get_with<result_thread_id>),
    readonly("final_message", get_with<result_final_message>),
    readonly("usage", get_with<result_usage>),
    readonly("events", get_with<result_events>),
    readonly("stderr", get_with<result_stderr>),
    readonly("started_at_ms", get_with<result_started_at_ms>),
    readonly("finished_at_ms", get_with<result_finished_at_ms>),
    getset_end,
};

PyGetSetDef outcome_getset[] = {
    readonly("result", get_field<&OutcomeRecord::result>),
    readonly("error", get_field<&OutcomeRecord::error>),
    getset_end,
};

PyGetSetDef error_getset[] = {
    readonly("kind", get_field<&ErrorRecord::kind>),
    readonly("message", get_field<&ErrorRecord::message>),
    readonly("code", get_field<&ErrorRecord::code>),
    readonly("stderr", get_field<&ErrorRecord::stderr_text>),
    readonly("line", get_field<&ErrorRecord::line>),
    getset_end,
};

PyGetSetDef run_event_getset[] = {
    readonly("run_id", get_field<&RunEventRecord::run_id>),
    readonly("index", get_field<&RunEventRecord::index>),
    readonly("event", get_field<&RunEventRecord::event>),
    getset_end,
};

PyGetSetDef group_result_getset[] = {
    readonly("index", get_field<&GroupResultRecord::index>),
    readonly("run_id", get_field<&GroupResultRecord::run_id>),
    readonly("result", get_field<&GroupResultRecord::result>),
    readonly("error", get_field<&GroupResultRecord::error>),
    getset_end,
};

TypeCell run_result_class = record_class<RunResultRecord>(
    "builtins.PyRunResult", "Summary of a completed run.", run_result_getset);
TypeCell outcome_class = record_class<OutcomeRecord>(
    "builtins.PyOutcome", "A run result paired with any terminal error.", outcome_getset);
TypeCell error_class =
    record_class<ErrorRecord>("builtins.PyError", "A typed run error.", error_getset);
TypeCell run_event_class = record_class<RunEventRecord>(
    "builtins.PyRunEvent", "One multiplexed event from `run_many`.", run_event_getset);
TypeCell group_result_class = record_class<GroupResultRecord>(
    "builtins.PyGroupResult", "One result from `run_many`.", group_result_getset);

}  // namespace

template <>
PyTypeObject* type_object<RunResultRecord>() {
  return run_result_class.get();
}
template <>
PyTypeObject* type_object<OutcomeRecord>() {
  return outcome_class.get();
}
template <>
PyTypeObject* type_object<ErrorRecord>() {
  return error_class.get();
}
template <>
PyTypeObject* type_object<RunEventRecord>() {
  return run_event_class.get();
}
template <>
PyTypeObject* type_object<GroupResultRecord>() {
  return group_result_class.get();
}

}  // namespace vantrel::py
