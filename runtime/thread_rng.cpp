#include "runtime/thread_rng.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <system_error>

#include "runtime/fault.hpp"
#include "runtime/fork_count.hpp"

namespace vostral::runtime {
namespace {

std::atomic<EntropySource> active_source{&system_entropy};

std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }

// A 256-bit xoshiro-family generator: seeded with exactly the 32 bytes the
// entropy source gives, fast enough that a scramble of 1000 draws costs a few
// dozen steps, and each 64-bit output feeds 32 two-bit draws.
class Generator {
 public:
  bool seeded(std::uint64_t generation) const noexcept { return seeded_ && generation_ == generation; }

  void seed(std::uint64_t generation) {
    std::array<std::byte, 32> bytes{};
    if (const int error = active_source.load(std::memory_order_relaxed)(bytes); error != 0) {
      raise_fault("could not initialize thread_rng: " + std::system_category().message(error));
    }
    std::memcpy(state_.data(), bytes.data(), bytes.size());
    if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) {
      state_[0] = 0x9E3779B97F4A7C15u;  // the one state this generator cannot leave
    }
    bits_left_ = 0;
    generation_ = generation;
    seeded_ = true;
  }

  // Draws are taken from the top of each output down; what one call leaves
  // of an output, the next call takes first.
  void fill_below_4(std::span<std::uint8_t> draws) noexcept {
    std::size_t at = 0;
    for (; at < draws.size() && bits_left_ != 0; ++at) take(draws[at]);
    // Whole outputs, 32 draws each, without a test per draw.
    for (; draws.size() - at >= 32; at += 32) {
      // Each byte of the output, from the top, holds four draws.
      const std::uint64_t bits = next();
      for (std::size_t i = 0; i < 8; ++i) {
        const auto byte = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
        for (std::size_t j = 0; j < 4; ++j)
          draws[at + 4 * i + j] = static_cast<std::uint8_t>((byte >> (6 - 2 * j)) & 3u);
      }
    }
    for (; at < draws.size(); ++at) {
      if (bits_left_ == 0) {
        bits_ = next();
        bits_left_ = 64;
      }
      take(draws[at]);
    }
  }

  void forget() noexcept { seeded_ = false; }

 private:
  void take(std::uint8_t& draw) noexcept {
    draw = static_cast<std::uint8_t>(bits_ >> 62);
    bits_ <<= 2;
    bits_left_ -= 2;
  }

  std::uint64_t next() noexcept {
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  std::array<std::uint64_t, 4> state_{};
  std::uint64_t bits_ = 0;
  unsigned bits_left_ = 0;
  std::uint64_t generation_ = 0;
  bool seeded_ = false;
};

thread_local Generator thread_generator;

}  // namespace

EntropySource replace_entropy_source(EntropySource source) noexcept {
  return active_source.exchange(source != nullptr ? source : &system_entropy);
}

void draw_below_4(std::span<std::uint8_t> draws) {
  const std::uint64_t generation = forks_seen();
  if (!thread_generator.seeded(generation)) thread_generator.seed(generation);
  thread_generator.fill_below_4(draws);
}

void reset_thread_rng() noexcept { thread_generator.forget(); }

}  // namespace vostral::runtime
