// Calls that must come back: a close that never returns or a read that waits forever would
// otherwise hold the test program until the runner's timeout, minutes later, with nothing
// said. FinishesWithin runs the call on a thread of its own; when it has not returned by
// the deadline the failure is reported and the program ends at once, since that thread
// cannot be stopped.
#ifndef VANTORY_TESTS_DEADLINE_H
#define VANTORY_TESTS_DEADLINE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <utility>

// `report`, when given, says more about the hang (what was traced, say) before the end.
template <typename Call>
auto FinishesWithin(std::chrono::milliseconds limit, const char* what, Call&& call,
                    const std::function<void()>& report = nullptr) -> decltype(call()) {
  auto future = std::async(std::launch::async, std::forward<Call>(call));
  if (future.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << what << " has not returned after " << limit.count() << " ms";
    if (report) report();
    std::fprintf(stderr, "%s has not returned after %lld ms: giving up on this test program\n",
                 what, static_cast<long long>(limit.count()));
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return future.get();
}

// Milliseconds since `start`.
inline long long ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

#endif  // VANTORY_TESTS_DEADLINE_H
