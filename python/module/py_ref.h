// An owning handle on one Python reference, so no path of the module leaks or over-releases it.
#pragma once

#include <Python.h>

#include <utility>

namespace vantrel::py {

class ref {
 public:
  ref() = default;
  // Takes over a new reference (nullptr stays empty).
  static ref steal(PyObject* object) { return ref(object); }
  // Adds a reference to a borrowed one.
  static ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return ref(object);
  }

  ref(const ref&) = delete;
  ref& operator=(const ref&) = delete;
  ref(ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ref& operator=(ref&& other) noexcept {
    ref(std::move(other)).swap(*this);
    return *this;
  }
  ~ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (a return value to the interpreter, or a stealing call).
  PyObject* release() { return std::exchange(object_, nullptr); }
  void swap(ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vantrel::py
