#include "runtime/fault.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace vostral::runtime {
namespace {

void write_stderr(const std::string& text) noexcept {
  // One write, so reports from different threads do not interleave mid-line.
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string project_relative(std::string_view file, std::string_view root) {
  std::string name(file);
  std::string base(root);
  for (std::string* path : {&name, &base}) std::replace(path->begin(), path->end(), '\\', '/');
  if (!base.empty() && base.back() != '/') base += '/';
  // Windows paths differ in case only where they do not differ at all.
  const auto same = [](char a, char b) {
#ifdef _WIN32
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
#else
    return a == b;
#endif
  };
  if (base.size() > 1 && name.size() > base.size() && std::equal(base.begin(), base.end(), name.begin(), same)) {
    name.erase(0, base.size());
  }
  return name;
}

std::string fault_report(std::string_view message, const std::source_location& where) {
  std::string text = "thread '<unnamed>' panicked at ";
  text += project_relative(where.file_name(), VOSTRAL_SOURCE_ROOT);
  text += ':';
  text += std::to_string(where.line());
  text += ':';
  text += std::to_string(where.column());
  text += ":\n";
  text += message;
  text += '\n';
  return text;
}

void raise_fault(std::string_view message, std::source_location where) {
  write_stderr(fault_report(message, where));
  // NOLINTNEXTLINE(bugprone-std-exception-baseclass): no std::exception, so that only an entry boundary catches it.
  throw Fault(std::string(message));
}

// NOLINTNEXTLINE(bugprone-std-exception-baseclass): as above.
void resume_fault(std::string message) { throw Fault(std::move(message)); }

void abort_with_report(std::string_view message, std::source_location where) noexcept {
  try {
    write_stderr(fault_report(message, where));
  } catch (...) {
    // Out of memory while formatting: the fixed words are still worth writing.
    std::fputs("thread '<unnamed>' panicked\n", stderr);
  }
  std::abort();
}

}  // namespace vostral::runtime
