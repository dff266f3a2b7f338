// The Session class: the Python handle on one started run, or on a start that failed.
#pragma once

#include <Python.h>

#include <boost/asio/awaitable.hpp>
#include <memory>

#include "py_ref.h"
#include "records.h"
#include "vantrel/engine/session.h"

namespace vantrel::py {

PyTypeObject* session_type_object();

// A Session in the failed-start state: it answers every method at once from `error`.
ref failed_session(ErrorRecord error);
// A Session in the live state: it takes the handle's event receiver behind its stream lock.
ref live_session(SessionHandle handle);

}  // namespace vantrel::py
