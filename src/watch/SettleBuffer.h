// The reports written to a stream connection that the server may not have
// yet. A syslog server over plain TCP or TLS acknowledges nothing: a write
// that succeeded is only in our socket's buffer, and a connection that the
// server closes or resets loses whatever it had not read. So a report
// counts as delivered only once its connection has stayed up for a
// settling time after its write (no error, no close from the server), or
// at an orderly close of our own; a connection that breaks sooner leaves
// its reports here, to be written again, first and in order, on the next
// one (a possible duplicate at the server, never a silent loss).
//
// Each report is kept as its frame, as written, with the time of its last
// write: the frames back to back in one buffer, and a record per frame in
// a ring, so that a steady flow allocates nothing. The oldest frames are
// on the current connection (OnConnection); after a break they all wait to
// be written again (Waiting), and are moved back onto the connection, in
// order, as they are. One thread: the report sender's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace watch {

class SettleBuffer {
 public:
  // One report's frame, written to the current connection at at_ms. Only
  // when nothing waits to be written again.
  void Add(std::string_view frame, int64_t at_ms);
  // Forgets the reports on the connection whose last write was at or
  // before until_ms: delivered. Returns how many.
  size_t SettleUntil(int64_t until_ms);
  // The connection broke: every report kept waits to be written again.
  void Broke() noexcept;
  // The next n waiting frames (n <= Waiting()), back to back.
  std::string_view NextWaiting(size_t n) const;
  // Those n frames were written again, to the current connection, at at_ms.
  void Rewritten(size_t n, int64_t at_ms);
  // Forgets everything; returns how many reports that was.
  size_t Clear() noexcept;

  size_t Reports() const noexcept { return size_; }
  size_t OnConnection() const noexcept { return on_connection_; }
  size_t Waiting() const noexcept { return size_ - on_connection_; }
  bool Empty() const noexcept { return size_ == 0; }

 private:
  struct Record {
    size_t bytes = 0;
    int64_t at_ms = 0;
  };
  Record& At(size_t i) { return ring_[(head_ + i) % ring_.size()]; }
  const Record& At(size_t i) const { return ring_[(head_ + i) % ring_.size()]; }

  std::string frames_;  // the frames from begin_ on, oldest first
  size_t begin_ = 0;
  std::vector<Record> ring_;  // size_ records from head_, wrapping
  size_t head_ = 0;
  size_t size_ = 0;
  size_t on_connection_ = 0;        // the oldest on_connection_ records
  size_t on_connection_bytes_ = 0;  // their frames' bytes
};

}  // namespace watch
