// Seeding on Windows: the preferred call, its fallback, and the fault when
// neither gives bytes. Built only for Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>

#include "core/game_state.hpp"
#include "runtime/entropy_windows.hpp"
#include "runtime/fault.hpp"
#include "runtime/thread_rng.hpp"

namespace vostral {
namespace {

using runtime::WindowsRandomCalls;

constexpr std::uint32_t NOT_SUPPORTED = 50;  // ERROR_NOT_SUPPORTED
constexpr std::uint32_t ACCESS_DENIED = 5;   // ERROR_ACCESS_DENIED

std::atomic<int> preferred_calls{0};
std::atomic<int> fallback_calls{0};

std::uint32_t failing_preferred(std::span<std::byte>) noexcept {
  ++preferred_calls;
  return NOT_SUPPORTED;
}
std::uint32_t failing_fallback(std::span<std::byte>) noexcept {
  ++fallback_calls;
  return ACCESS_DENIED;
}
// The real fallback, counted.
std::uint32_t counted_fallback(std::span<std::byte> out) noexcept {
  ++fallback_calls;
  return runtime::rtl_gen_random(out);
}

// Installs calls for one scope; forgets this thread's generator on the way in
// and out, so seeding really happens through them and nothing leaks onwards.
class ScopedRandomCalls {
 public:
  explicit ScopedRandomCalls(WindowsRandomCalls calls) : previous_(runtime::replace_windows_random_calls(calls)) {
    preferred_calls = 0;
    fallback_calls = 0;
    runtime::reset_thread_rng();
  }
  ~ScopedRandomCalls() {
    runtime::replace_windows_random_calls(previous_);
    runtime::reset_thread_rng();
  }
  ScopedRandomCalls(const ScopedRandomCalls&) = delete;
  ScopedRandomCalls& operator=(const ScopedRandomCalls&) = delete;

 private:
  WindowsRandomCalls previous_;
};

bool all_zero(std::span<const std::byte> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

TEST(WindowsEntropy, BothRealCallsGiveFreshBytes) {
  for (const auto call : {&runtime::bcrypt_random, &runtime::rtl_gen_random}) {
    std::array<std::byte, 32> first{};
    std::array<std::byte, 32> second{};
    ASSERT_EQ(call(first), 0u);
    ASSERT_EQ(call(second), 0u);
    EXPECT_FALSE(all_zero(first));
    EXPECT_NE(first, second);
  }
}

TEST(WindowsEntropy, FallbackServesWhenThePreferredCallFails) {
  const ScopedRandomCalls calls({&failing_preferred, &counted_fallback});
  std::array<std::byte, 32> seed{};
  ASSERT_EQ(runtime::system_entropy(seed), 0);
  EXPECT_FALSE(all_zero(seed));
  EXPECT_EQ(preferred_calls.load(), 1);
  EXPECT_EQ(fallback_calls.load(), 1);

  // A game seeds its thread's generator through the same path.
  const core::TarnelCore game = core::TarnelCore::create(4);
  EXPECT_EQ(game.get_cmds_str().size(), 1000u);
  EXPECT_EQ(preferred_calls.load(), 2);
  EXPECT_EQ(fallback_calls.load(), 2);
}

TEST(WindowsEntropy, WorkingPreferredCallLeavesTheFallbackAlone) {
  const ScopedRandomCalls calls({nullptr, &failing_fallback});
  std::array<std::byte, 32> seed{};
  ASSERT_EQ(runtime::system_entropy(seed), 0);
  EXPECT_FALSE(all_zero(seed));
  EXPECT_EQ(fallback_calls.load(), 0);
}

TEST(WindowsEntropy, BothFailingFaultsWithThePreferredCallsError) {
  const ScopedRandomCalls calls({&failing_preferred, &failing_fallback});
  const std::string description = std::system_category().message(static_cast<int>(NOT_SUPPORTED));
  EXPECT_FALSE(description.empty());
  testing::internal::CaptureStderr();
  try {
    core::TarnelCore::create(3);
    ADD_FAILURE() << "created without entropy";
  } catch (const runtime::Fault& fault) {
    EXPECT_EQ(fault.message(), "could not initialize thread_rng: " + description);
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(preferred_calls.load(), 1);
  EXPECT_EQ(fallback_calls.load(), 1);
}

}  // namespace
}  // namespace vostral
