// PyRunResult, PyOutcome, PyError, PyRunEvent and PyGroupResult: the objects that carry the end of
// a run and the module's error record.
#pragma once

#include "event_objects.h"
#include "py_class.h"
#include "records.h"

namespace vantrel::py {

template <>
inline constexpr bool is_py_record<RunResultRecord> = true;
template <>
inline constexpr bool is_py_record<OutcomeRecord> = true;
template <>
inline constexpr bool is_py_record<ErrorRecord> = true;
template <>
inline constexpr bool is_py_record<RunEventRecord> = true;
template <>
inline constexpr bool is_py_record<GroupResultRecord> = true;

template <>
PyTypeObject* type_object<RunResultRecord>();
template <>
PyTypeObject* type_object<OutcomeRecord>();
template <>
PyTypeObject* type_object<ErrorRecord>();
template <>
PyTypeObject* type_object<RunEventRecord>();
template <>
PyTypeObject* type_object<GroupResultRecord>();

}  // namespace vantrel::py
