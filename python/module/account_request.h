// Reading the request of an account-usage query (executable, env, timeout) from any Python object.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "vantrel/request.h"

namespace vantrel::py {

// The request as read, its timeout still in seconds and unchecked.
struct AccountRequest {
  std::optional<std::string> executable;
  EnvPairs env;
  std::optional<double> timeout_seconds;
};

// Reads `executable` (str or None), `env` (dict of str to str, or None) and `timeout` (anything
// float() takes, or None) from `req`, in this order; None reads nothing. A missing attribute
// raises the interpreter's AttributeError; a value of the wrong type raises TypeError "failed to
// extract field RECORD.FIELD" caused by the conversion's error. Either gets the note "while
// processing 'req'".
AccountRequest read_account_request(PyObject* req, std::string_view record_name);

}  // namespace vantrel::py
