// I/O error texts, and the seam through which the core makes its file system calls.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>

namespace vantrel {

// A failed I/O operation, as its text: the system's description and number, and for a file
// the module creates or writes, the file's path.
struct IoError {
  std::string text;
  friend bool operator==(const IoError&, const IoError&) = default;
};

// "No such file or directory (os error 2)".
IoError os_error(int error_number);

// `error` + " at path " + `path` between double quotes.
IoError at_path(IoError error, std::string_view path);

// Runs a system call until it fails with something other than EINTR.
template <typename Call>
auto retry_on_interrupt(Call call) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

}  // namespace vantrel
