// The entropy source on Windows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After <windows.h>, which they build on.
#include <bcrypt.h>
#include <ntsecapi.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "runtime/entropy_windows.hpp"
#include "runtime/thread_rng.hpp"

// In ntdll; declared here because <winternl.h>, its header, clashes with
// <ntsecapi.h> in some SDKs.
extern "C" ULONG WINAPI RtlNtStatusToDosError(NTSTATUS status);

namespace vostral::runtime {
namespace {

std::atomic<WindowsRandomCall> preferred_call{&bcrypt_random};
std::atomic<WindowsRandomCall> fallback_call{&rtl_gen_random};

// Both calls take a 32-bit length; longer requests go in pieces.
ULONG piece(std::span<std::byte> out, std::size_t done) noexcept {
  return static_cast<ULONG>(std::min<std::size_t>(out.size() - done, std::numeric_limits<ULONG>::max()));
}

}  // namespace

std::uint32_t bcrypt_random(std::span<std::byte> out) noexcept {
  for (std::size_t done = 0; done < out.size();) {
    const ULONG size = piece(out, done);
    const NTSTATUS status =
        BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(out.data() + done), size, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) return RtlNtStatusToDosError(status);
    done += size;
  }
  return 0;
}

std::uint32_t rtl_gen_random(std::span<std::byte> out) noexcept {
  for (std::size_t done = 0; done < out.size();) {
    const ULONG size = piece(out, done);
    if (SystemFunction036(out.data() + done, size) == FALSE) {
      const DWORD error = GetLastError();
      return error != 0 ? error : ERROR_GEN_FAILURE;  // it need not set one
    }
    done += size;
  }
  return 0;
}

WindowsRandomCalls replace_windows_random_calls(WindowsRandomCalls calls) noexcept {
  return {preferred_call.exchange(calls.preferred != nullptr ? calls.preferred : &bcrypt_random),
          fallback_call.exchange(calls.fallback != nullptr ? calls.fallback : &rtl_gen_random)};
}

int system_entropy(std::span<std::byte> out) noexcept {
  const std::uint32_t preferred = preferred_call.load(std::memory_order_relaxed)(out);
  if (preferred == 0) return 0;
  if (fallback_call.load(std::memory_order_relaxed)(out) == 0) return 0;
  return static_cast<int>(preferred);
}

}  // namespace vostral::runtime
