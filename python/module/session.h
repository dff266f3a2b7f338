// The Session class: the Python handle on one started run, or on a start that failed.
#pragma once

#include <Python.h>

#include <boost/asio/awaitable.hpp>
#include <memory>

#include "py_ref.h"
#include "records.h"
#include "vantrel/session.h"

namespace vantrel::py {

PyTypeObject* session_type_object();

// A Session in the failed-start state: it answers every method at once from `error`.
ref failed_session(ErrorRecord error);
// A Session in the live state: it takes the handle's event receiver behind its stream lock.
ref live_session(SessionHandle handle);

// Waits for the run's end and records its outcome, sharing the one the latch stores.
boost::asio::awaitable<OutcomeRecord> wait_outcome(std::shared_ptr<Latch<Outcome>> latch);

}  // namespace vantrel::py
