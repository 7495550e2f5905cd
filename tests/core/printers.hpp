#pragma once

#include <ostream>

#include "runtime/timestamp.hpp"

// How GoogleTest shows the project's values in failure messages.
namespace vostral::runtime {
inline void PrintTo(const Timestamp& t, std::ostream* out) { *out << t.seconds() << "s+" << t.milliseconds() << "ms"; }
}  // namespace vostral::runtime
