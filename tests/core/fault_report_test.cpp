#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "core/game_state.hpp"
#include "runtime/clock.hpp"
#include "runtime/fault.hpp"
#include "test_seams.hpp"

namespace vostral {
namespace {

int missing_device(std::span<std::byte>) noexcept { return ENOENT; }

// "thread '<unnamed>' panicked at {file}:{line}:{column}:\n{one line}\n" with
// positive line and column numbers.
bool is_report_from(std::string_view report, std::string_view file) {
  const std::string head = "thread '<unnamed>' panicked at " + std::string(file) + ":";
  if (!report.starts_with(head)) return false;
  report.remove_prefix(head.size());
  for (int number = 0; number < 2; ++number) {
    if (report.empty() || report[0] < '1' || report[0] > '9') return false;
    while (!report.empty() && report[0] >= '0' && report[0] <= '9') report.remove_prefix(1);
    if (report.empty() || report[0] != ':') return false;
    report.remove_prefix(1);
  }
  return report.size() >= 3 && report[0] == '\n' && report.find('\n', 1) == report.size() - 1;
}

TEST(FaultReport, NamesTheCallSiteRelativeToTheProject) {
  const std::source_location here = std::source_location::current();
  const std::string report = runtime::fault_report("it broke", here);
  EXPECT_EQ(report, "thread '<unnamed>' panicked at tests/core/fault_report_test.cpp:" + std::to_string(here.line()) +
                        ":" + std::to_string(here.column()) + ":\nit broke\n");
  // An empty message still ends its own line.
  EXPECT_EQ(runtime::fault_report("", here), report.substr(0, report.size() - 9) + "\n");
}

TEST(FaultReport, RaiseWritesTheReportThenThrows) {
  const std::source_location here = std::source_location::current();
  const test::CaughtFault caught = test::catch_fault([&] { runtime::raise_fault("two\nlines", here); });
  EXPECT_EQ(caught.message, "two\nlines");
  EXPECT_EQ(caught.report, runtime::fault_report("two\nlines", here));
}

TEST(FaultReport, FilesAreNamedFromTheProjectWithForwardSlashes) {
  struct Case {
    const char* file;
    const char* root;
    const char* named;
  };
  const Case cases[] = {
      {"core/game_state.cpp", "/src/vostral", "core/game_state.cpp"},  // already short
      {"/src/vostral/core/game_state.cpp", "/src/vostral", "core/game_state.cpp"},
      {"/src/vostral/core/game_state.cpp", "/src/vostral/", "core/game_state.cpp"},
      {"C:\\src\\vostral\\runtime\\clock.cpp", "C:/src/vostral", "runtime/clock.cpp"},
      {"/src/vostral-old/core/game_state.cpp", "/src/vostral", "/src/vostral-old/core/game_state.cpp"},
      {"/elsewhere/x.hpp", "/src/vostral", "/elsewhere/x.hpp"},
      {"/src/vostral/", "/src/vostral", "/src/vostral/"},
      {"/x.cpp", "", "/x.cpp"},
  };
  for (const Case& c : cases) EXPECT_EQ(runtime::project_relative(c.file, c.root), c.named) << c.file;
}

TEST(FaultReport, ResumeWritesNothing) {
  const test::CaughtFault caught = test::catch_fault([] { runtime::resume_fault("already reported"); });
  EXPECT_EQ(caught.message, "already reported");
  EXPECT_EQ(caught.report, "");
}

TEST(FaultReport, LibraryFaultsNameTheirOwnSourceFile) {
  struct Case {
    const char* file;
    std::function<void()> fail;
    std::string message;
  };
  const Case cases[] = {
      {"core/game_state.cpp", [] { core::TarnelCore::create(0); },
       "index out of bounds: the len is 0 but the index is 18446744073709551615"},
      {"core/game_state.cpp", [] { core::TarnelCore::with_board({{1}, {0}}, {}); }, "a board must be square"},
      {"runtime/clock.cpp", [] { runtime::epoch_ms({-1, 500'000'000}); }, "Time went backwards: SystemTimeError(0.5s)"},
      {"runtime/thread_rng.cpp",
       [] {
         test::ScopedEntropySource source(&missing_device);
         core::TarnelCore::create(2);
       },
       "could not initialize thread_rng: " + std::system_category().message(ENOENT)},
  };
  for (const Case& c : cases) {
    const test::CaughtFault caught = test::catch_fault(c.fail);
    EXPECT_EQ(caught.message, c.message) << c.file;
    EXPECT_TRUE(is_report_from(caught.report, c.file) && caught.report.ends_with(":\n" + c.message + "\n"))
        << caught.report;
  }
}

}  // namespace
}  // namespace vostral
