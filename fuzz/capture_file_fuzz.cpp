// A saved capture file (pcap or pcapng), through the reader that the replay
// mode uses. Only the reader's own error may come out of opening; every
// frame handed out is consistent with itself and with the file's size; and
// the frames, the damage report and any error are the same whether the
// reader gets the file whole, from the file system, or a few bytes per read
// from a stream (where a buffer refill falls must not matter).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "capture/CaptureFile.h"

namespace {

// Hands out the input in short reads of 1 to 61 bytes.
class TrickleStream : public platform::InputStream {
 public:
  TrickleStream(const uint8_t* data, size_t size, std::string name)
      : data_(data), size_(size), name_(std::move(name)) {}
  size_t Read(void* buffer, size_t count) override {
    state_ = state_ * 1103515245u + 12345u;
    const size_t n = std::min({count, size_ - pos_, size_t{1} + (state_ >> 16) % 61});
    if (n) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
  }
  const std::string& Name() const override { return name_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  uint32_t state_ = 1;
  std::string name_;
};

struct Outcome {
  std::optional<std::string> error;  // from opening
  std::vector<capture::TCaptureFrame> frames;
  bool damaged = false;
  uint64_t damage_offset = 0;
  std::string damage;
};

bool SameFrame(const capture::TCaptureFrame& a, const capture::TCaptureFrame& b) {
  return a.Bytes == b.Bytes && a.CapturedLength == b.CapturedLength &&
         a.WireLength == b.WireLength && a.Seconds == b.Seconds && a.Nanoseconds == b.Nanoseconds;
}

template <class Open, class Take>
Outcome Read(size_t size, const std::string& name, Open open, Take take) {
  Outcome o;
  try {
    capture::TCaptureFileReader reader = open();
    uint64_t captured = 0;
    capture::TCaptureFrame frame;
    while (take(reader, frame)) {
      FUZZ_CHECK(frame.Bytes.size() == frame.CapturedLength, "captured length is the bytes'");
      FUZZ_CHECK(frame.Nanoseconds < 1000000000u, "fraction below one second");
      o.frames.push_back(frame);
      captured += frame.CapturedLength;
      // Every frame costs at least a 16-byte record (pcap) or block
      // (pcapng) besides its bytes.
      FUZZ_CHECK(captured + 16 * o.frames.size() <= size, "frames fit in the file");
    }
    FUZZ_CHECK(reader.FrameCount() == o.frames.size(), "frame count");
    o.damaged = reader.Damaged();
    o.damage_offset = reader.DamageOffset();
    o.damage = reader.Damage();
    if (o.damaged) {
      FUZZ_CHECK(o.damage_offset <= size, "damage inside the file");
      FUZZ_CHECK(o.damage.find(name) != std::string::npos, "damage names the file");
    }
  } catch (const capture::ECaptureFileError& e) {
    FUZZ_CHECK(std::string(e.Message()).find(name) != std::string::npos, "error names the file");
    FUZZ_CHECK(o.frames.empty(), "errors only from opening");
    o.error = e.Message();
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::ScratchDirectory() + "capture";
  fuzz::WriteWholeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));

  // As /read opens it, copying every frame.
  const Outcome whole = Read(
      size, path, [&] { return capture::TCaptureFileReader(path); },
      [](capture::TCaptureFileReader& r, capture::TCaptureFrame& f) { return r.Next(f); });
  // In short reads, through the frame views.
  const Outcome trickle = Read(
      size, path,
      [&] {
        return capture::TCaptureFileReader(std::make_unique<TrickleStream>(data, size, path));
      },
      [](capture::TCaptureFileReader& r, capture::TCaptureFrame& f) {
        capture::TCaptureFrameView v;
        if (!r.Next(v)) return false;
        v.CopyTo(f);
        return true;
      });

  FUZZ_CHECK(whole.error == trickle.error, "the same error either way");
  FUZZ_CHECK(whole.frames.size() == trickle.frames.size(), "the same number of frames");
  for (size_t i = 0; i < whole.frames.size(); ++i) {
    FUZZ_CHECK(SameFrame(whole.frames[i], trickle.frames[i]), "the same frames");
  }
  FUZZ_CHECK(whole.damaged == trickle.damaged && whole.damage_offset == trickle.damage_offset &&
                 whole.damage == trickle.damage,
             "the same damage");
  return 0;
}
