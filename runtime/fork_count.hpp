#pragma once

#include <cstdint>

namespace vostral::runtime {

// How many times a fork lies between the calling process and the one that
// first asked: 0 in that process, raised by one in every child. A per-thread
// generator seeded under another count was copied from a parent and must
// reseed. Where there is no fork (Windows) it is always 0.
std::uint64_t forks_seen() noexcept;

}  // namespace vostral::runtime
