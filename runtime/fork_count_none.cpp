// The fork count where processes cannot fork (Windows): a new process never
// starts from a copy of this one's memory.
#include "runtime/fork_count.hpp"

namespace vostral::runtime {

std::uint64_t forks_seen() noexcept { return 0; }

}  // namespace vostral::runtime
