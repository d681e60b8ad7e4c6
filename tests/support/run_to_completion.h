#pragma once

// Tests drive a task to its end from their top level; the program itself never waits for
// a task this way (its owners are task groups, resumed by the loop).

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/task.h"

namespace sentrel {

namespace run_detail {

template <class T>
struct Outcome {
  std::optional<T> value;
  template <class Source>
  void Set(Source&& v) {
    value.emplace(std::forward<Source>(v));
  }
  T Take() { return std::move(*value); }
};
template <>
struct Outcome<void> {
  void Take() {}
};

template <class T>
Task<void> Capture(Task<T> task, Outcome<T>* outcome, std::exception_ptr* error, bool* done) {
  try {
    if constexpr (std::is_void_v<T>)
      co_await std::move(task);
    else
      outcome->Set(co_await std::move(task));
  } catch (...) {
    *error = std::current_exception();
  }
  *done = true;
}

}  // namespace run_detail

// Runs a task to its end from a test's top level, never from inside work: starts it and
// serves the loop until it is done, then returns its value or throws its exception. After
// timeoutMs (negative: no limit) the task is destroyed where it waits and
// SentrelError("timed out") thrown.
template <class T>
T RunToCompletion(Task<T> task, int64_t timeoutMs = -1) {
  run_detail::Outcome<T> outcome;
  std::exception_ptr error;
  bool done = false;
  {
    TaskGroup group;
    group.Start(run_detail::Capture<T>(std::move(task), &outcome, &error, &done), LastActivity);
    if (!CurrentLoop().WaitUntil([&done] { return done; }, timeoutMs))
      throw SentrelError("timed out");
  }
  if (error) std::rethrow_exception(error);
  return outcome.Take();
}

}  // namespace sentrel
