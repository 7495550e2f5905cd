// The entropy source on macOS and the BSDs: getentropy(2), which hands out at
// most 256 bytes a call.
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>  // where macOS declares getentropy
#endif

#include <algorithm>
#include <cerrno>

#include "runtime/thread_rng.hpp"

namespace vostral::runtime {
namespace {

constexpr std::size_t GETENTROPY_MAX = 256;

}  // namespace

int system_entropy(std::span<std::byte> out) noexcept {
  for (std::size_t done = 0; done < out.size();) {
    const std::size_t chunk = std::min(out.size() - done, GETENTROPY_MAX);
    if (::getentropy(out.data() + done, chunk) != 0) return errno;
    done += chunk;
  }
  return 0;
}

}  // namespace vostral::runtime
