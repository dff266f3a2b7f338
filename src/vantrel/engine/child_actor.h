// The child's actor in a run or a query: the one wait for the child's exit, the grace its pipes
// get after it, and the kill and reap of the child.
#pragma once

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cstddef>
#include <optional>
#include <utility>

#include "vantrel/runtime/child_process.h"

namespace vantrel {

// Owns the child process of a run or a query and is the only one to kill or reap it. Its actor
// (`run`) waits once for the child's exit, then gives the pipes runtime::pipe_grace to be let go
// by their own actors: a process the child left behind may hold them for as long as it lives.
// When the grace ends with a pipe still held, what is left of the child's group is killed (its
// id is still the child's: the child is unreaped) and the pipes' actors are stopped. Everything
// runs on one strand, the run's: the actors and their stops never overlap.
class ChildActor {
 public:
  // `pipes`: how many of the child's pipes have an actor that lets go of it.
  ChildActor(runtime::ChildProcess child, std::size_t pipes)
      : child_(std::move(child)), held_(pipes) {}

  // A pipe's actor is done with its pipe; once all are, a grace under way ends at once.
  void let_go() {
    if (held_ > 0 && --held_ == 0 && grace_) grace_->cancel();
  }

  // Kills the child's whole group, until it is reaped.
  void kill() { child_.kill(); }

  // Waits for the child's exit and calls `on_exit`; then the grace, and at its end with a pipe
  // still held, the kill and `stop_pipes`. The status, or why it could not be collected (the
  // group is then killed and the pipes stopped at once). Stopped through the caller's
  // cancellation slot, it ends without waiting further.
  template <class OnExit, class StopPipes>
  boost::asio::awaitable<runtime::Result<runtime::ExitStatus>> run(OnExit on_exit,
                                                                   StopPipes stop_pipes) {
    auto status = co_await child_.wait();
    on_exit();
    if (!status.has_value()) {
      end_pipes(stop_pipes);
      co_return status;
    }
    if (held_ > 0) {
      grace_.emplace(co_await boost::asio::this_coro::executor, runtime::pipe_grace);
      (void)co_await grace_->async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
      grace_.reset();
      if (held_ > 0) end_pipes(stop_pipes);
    }
    co_return status;
  }

  // Reaps the child once its status is collected: nothing is killed after this.
  void release() { child_.release(); }

 private:
  template <class StopPipes>
  void end_pipes(StopPipes& stop_pipes) {
    child_.kill();
    stop_pipes();
  }

  runtime::ChildProcess child_;
  std::size_t held_;
  std::optional<boost::asio::steady_timer> grace_;  // while the grace runs
};

}  // namespace vantrel
