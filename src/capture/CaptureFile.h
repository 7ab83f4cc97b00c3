// Reader of saved capture files: the classic pcap format (either byte order,
// microsecond or nanosecond timestamps) and pcapng (either byte order;
// section header, interface description with its timestamp resolution,
// enhanced and simple packet blocks; every other block is skipped). Only
// Ethernet link types are accepted. The program's replay mode and the test
// capture driver read their frames through it.
//
// The reader streams: frames are handed out one at a time from a buffer
// that starts at kFirstBufferSize and grows only as far as one record or
// block needs, never past kBufferSize, so its memory does not grow with the
// file, and the input may be a pipe. Opening checks the file header (for pcapng also every block
// up to the first packet, so every interface described there), so a file
// that is not a capture file this reader takes raises ECaptureFileError
// before any frame is handed out. Damage after that point (a record or
// block cut short or malformed, a read error, a later interface of another
// link type) ends the frames instead: Next returns false and Damage() says
// where and what. So does a section with more than kMaxInterfaces interface
// descriptions, also before the first frame. Every message names the file.
//
// A reader owns its input and is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/InputStream.h"
#include "rtl/SysUtils.h"

namespace capture {

using rtl::Exception;
RTL_DECLARE_EXCEPTION(ECaptureFileError, Exception);

// One frame as the file holds it.
struct TCaptureFrame {
  std::vector<uint8_t> Bytes;   // the captured bytes, starting at the Ethernet header
  uint32_t CapturedLength = 0;  // Bytes.size()
  uint32_t WireLength = 0;      // the frame's length on the wire
  int64_t Seconds = 0;          // timestamp, seconds since 1970-01-01 UTC
  uint32_t Nanoseconds = 0;     // and the fraction of that second
};

// The same, its bytes inside the reader's buffer: valid until the next call
// of Next or the reader's end.
struct TCaptureFrameView {
  const uint8_t* Bytes = nullptr;
  uint32_t CapturedLength = 0;
  uint32_t WireLength = 0;
  int64_t Seconds = 0;
  uint32_t Nanoseconds = 0;

  // The frame with its own copy of the bytes.
  void CopyTo(TCaptureFrame& frame) const;
};

class TCaptureFileReader {
 public:
  // Opens the file and checks its header. Raises ECaptureFileError.
  explicit TCaptureFileReader(const std::string& path);
  // Reads from input, named in messages by input->Name(). Raises
  // ECaptureFileError.
  explicit TCaptureFileReader(std::unique_ptr<platform::InputStream> input);
  ~TCaptureFileReader();

  // The next frame in file order. False at the end of the frames: the
  // clean end of the file, or damage (see Damaged); the input is then
  // closed. Raises nothing.
  bool Next(TCaptureFrameView& frame);
  bool Next(TCaptureFrame& frame);

  // Once Next has returned false: whether the frames ended at damage
  // rather than at the clean end of the file; if so, the byte offset of the
  // damaged record or block and the message naming the file, the offset
  // and the fault.
  bool Damaged() const { return damaged_; }
  uint64_t DamageOffset() const { return damage_offset_; }
  const std::string& Damage() const { return damage_; }

  // Frames handed out so far.
  uint64_t FrameCount() const { return frames_; }
  const std::string& FileName() const { return name_; }

 private:
  enum class Format { Pcap, PcapNg };
  struct Interface {
    uint32_t SnapLength = 0;
    uint64_t UnitsPerSecond = 1000000;  // 10^6 unless if_tsresol says otherwise
  };

  // The buffer's largest size: the largest record or block read in one
  // piece. It starts at the first size and grows on demand.
  static constexpr size_t kBufferSize = size_t{4} << 20;
  static constexpr size_t kFirstBufferSize = size_t{64} << 10;

 public:
  // Interface descriptions one pcapng section may hold; a further one is
  // damage, so that a stream of them cannot take the reader's memory.
  static constexpr size_t kMaxInterfaces = 1024;

 private:
  void Open();
  [[noreturn]] void Fail(uint64_t at, const std::string& what);
  // Ends the frames at the damage e names; the input is closed.
  void EndAt(const ECaptureFileError& e);

  // Makes at least count bytes (at most kBufferSize) available from the
  // cursor unless the input ends first; returns the bytes available.
  size_t Want(size_t count) {
    const size_t have = end_ - begin_;
    return have >= count ? have : Refill(count);
  }
  size_t Refill(size_t count);
  const uint8_t* Cursor() const { return buffer_.get() + begin_; }
  void Consume(size_t count) { begin_ += count; }
  uint64_t Offset() const { return consumed_ + begin_; }
  // Consumes count bytes, reading past the buffer where needed. False when
  // the input ends first.
  bool Skip(uint64_t count);

  // Numbers in the file's byte order.
  uint16_t Get16(const uint8_t* p) const;
  uint32_t Get32(const uint8_t* p) const;

  void ReadPcapHeader();
  bool NextPcap(TCaptureFrameView& frame);
  void ReadSectionHeader(uint64_t at);
  void ReadInterfaceDescription(uint64_t at, const uint8_t* body, size_t size);
  // Reads pcapng blocks up to the next packet block and returns its frame;
  // without a frame to fill it stops in front of that block instead. False
  // at the clean end of the file.
  bool NextBlock(TCaptureFrameView* frame);
  static void SetTimestamp(TCaptureFrameView& frame, uint64_t units, uint64_t per_second);

  std::unique_ptr<platform::InputStream> input_;
  std::string name_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_ = 0;    // size of buffer_
  size_t begin_ = 0;       // cursor in buffer_
  size_t end_ = 0;         // bytes of buffer_ filled
  uint64_t consumed_ = 0;  // file offset of buffer_[0]
  bool input_ended_ = false;
  std::string read_error_;  // what the failed read said, if one failed

  Format format_ = Format::Pcap;
  bool swapped_ = false;  // the file's byte order differs from little endian
  bool nanoseconds_ = false;
  std::vector<Interface> interfaces_;  // of the current section
  bool interface_bound_hit_ = false;

  uint64_t fail_at_ = 0;  // the offset Fail last named
  bool finished_ = false;
  bool damaged_ = false;
  uint64_t damage_offset_ = 0;
  std::string damage_;
  uint64_t frames_ = 0;
};

// Every frame of the file, in file order. Raises ECaptureFileError when the
// file cannot be read or is damaged anywhere.
std::vector<TCaptureFrame> ReadCaptureFile(const std::string& path);

}  // namespace capture
