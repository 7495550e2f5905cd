#include "core/move_log.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace vostral::core {

void MoveLog::reset(std::size_t capacity) {
  auto fresh = std::make_unique_for_overwrite<char[]>(capacity);
  data_ = std::move(fresh);
  capacity_ = capacity;
  size_ = 0;
}

void MoveLog::grow(std::size_t extra) {
  if (extra > SIZE_MAX / 2 - size_) throw std::bad_alloc();
  const std::size_t wanted = std::max({size_ + extra, capacity_ * 2, std::size_t{64}});
  auto fresh = std::make_unique_for_overwrite<char[]>(wanted);
  if (size_ != 0) std::memcpy(fresh.get(), data_.get(), size_);
  data_ = std::move(fresh);
  capacity_ = wanted;
}

}  // namespace vostral::core
