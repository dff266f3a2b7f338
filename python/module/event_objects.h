// PyEvent and the records nested in it: PyItem, PyFileChange, PyUsage and PyModelUsage. Each
// object owns a copy of the core record (FileChange, ModelUsage) or a share of one that never
// changes (a kept event, its item and its usage: an item read from an event points into it).
#pragma once

#include "py_class.h"
#include "vantrel/protocol/event_record.h"

namespace vantrel::py {

template <>
inline constexpr bool is_py_record<EventRecord> = true;
template <>
inline constexpr bool is_py_record<ItemRecord> = true;
template <>
inline constexpr bool is_py_record<FileChange> = true;
template <>
inline constexpr bool is_py_record<Usage> = true;
template <>
inline constexpr bool is_py_record<ModelUsage> = true;

template <>
inline constexpr bool is_shared_record<EventRecord> = true;
template <>
inline constexpr bool is_shared_record<ItemRecord> = true;
template <>
inline constexpr bool is_shared_record<Usage> = true;

template <>
PyTypeObject* type_object<EventRecord>();
template <>
PyTypeObject* type_object<ItemRecord>();
template <>
PyTypeObject* type_object<FileChange>();
template <>
PyTypeObject* type_object<Usage>();
template <>
PyTypeObject* type_object<ModelUsage>();

}  // namespace vantrel::py
