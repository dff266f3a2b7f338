// The live state of a Session or a Group, which belongs to the process that made it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "errors.h"
#include "vantrel/runtime/runtime.h"

namespace vantrel::py {

// Owns a T made on this process's runtime. In the child of a fork() the T is never touched:
// its locks, channels and tasks belong to the parent's runtime, whose threads the child does not
// have, so `get` raises RuntimeError "<what> belongs to the process that created it and cannot
// be used after fork()" and the T is left in memory rather than destroyed.
template <class T>
class ForkBound {
 public:
  explicit ForkBound(T value)
      : value_(std::make_unique<T>(std::move(value))), generation_(runtime::fork_generation()) {}
  ForkBound(ForkBound&&) noexcept = default;
  ~ForkBound() {
    if (inherited()) (void)value_.release();
  }

  // True in a forked child of the process that made it.
  bool inherited() const { return generation_ != runtime::fork_generation(); }

  // The T, or null in a forked child.
  T* owned() { return inherited() ? nullptr : value_.get(); }

  T& get(const char* what) {
    if (T* value = owned()) return *value;
    raise(PyExc_RuntimeError,
          std::string(what) +
              " belongs to the process that created it and cannot be used after fork()");
  }

 private:
  std::unique_ptr<T> value_;
  std::uint64_t generation_;
};

}  // namespace vantrel::py
