// Broken internal invariants: the one way the core stops an operation that cannot go on.
#pragma once

#include <exception>
#include <string>

namespace vantrel {

// Thrown when an internal invariant breaks ("latch poisoned", "semaphore closed", ...).
// It never carries an expected failure: those are values. The Python boundary turns it into
// PanicException with `what()` as the message.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void panic(std::string message);

// Stops with `message` unless `ok` holds.
inline void check(bool ok, const char* message) {
  if (!ok) panic(message);
}

}  // namespace vantrel
