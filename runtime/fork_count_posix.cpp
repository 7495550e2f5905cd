// The fork count where there is fork: a hook that runs in every child.
#include <pthread.h>

#include <atomic>

#include "runtime/fork_count.hpp"

namespace vostral::runtime {
namespace {

std::atomic<std::uint64_t> forks{0};

void note_fork_in_child() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t forks_seen() noexcept {
  // Registered on first use; a generator exists only after a first draw,
  // which asks here first, so no fork before it can matter.
  static const bool hooked = (pthread_atfork(nullptr, nullptr, &note_fork_in_child), true);
  (void)hooked;
  return forks.load(std::memory_order_relaxed);
}

}  // namespace vostral::runtime
