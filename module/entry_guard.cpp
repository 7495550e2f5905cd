#include "module/entry_guard.hpp"

namespace vostral::py {

void forbidden_entry(std::source_location where) {
  runtime::raise_fault(detail::gil_count_value == -1
                           ? "Access to the GIL is prohibited while a __traverse__ implmentation is running."
                           : "Access to the GIL is currently prohibited.",
                       where);
}

void abort_at_boundary(std::source_location where) noexcept {
  runtime::abort_with_report("uncaught panic at ffi boundary", where);
}

}  // namespace vostral::py
