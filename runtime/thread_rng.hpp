#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vostral::runtime {

// Fills `out` with bytes from the operating system's entropy source.
// Returns 0, or the operating system's error code that says why it could not
// (an errno value; a Win32 error code on Windows), which
// std::system_category() describes.
using EntropySource = int (*)(std::span<std::byte> out) noexcept;

// The operating system's source, for any length of `out`:
//   Linux        getrandom(2), falling back to /dev/urandom where the call
//                does not exist;
//   macOS, BSDs  getentropy(2);
//   Windows      BCryptGenRandom with the system-preferred generator, falling
//                back to RtlGenRandom (SystemFunction036) when it fails.
int system_entropy(std::span<std::byte> out) noexcept;

// Test seam: seeds of generators created from now on come from `source`;
// returns the source it replaced. Pass the returned value back to undo.
EntropySource replace_entropy_source(EntropySource source) noexcept;

// Fills `draws` with values uniform over 0..3, each independent of every
// other and of every earlier draw, from the calling thread's generator. The generator is created and seeded with 32
// bytes of entropy at the thread's first draw (and again in a child process
// after fork, where there is fork, so parent and child never share a stream).
// Faults with "could not initialize thread_rng: <OS error description>" when
// the entropy source fails.
void draw_below_4(std::span<std::uint8_t> draws);

// Forgets the calling thread's generator so that its next draw seeds a new
// one; lets tests exercise seeding more than once per thread.
void reset_thread_rng() noexcept;

}  // namespace vostral::runtime
