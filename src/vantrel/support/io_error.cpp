// I/O error texts.
#include "vantrel/support/io_error.h"

#include <cstring>

namespace vantrel {
namespace {

// strerror_r comes in a GNU form that returns the text and an XSI form that fills the buffer.
[[maybe_unused]] const char* description(const char* text, const char*) { return text; }
[[maybe_unused]] const char* description(int failed, const char* buffer) {
  return failed == 0 ? buffer : "Unknown error";
}

}  // namespace

IoError os_error(int error_number) {
  char buffer[256] = {};
  const char* text = description(strerror_r(error_number, buffer, sizeof buffer), buffer);
  return {std::string(text) + " (os error " + std::to_string(error_number) + ")"};
}

IoError at_path(IoError error, std::string_view path) {
  error.text.append(" at path \"").append(path).append("\"");
  return error;
}

}  // namespace vantrel
