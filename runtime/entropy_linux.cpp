// The entropy source on Linux: getrandom(2), or /dev/urandom on kernels
// older than the call.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/thread_rng.hpp"

namespace vostral::runtime {
namespace {

int read_urandom(std::span<std::byte> out) noexcept {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      error = got < 0 ? errno : EIO;
      break;
    }
  }
  ::close(fd);
  return error;
}

}  // namespace

int system_entropy(std::span<std::byte> out) noexcept {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::getrandom(out.data() + done, out.size() - done, 0);
    if (got >= 0) {
      done += static_cast<std::size_t>(got);
    } else if (errno == EINTR) {
      continue;
    } else if (errno == ENOSYS) {
      return read_urandom(out.subspan(done));
    } else {
      return errno;
    }
  }
  return 0;
}

}  // namespace vostral::runtime
