// The shared frame of the module's classes: objects that own one C++ record, their type objects
// (made once per process), the "cannot create" constructor, and the conversion of record fields
// into new Python values for the read-only getters.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors.h"
#include "py_ref.h"
#include "vantrel/support/text.h"

namespace vantrel::py {

// The instance layout of every class: the object header, then the record it owns.
template <class Record>
struct Boxed {
  PyObject_HEAD Record record;
};

template <class Record>
Record& record_of(PyObject* self) {
  return reinterpret_cast<Boxed<Record>*>(self)->record;
}

// One class: its spec (full name "builtins.X", instance size, default flags only, so it cannot be
// subclassed and its instances have no dictionary or weak references) and its type object, made
// on first use and kept for the life of the process.
class TypeCell {
 public:
  TypeCell(const char* full_name, std::size_t instance_size, std::vector<PyType_Slot> slots);
  // The type object; nullptr with the Python error set when it cannot be made.
  PyTypeObject* get();

 private:
  const char* full_name_;  // the type object keeps pointing at it
  std::size_t instance_size_;
  std::vector<PyType_Slot> slots_;
  PyObject* type_ = nullptr;
};

// The accessor of the class whose instances own a `Record`; one specialisation per class.
template <class Record>
PyTypeObject* type_object();

// Releases the record, then frees the object through the type's free slot.
template <class Record>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&record_of<Record>(self));
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);  // heap-type instances hold a reference to their type
}

// Allocates an instance of `type` and moves `record` into it.
template <class Record>
ref new_object_of(PyTypeObject* type, Record record) {
  if (type == nullptr) throw_python_error();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  ref self = checked(alloc(type, 0));
  new (&record_of<Record>(self.get())) Record(std::move(record));
  return self;
}

// Records that objects hold shared (marked by the class's file): an object and the objects made
// from its parts (an event and its item, a run result and its events) point into one copy. The
// records never change once made, so sharing reads the same as copying, without the copy.
template <class Record>
inline constexpr bool is_shared_record = false;

// What an instance of the class showing `Record` owns.
template <class Record>
using stored_t =
    std::conditional_t<is_shared_record<Record>, std::shared_ptr<const Record>, Record>;

template <class Record>
ref new_object(Record record) {
  if constexpr (is_shared_record<Record>)
    return new_object_of(type_object<Record>(), std::make_shared<const Record>(std::move(record)));
  else
    return new_object_of(type_object<Record>(), std::move(record));
}

template <class Record>
requires is_shared_record<Record> ref new_object(std::shared_ptr<const Record> record) {
  return new_object_of(type_object<Record>(), std::move(record));
}

// The constructor slot of every class but Runner: "cannot create 'builtins.X' instances".
PyObject* cannot_create(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// A class that Python cannot construct, whose instances own a `Record` and show it through
// read-only getters (and `extra` slots such as methods or iteration).
template <class Record>
TypeCell record_class(const char* full_name, const char* doc, PyGetSetDef* getset,
                      std::vector<PyType_Slot> extra = {}) {
  using Stored = stored_t<Record>;
  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(cannot_create)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Stored>)},
  };
  if (getset != nullptr) slots.push_back({Py_tp_getset, getset});
  slots.insert(slots.end(), extra.begin(), extra.end());
  return TypeCell(full_name, sizeof(Boxed<Stored>), std::move(slots));
}

// Records that are shown as an object of their own class (marked by the class's file).
template <class Record>
inline constexpr bool is_py_record = false;

inline ref none() { return ref::borrow(Py_None); }

// New Python values from record fields; every call builds a fresh value.
inline ref to_py(ref value) { return value; }
inline ref to_py(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline ref to_py(const std::string& text) { return to_py(std::string_view(text)); }
inline ref to_py(const Text& text) { return to_py(text.view()); }
inline ref to_py(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }
inline ref to_py(std::int32_t value) { return checked(PyLong_FromLong(value)); }
inline ref to_py(std::uint32_t value) { return checked(PyLong_FromUnsignedLong(value)); }
inline ref to_py(double value) { return checked(PyFloat_FromDouble(value)); }
inline ref to_py(bool value) { return ref::borrow(value ? Py_True : Py_False); }

template <class Record>
requires is_py_record<Record> ref to_py(const Record& record) { return new_object(Record(record)); }

template <class Record>
requires is_shared_record<Record> ref to_py(const std::shared_ptr<const Record>& record) {
  return new_object(record);
}

template <class T>
ref to_py(const std::optional<T>& value) {
  return value ? to_py(*value) : none();
}

// A list of the elements of `values`, a vector or another sized range (a run's events).
template <class Range>
ref list_of(const Range& values) {
  ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  Py_ssize_t i = 0;
  for (const auto& value : values) PyList_SetItem(list.get(), i++, to_py(value).release());
  return list;
}

template <class T>
ref to_py(const std::vector<T>& values) {
  return list_of(values);
}

template <class T>
ref to_py(const std::unordered_map<std::string, T>& map) {
  ref dict = checked(PyDict_New());
  for (const auto& [key, value] : map)
    checked(PyDict_SetItem(dict.get(), to_py(key).get(), to_py(value).get()));
  return dict;
}

// The record of `self` as `View`: the stored record, the shared pointer a shared record is held
// by, or the record that pointer points to.
template <class View>
const View& view_of(PyObject* self) {
  if constexpr (is_shared_record<View>)
    return *record_of<std::shared_ptr<const View>>(self);
  else
    return record_of<View>(self);
}

namespace detail {
template <class Member>
struct member_of;
template <class Record, class T>
struct member_of<T Record::*> {
  using record = Record;
};
template <class Record, class T>
Record record_param(T (*)(const Record&));
}  // namespace detail

// Getter of a stored field: `get_field<&FileChange::path>`.
template <auto Member>
PyObject* get_field(PyObject* self, void*) {
  using Record = typename detail::member_of<decltype(Member)>::record;
  return boundary([&] { return to_py(view_of<Record>(self).*Member).release(); });
}

// Getter of a value computed from the record (or, for a shared record, from the pointer that
// holds it, to share a part of it): `get_with<event_type_word>`.
template <auto Compute>
PyObject* get_with(PyObject* self, void*) {
  using Record = decltype(detail::record_param(Compute));
  return boundary([&] { return to_py(Compute(view_of<Record>(self))).release(); });
}

// A class that Python cannot construct and whose members come later: only its doc is set.
TypeCell bare_class(const char* full_name, const char* doc);

// A method taking keywords, as the method table stores it.
inline PyCFunction keyword_method(PyCFunctionWithKeywords method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// One entry of a class's getter table; `getset_end` closes the table.
constexpr PyGetSetDef readonly(const char* name, getter get) {
  return {name, get, nullptr, nullptr, nullptr};
}
inline constexpr PyGetSetDef getset_end = {nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace vantrel::py
