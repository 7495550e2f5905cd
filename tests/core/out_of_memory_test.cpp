// Running out of memory, simulated by replacing the global allocation
// functions for the whole test binary. They pass straight through to malloc
// until a test arms them, so every other test is unaffected; going through
// malloc and free keeps the sanitizers' leak and bounds checks working.

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <malloc.h>  // _aligned_malloc, _aligned_free
#endif

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "core/game_state.hpp"
#include "reference_game.hpp"
#include "test_seams.hpp"

namespace {

std::atomic<long> allowance{-1};  // allocations still allowed; negative when disarmed
std::atomic<bool> recording{false};
std::atomic<std::size_t> largest_request{0};
std::atomic<long> live_blocks{0};  // made by these functions and not yet released

// `alignment` is 0 for the plain forms and the requested alignment for the
// aligned ones, which Windows must allocate and free with calls of their own.
void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (recording.load()) {
    std::size_t seen = largest_request.load();
    while (size > seen && !largest_request.compare_exchange_weak(seen, size)) {
    }
  }
  for (long left = allowance.load(); left >= 0;) {
    if (left == 0) return nullptr;
    if (allowance.compare_exchange_weak(left, left - 1)) break;
  }
  const std::size_t bytes = size == 0 ? 1 : size;
  void* p = nullptr;
#if defined(_WIN32)
  p = alignment != 0 ? _aligned_malloc(bytes, alignment) : std::malloc(bytes);
#else
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(bytes);
  } else if (posix_memalign(&p, alignment, bytes) != 0) {
    p = nullptr;
  }
#endif
  if (p != nullptr) live_blocks.fetch_add(1);
  return p;
}

void release(void* p) noexcept {
  if (p != nullptr) live_blocks.fetch_sub(1);
  std::free(p);
}

void release_aligned(void* p) noexcept {
  if (p != nullptr) live_blocks.fetch_sub(1);
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

// No new-handler loop: a refused allocation must fail at once to be useful here.
void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  if (void* p = allocate(size, alignment)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return allocate_or_throw(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return allocate_or_throw(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release_aligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release_aligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release_aligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release_aligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release_aligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release_aligned(p); }

namespace vostral {
namespace {

using core::Rows;
using core::TarnelCore;

// Runs `body` with `allowed` more allocations permitted; true when it ran out.
// Disarmed again before any assertion, which would allocate itself.
template <class Body>
bool runs_out(long allowed, Body&& body) {
  allowance.store(allowed);
  bool out = false;
  try {
    body();
  } catch (const std::bad_alloc&) {
    out = true;
  }
  allowance.store(-1);
  return out;
}

// The volatile store keeps the optimiser from pairing a new with its delete away.
void* volatile escaped = nullptr;
template <class T>
void new_delete() {
  T* p = new T();
  escaped = p;
  delete p;
}
template <class T>
void new_delete_array() {
  T* p = new T[2];
  escaped = p;
  delete[] p;
}

TEST(OutOfMemory, ArmedAllocatorRefusesEveryForm) {
  struct alignas(64) Wide {
    char bytes[64];
  };
  const auto two = [] { new_delete<int>(), new_delete<int>(); };
  EXPECT_TRUE(runs_out(1, two));
  EXPECT_FALSE(runs_out(2, two));
  EXPECT_TRUE(runs_out(0, new_delete_array<char>));
  EXPECT_TRUE(runs_out(0, new_delete<Wide>));
  EXPECT_TRUE(runs_out(0, new_delete_array<Wide>));
  int* refused = nullptr;
  EXPECT_FALSE(runs_out(0, [&] { refused = new (std::nothrow) int(1); }));
  EXPECT_EQ(refused, nullptr);
  delete refused;
  Wide* wide = new Wide[2];
  escaped = wide;
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wide) % 64, 0u);
  delete[] wide;
}

TEST(OutOfMemory, MoveTileThatCannotLogChangesNothing) {
  TarnelCore game = TarnelCore::with_board({{1, 2, 3}, {4, 0, 5}, {6, 7, 8}}, {});
  // Moves that alternate the gap up and down, and wide characters, until the
  // log must grow; with nothing left to allocate that move must not happen.
  const char32_t letters[] = {U'U', U'\u00E9', U'D', U'\U0001F600'};
  int failures = 0;
  for (std::size_t i = 0; i < 400; ++i) {
    const Rows board = game.get_tarnel();
    const std::string log = game.get_cmds_str();
    if (!runs_out(0, [&] { game.move_tile(letters[i % 4]); })) continue;
    ++failures;
    EXPECT_EQ(game.get_tarnel(), board) << i;
    EXPECT_EQ(game.get_cmds_str(), log) << i;
    game.move_tile(letters[i % 4]);  // with memory again, the same move goes through
    EXPECT_EQ(game.get_cmds_str(), log + test::utf8_of(letters[i % 4])) << i;
  }
  EXPECT_GE(failures, 3);
}

TEST(OutOfMemory, SequenceThatCannotReserveKeepsTheOldLog) {
  TarnelCore game = TarnelCore::with_board({{1, 2, 3}, {4, 0, 5}, {6, 7, 8}}, {});
  game.move_tile(U'U');
  game.move_tile(U'x');
  std::string text;
  for (int i = 0; i < 2500; ++i) text += "du";
  EXPECT_TRUE(runs_out(0, [&] { game.move_sequence(text); }));
  EXPECT_EQ(game.get_cmds_str(), "Ux");
  EXPECT_EQ(game.get_tarnel(), (Rows{{1, 0, 3}, {4, 2, 5}, {6, 7, 8}}));
  EXPECT_FALSE(game.move_sequence(text));
  EXPECT_EQ(game.get_cmds_str().size(), text.size());
}

TEST(OutOfMemory, LogFailingMidSequenceMatchesTheBoard) {
  // Tiles 1 and 2 swapped, so no text ever solves the board. U+0250 takes two
  // bytes in the text and three upper-cased in the log, so the log outgrows
  // what was reserved for the text part of the way through; a leading run of
  // them moves that point across every character of the repeated block, so
  // the failure lands on each kind of character, direction letters included.
  const Rows start = {{2, 1, 3, 4}, {5, 6, 7, 8}, {9, 10, 0, 11}, {12, 13, 14, 15}};
  int partial = 0;
  for (std::size_t shift = 0; shift < 18; ++shift) {
    std::u32string text(shift, U'\u0250');
    for (int i = 0; i < 500; ++i) text += U"\u0250l\u0250Ru\u00DFd\u0250\uFB02r";
    const std::string utf8 = test::utf8_of(text);
    test::ReferenceGame reference{start, {}};
    ASSERT_FALSE(reference.move_sequence(text));

    for (long allowed = 0; allowed < 64; ++allowed) {
      TarnelCore game = TarnelCore::with_board(start, {});
      game.move_tile(U'!');
      if (!runs_out(allowed, [&] { game.move_sequence(utf8); })) {
        EXPECT_EQ(game.get_cmds_str(), reference.log) << shift;
        EXPECT_EQ(game.get_tarnel(), reference.board) << shift;
        break;
      }
      const std::string log = game.get_cmds_str();
      if (log == "!") {  // failed before the first character: nothing happened
        EXPECT_EQ(game.get_tarnel(), start) << shift << " " << allowed;
        continue;
      }
      ++partial;
      EXPECT_LT(log.size(), reference.log.size()) << shift << " " << allowed;
      EXPECT_TRUE(reference.log.starts_with(log)) << shift << " " << allowed;
      EXPECT_EQ(game.get_tarnel(), test::replay(start, log)) << shift << " " << allowed;
      EXPECT_FALSE(game.is_solved());
    }
  }
  EXPECT_GE(partial, 18);
}

TEST(OutOfMemory, FailedCreationLeaksNothing) {
  // Every block a creation made before it ran out is given back on the way out.
  TarnelCore::create(1);  // this thread's generator, made once and kept, exists first
  for (const std::uint64_t n : {1u, 4u, 100u}) {
    long allowed = 0;
    long leaked = 0;
    for (;; ++allowed) {
      const long before = live_blocks.load();
      if (allowed == 64 || !runs_out(allowed, [&] { TarnelCore::create(n); })) break;
      leaked += live_blocks.load() - before;
    }
    EXPECT_EQ(leaked, 0) << "n=" << n;
    EXPECT_GE(allowed, 2) << "at least the board and the log, n=" << n;
    EXPECT_EQ(TarnelCore::create(n).get_cmds_str().size(), 1000u);
  }
}

TEST(OutOfMemory, RejectedSidesAskForNoBoard) {
  for (const std::uint64_t mode :
       {std::uint64_t{0}, std::uint64_t{46'341}, (std::uint64_t{1} << 61) - 1, std::uint64_t{1} << 61}) {
    largest_request.store(0);
    recording.store(true);
    const std::string message = test::catch_fault([&] { TarnelCore::create(mode); }).message;
    recording.store(false);
    EXPECT_NE(message, "no fault") << mode;
    // Only the message and its report; a board of side 46341 alone is 8 GB.
    EXPECT_LT(largest_request.load(), std::size_t{4096}) << mode;
  }
}

}  // namespace
}  // namespace vostral
