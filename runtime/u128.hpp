#pragma once

namespace vostral::runtime {

// Millisecond timestamps are 128-bit so that no clock reading can overflow them.
__extension__ using u128 = unsigned __int128;

}  // namespace vostral::runtime
