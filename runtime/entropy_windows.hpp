#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The two calls behind system_entropy() on Windows, and a seam to replace
// them. Free of <windows.h>, so a test can name them without it; only Windows
// builds define them.

namespace vostral::runtime {

// One way of asking Windows for random bytes: fills all of `out` and returns
// 0, or returns the Win32 error code that says why it could not.
using WindowsRandomCall = std::uint32_t (*)(std::span<std::byte> out) noexcept;

// What system_entropy() calls, in this order: `preferred`, and `fallback` only
// when `preferred` fails. When both fail it reports the preferred call's error.
struct WindowsRandomCalls {
  WindowsRandomCall preferred;
  WindowsRandomCall fallback;
};

// BCryptGenRandom with no algorithm handle and the system-preferred generator.
std::uint32_t bcrypt_random(std::span<std::byte> out) noexcept;

// RtlGenRandom, exported by advapi32 as SystemFunction036: the older call,
// for systems where the preferred one fails.
std::uint32_t rtl_gen_random(std::span<std::byte> out) noexcept;

// Test seam: system_entropy() makes `calls` from now on (a null member puts
// the real call back) and returns the calls it replaced. Process-wide; pass
// the returned value back to undo.
WindowsRandomCalls replace_windows_random_calls(WindowsRandomCalls calls) noexcept;

}  // namespace vostral::runtime
