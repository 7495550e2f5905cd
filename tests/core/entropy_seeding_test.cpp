#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "core/game_state.hpp"
#include "reference_game.hpp"
#include "runtime/thread_rng.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

using core::TarnelCore;

std::atomic<std::size_t> bytes_requested{0};

int counting_bytes(std::span<std::byte> out) noexcept {
  bytes_requested.store(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::byte>(i * 7 + 1);
  return 0;
}

int other_bytes(std::span<std::byte> out) noexcept {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::byte>(i * 13 + 5);
  return 0;
}

int missing_device(std::span<std::byte>) noexcept { return ENOENT; }

TEST(EntropySeeding, FailingSourceFaultsCreation) {
  test::ScopedEntropySource source(&missing_device);
  EXPECT_EQ(test::catch_fault([] { TarnelCore::create(4); }).message,
            "could not initialize thread_rng: " + std::system_category().message(ENOENT));
  // Nothing of the failure is kept: once the source works, the same thread seeds.
  runtime::replace_entropy_source(&counting_bytes);
  EXPECT_EQ(TarnelCore::create(4).get_cmds_str().size(), 1000u);
}

TEST(EntropySeeding, SeedComesFromTheSource) {
  test::ScopedEntropySource source(&counting_bytes);
  const std::string first = TarnelCore::create(5).get_cmds_str();
  EXPECT_EQ(bytes_requested.load(), 32u);
  const std::string continued = TarnelCore::create(5).get_cmds_str();
  runtime::reset_thread_rng();
  const std::string again = TarnelCore::create(5).get_cmds_str();
  EXPECT_EQ(again, first);      // same bytes, same generator
  EXPECT_NE(continued, first);  // one generator per thread, not one per game

  runtime::replace_entropy_source(&other_bytes);  // the scope still restores the original
  runtime::reset_thread_rng();
  EXPECT_NE(TarnelCore::create(5).get_cmds_str(), first);
}

// Chi-square statistic of `counts` against equal expectations.
double chi_square(const std::vector<double>& counts) {
  double total = 0;
  for (const double c : counts) total += c;
  const double expected = total / static_cast<double>(counts.size());
  double sum = 0;
  for (const double c : counts) sum += (c - expected) * (c - expected) / expected;
  return sum;
}

TEST(EntropySeeding, LettersAreUniformAndIndependent) {
  // 400 games of side 1 (every move blocked, so cheap) give 400k letters.
  // Bounds: P(chi2 with 3 dof > 50) and P(chi2 with 15 dof > 80) are both
  // below 1e-10, while a bias of a few percent or paired draws shows up as
  // hundreds.
  std::vector<double> singles(4, 0);
  std::vector<double> pairs(16, 0);
  const auto index = [](char letter) { return std::string_view("UDLR").find(letter); };
  for (int game = 0; game < 400; ++game) {
    const std::string log = TarnelCore::create(1).get_cmds_str();
    ASSERT_EQ(log.size(), 1000u);
    for (std::size_t i = 0; i < log.size(); i += 2) {
      singles[index(log[i])] += 1;
      singles[index(log[i + 1])] += 1;
      pairs[index(log[i]) * 4 + index(log[i + 1])] += 1;
    }
  }
  EXPECT_LT(chi_square(singles), 50.0) << testing::PrintToString(singles);
  EXPECT_LT(chi_square(pairs), 80.0) << testing::PrintToString(pairs);
}

// Runs `play(t)` on THREADS threads at once.
constexpr std::size_t THREADS = 8;
template <class Play>
void on_threads(Play play) {
  std::vector<std::thread> threads;
  threads.reserve(THREADS);
  for (std::size_t t = 0; t < THREADS; ++t) threads.emplace_back(play, t);
  for (std::thread& thread : threads) thread.join();
}

TEST(EntropySeeding, EachThreadHasItsOwnGenerator) {
  std::array<std::vector<std::string>, THREADS> logs;
  std::atomic<int> invalid{0};
  on_threads([&](std::size_t t) {
    for (int game = 0; game < 10; ++game) {
      const TarnelCore state = TarnelCore::create(4);
      logs[t].push_back(state.get_cmds_str());
      if (!test::is_permutation_of_cells(state.get_tarnel()) ||
          test::replay(test::goal_rows(4), state.get_cmds_str()) != state.get_tarnel()) {
        ++invalid;
      }
    }
  });
  EXPECT_EQ(invalid.load(), 0);
  std::set<std::string> distinct;
  for (const auto& thread_logs : logs) distinct.insert(thread_logs.begin(), thread_logs.end());
  EXPECT_EQ(distinct.size(), THREADS * 10);

  // With one fixed seed, every new thread starts the same stream: each seeds
  // a generator of its own at its first draw.
  test::ScopedEntropySource source(&counting_bytes);
  const std::string expected = TarnelCore::create(4).get_cmds_str();
  std::array<std::string, THREADS> firsts;
  on_threads([&](std::size_t t) { firsts[t] = TarnelCore::create(4).get_cmds_str(); });
  for (const std::string& log : firsts) EXPECT_EQ(log, expected);
}

TEST(EntropySeeding, SystemSourceFillsAnyLength) {
  // The real source, asked for the seed's 32 bytes twice and then for more
  // than one call of some sources gives (getentropy stops at 256).
  std::array<std::byte, 32> first{};
  std::array<std::byte, 32> second{};
  ASSERT_EQ(runtime::system_entropy(first), 0);
  ASSERT_EQ(runtime::system_entropy(second), 0);
  EXPECT_NE(first, second);
  std::vector<std::byte> long_fill(4'096 + 17, std::byte{0});
  ASSERT_EQ(runtime::system_entropy(long_fill), 0);
  // Random bytes take nearly all 256 values; an unfilled tail would leave
  // hundreds of zeros at the end.
  std::set<std::byte> values(long_fill.begin(), long_fill.end());
  EXPECT_GT(values.size(), 240u);
  EXPECT_LT(std::count(long_fill.end() - 512, long_fill.end(), std::byte{0}), 20);
  EXPECT_EQ(runtime::system_entropy({}), 0);
}

#if !defined(_WIN32)  // there is no fork on Windows
TEST(EntropySeeding, ForkedChildReseeds) {
  runtime::reset_thread_rng();
  TarnelCore::create(2);  // the parent's generator exists before the fork
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No test macros here: only the parent reports.
    close(fds[0]);
    int status = 1;
    try {
      const std::string log = TarnelCore::create(4).get_cmds_str();
      status = write(fds[1], log.data(), log.size()) == static_cast<ssize_t>(log.size()) ? 0 : 2;
    } catch (...) {
      status = 3;
    }
    _exit(status);
  }
  close(fds[1]);
  const std::string parent_log = TarnelCore::create(4).get_cmds_str();
  std::string child_log;
  char buffer[512];
  for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) child_log.append(buffer, static_cast<std::size_t>(got));
    else if (errno != EINTR) break;
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(child_log.size(), 1000u);
  // A child still drawing from the parent's copied stream would repeat it.
  EXPECT_NE(child_log, parent_log);
}
#endif

}  // namespace
}  // namespace vostral
