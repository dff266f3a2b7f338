// Reading a run request from any Python object by attribute, and turning it into a RunRequest.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <variant>

#include "records.h"
#include "vantrel/protocol/request.h"

namespace vantrel::py {

// The request as read: every field converted except the sandbox and approval words.
struct ReqData : RunRequest {
  std::optional<std::string> sandbox_word;
  std::optional<std::string> approval_word;
};

// Reads the 29 attributes in order with the interpreter lock held; throws python_error with the
// lookup's own error, or a TypeError naming the field whose value is ill-typed.
ReqData extract_req_data(PyObject* object);

// Parses the words; an unknown one gives the "invalidRequest" error record instead.
std::variant<RunRequest, ErrorRecord> req_data_into_request(ReqData data);

}  // namespace vantrel::py
