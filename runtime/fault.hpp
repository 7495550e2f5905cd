#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace vostral::runtime {

// An unrecoverable failure with one message. It unwinds to the nearest entry
// boundary of the Python module (or to a test), releasing what every frame on
// the way owns; nothing else catches it.
class Fault {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the fault report to stderr, then throws Fault(message):
//   thread '<unnamed>' panicked at {file}:{line}:{column}:
//   {message}
[[noreturn]] void raise_fault(std::string_view message, std::source_location where = std::source_location::current());

// Throws Fault(message) without a report; for a fault that was already
// reported elsewhere and is only being carried on.
[[noreturn]] void resume_fault(std::string message);

// Writes the report for `message`, then ends the process. For failures that
// must not travel any further, such as a fault escaping an entry boundary.
[[noreturn]] void abort_with_report(std::string_view message,
                                    std::source_location where = std::source_location::current()) noexcept;

// The report text itself, exposed so that callers and tests agree on its form.
std::string fault_report(std::string_view message, const std::source_location& where);

// `file` as the report names it: with '/' between its parts, and relative to
// `root` (the project's directory) when it lies inside it. Compilers that
// cannot shorten the names they record (MSVC) give absolute ones.
std::string project_relative(std::string_view file, std::string_view root);

}  // namespace vostral::runtime
