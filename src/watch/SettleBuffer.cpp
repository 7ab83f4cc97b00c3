#include "watch/SettleBuffer.h"

#include <algorithm>

namespace watch {
namespace {

// Settled frames are cut from the front of the buffer once they are this
// many bytes and half of it, so that moving the rest is paid for by the
// writes that filled it.
constexpr size_t kCompactBytes = 64 * 1024;

}  // namespace

void SettleBuffer::Add(std::string_view frame, int64_t at_ms) {
  if (size_ == ring_.size()) {
    // Full: the oldest record moves to the front, and the ring grows.
    std::rotate(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(head_), ring_.end());
    head_ = 0;
    ring_.resize(std::max<size_t>(64, ring_.size() * 2));
  }
  At(size_) = {frame.size(), at_ms};
  ++size_;
  ++on_connection_;
  on_connection_bytes_ += frame.size();
  frames_.append(frame.data(), frame.size());
}

size_t SettleBuffer::SettleUntil(int64_t until_ms) {
  size_t settled = 0;
  while (settled < on_connection_ && At(settled).at_ms <= until_ms) {
    begin_ += At(settled).bytes;
    on_connection_bytes_ -= At(settled).bytes;
    ++settled;
  }
  head_ = ring_.empty() ? 0 : (head_ + settled) % ring_.size();
  size_ -= settled;
  on_connection_ -= settled;
  if (size_ == 0) {
    frames_.clear();
    begin_ = head_ = 0;
  } else if (begin_ >= kCompactBytes && begin_ * 2 >= frames_.size()) {
    frames_.erase(0, begin_);
    begin_ = 0;
  }
  return settled;
}

void SettleBuffer::Broke() noexcept {
  on_connection_ = 0;
  on_connection_bytes_ = 0;
}

std::string_view SettleBuffer::NextWaiting(size_t n) const {
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) bytes += At(on_connection_ + i).bytes;
  return std::string_view(frames_).substr(begin_ + on_connection_bytes_, bytes);
}

void SettleBuffer::Rewritten(size_t n, int64_t at_ms) {
  for (size_t i = 0; i < n; ++i) {
    Record& r = At(on_connection_);
    r.at_ms = at_ms;
    on_connection_bytes_ += r.bytes;
    ++on_connection_;
  }
}

size_t SettleBuffer::Clear() noexcept {
  const size_t cleared = size_;
  frames_.clear();
  begin_ = head_ = size_ = on_connection_ = on_connection_bytes_ = 0;
  return cleared;
}

}  // namespace watch
