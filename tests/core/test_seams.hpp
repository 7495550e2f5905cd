#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/clock.hpp"
#include "runtime/fault.hpp"
#include "runtime/thread_rng.hpp"

namespace vostral::test {

// What a call's fault says ("no fault" when it returns) and the report it
// wrote, which is captured so that it does not fill the test's output.
struct CaughtFault {
  std::string message;
  std::string report;
};

template <class Call>
CaughtFault catch_fault(const Call& call) {
  testing::internal::CaptureStderr();
  std::string message = "no fault";
  try {
    call();
  } catch (const runtime::Fault& fault) {
    message = fault.message();
  }
  return {message, testing::internal::GetCapturedStderr()};
}

// Installs a wall clock for one scope and puts the previous one back, so a
// test's clock never leaks into the next test.
class ScopedWallClock {
 public:
  explicit ScopedWallClock(runtime::WallClock clock) : previous_(runtime::replace_wall_clock(clock)) {}
  ~ScopedWallClock() { runtime::replace_wall_clock(previous_); }
  ScopedWallClock(const ScopedWallClock&) = delete;
  ScopedWallClock& operator=(const ScopedWallClock&) = delete;

 private:
  runtime::WallClock previous_;
};

// A clock that reads whatever the test set last and counts its readings. The
// seam takes a plain function pointer, hence the process-wide state.
class ScriptedClock {
 public:
  explicit ScriptedClock(runtime::WallTime at) : scope_(&read) { set(at); }

  void set(runtime::WallTime at) {
    seconds_.store(at.seconds);
    nanoseconds_.store(at.nanoseconds);
    reads_.store(0);
  }
  int reads() const { return reads_.load(); }

 private:
  static runtime::WallTime read() noexcept {
    reads_.fetch_add(1);
    return {seconds_.load(), nanoseconds_.load()};
  }

  static inline std::atomic<std::int64_t> seconds_{0};
  static inline std::atomic<std::int64_t> nanoseconds_{0};
  static inline std::atomic<int> reads_{0};
  ScopedWallClock scope_;
};

// Installs an entropy source for one scope. The calling thread's generator is
// forgotten on the way in and out: in, so the next draw really seeds from
// `source`; out, so no later test draws from a generator seeded by it.
class ScopedEntropySource {
 public:
  explicit ScopedEntropySource(runtime::EntropySource source) : previous_(runtime::replace_entropy_source(source)) {
    runtime::reset_thread_rng();
  }
  ~ScopedEntropySource() {
    runtime::replace_entropy_source(previous_);
    runtime::reset_thread_rng();
  }
  ScopedEntropySource(const ScopedEntropySource&) = delete;
  ScopedEntropySource& operator=(const ScopedEntropySource&) = delete;

 private:
  runtime::EntropySource previous_;
};

}  // namespace vostral::test
