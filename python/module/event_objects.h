// PyEvent and the records nested in it: PyItem, PyFileChange, PyUsage and PyModelUsage. Each
// object owns a copy of the core record (FileChange, ModelUsage) or a share of one that never
// changes (Event, Item, Usage: an item read from an event points into that event).
#pragma once

#include "py_class.h"
#include "vantrel/protocol/event.h"

namespace vantrel::py {

template <>
inline constexpr bool is_py_record<Event> = true;
template <>
inline constexpr bool is_py_record<Item> = true;
template <>
inline constexpr bool is_py_record<FileChange> = true;
template <>
inline constexpr bool is_py_record<Usage> = true;
template <>
inline constexpr bool is_py_record<ModelUsage> = true;

template <>
inline constexpr bool is_shared_record<Event> = true;
template <>
inline constexpr bool is_shared_record<Item> = true;
template <>
inline constexpr bool is_shared_record<Usage> = true;

template <>
PyTypeObject* type_object<Event>();
template <>
PyTypeObject* type_object<Item>();
template <>
PyTypeObject* type_object<FileChange>();
template <>
PyTypeObject* type_object<Usage>();
template <>
PyTypeObject* type_object<ModelUsage>();

}  // namespace vantrel::py
