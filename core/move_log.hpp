#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vostral::core {

// The move log's bytes (UTF-8). A plain growable buffer that, unlike a
// string, can hand out room without filling it first, so a batch of moves
// writes its letters straight into place.
//
// Every operation that allocates does so before it changes anything: when
// std::bad_alloc leaves it, the log is as it was.
class MoveLog {
 public:
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }

  void clear() noexcept { size_ = 0; }
  // Empties the log into a fresh buffer of exactly `capacity` bytes.
  void reset(std::size_t capacity);

  // Makes room for `count` more bytes (uninitialised) and returns where they
  // start; the size is unchanged until commit().
  char* room(std::size_t count) {
    if (capacity_ - size_ < count) grow(count);
    return data_.get() + size_;
  }
  // Takes `count` bytes written at room() into the log.
  // REQUIRES: count <= the room made.
  void commit(std::size_t count) noexcept { size_ += count; }

  void push(char byte) {
    *room(1) = byte;
    commit(1);
  }
  void append(const char* bytes, std::size_t count) {
    char* at = room(count);
    for (std::size_t i = 0; i < count; ++i) at[i] = bytes[i];
    commit(count);
  }

 private:
  void grow(std::size_t extra);

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vostral::core
