// A batch of capture records as the driver hands it over, through the
// scripted test driver, the capture component's reader thread, the capture
// layer's walk and the component's record handler, up to OnCapture.
//
// Each input is queued as one batch, followed by a marker batch of one
// known frame. The events must be exactly those of a plain walk over the
// input (frame at record start plus header length, length the smaller of
// wire and captured length, records 4-byte aligned, the walk ending at a
// record that is empty or runs past the batch), each pointing into the
// batch in hand, then the marker.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TestDriver.h"
#include "capture/Snoop.h"

namespace {

struct Event {
  const uint8_t* frame;
  std::vector<uint8_t> bytes;
};

struct Expected {
  size_t offset;
  size_t length;
};

constexpr size_t kMarkerLength = 60;
constexpr uint8_t kMarkerFill = 0xA5;

uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The walk as the capture layer promises it, written out plainly.
std::vector<Expected> Walk(const uint8_t* data, size_t size) {
  std::vector<Expected> out;
  size_t pos = 0;
  while (pos < size) {
    const size_t room = size - pos;
    if (room < 18) break;
    const uint32_t caplen = Get32(data + pos + 8);
    const uint32_t datalen = Get32(data + pos + 12);
    uint16_t hdrlen;
    std::memcpy(&hdrlen, data + pos + 16, 2);
    const uint64_t span = uint64_t{hdrlen} + caplen;
    if (span == 0 || span > room) break;
    out.push_back({pos + hdrlen, std::min(caplen, datalen)});
    pos += (span + 3) & ~uint64_t{3};
  }
  return out;
}

class Harness {
 public:
  Harness() {
    driver_ = capture_test::BoundTestDriver();
    FUZZ_CHECK(driver_ != nullptr, "test driver loads");
    driver_->Reset();
    const char16_t names[] = u"eth0\0\0";
    driver_->SetAdapterNames(names, sizeof names, 20480);
    snoop_ = new capture::TSnoop(nullptr);
    snoop_->SetThreadSafe(false);
    snoop_->SetOnCapture([this](rtl::TObject*, capture::PETHERNET_HDR frame, int length) {
      FUZZ_CHECK(length >= 0, "length");
      const auto* p = reinterpret_cast<const uint8_t*>(frame);
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back({p, std::vector<uint8_t>(p, p + length)});
      cv_.notify_all();
    });
    snoop_->SetAdapterIndex(0);
    snoop_->StartCapture();
    FUZZ_CHECK(snoop_->Capturing(), "capture starts");

    capture_test::BatchBuilder marker;
    marker.Add(kMarkerLength, kMarkerFill);
    marker_ = marker.bytes;
  }

  void Run(const uint8_t* data, size_t size) {
    // The user buffer holds 256,000 bytes; larger batches are the driver's
    // error and covered by the layer's own tests.
    size = std::min<size_t>(size, capture::kCaptureBufferSize);
    const std::vector<Expected> expected = Walk(data, size);
    // The input may hold records that look like the marker; the real one is
    // the first marker-like event after all of them.
    size_t marker_like = 0;
    for (const Expected& x : expected) {
      marker_like += IsMarker(data + x.offset, x.length) ? 1 : 0;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.clear();
    }
    driver_->QueueBatch(data, static_cast<uint32_t>(size), static_cast<uint32_t>(size));
    driver_->QueueBatch(marker_.data(), static_cast<uint32_t>(marker_.size()),
                        static_cast<uint32_t>(marker_.size()));
    // The reader thread may be starved for a while on a loaded machine; a
    // minute without the marker is a lost batch.
    std::unique_lock<std::mutex> lock(mu_);
    const bool arrived = cv_.wait_for(lock, std::chrono::seconds(60), [&] {
      size_t seen = 0;
      for (const Event& e : events_) seen += IsMarker(e) ? 1 : 0;
      return events_.size() > expected.size() || seen > marker_like;
    });
    FUZZ_CHECK(arrived, "the batch and the marker arrive");
    FUZZ_CHECK(events_.size() == expected.size() + 1, "one event per record, then the marker");
    FUZZ_CHECK(IsMarker(events_.back()), "the marker comes last");
    if (expected.empty()) return;
    const uint8_t* base = events_[0].frame - expected[0].offset;
    for (size_t i = 0; i < expected.size(); ++i) {
      const Event& e = events_[i];
      FUZZ_CHECK(e.frame == base + expected[i].offset, "frame at record start plus header");
      FUZZ_CHECK(e.bytes.size() == expected[i].length, "length");
      FUZZ_CHECK(expected[i].offset + e.bytes.size() <= size, "frame inside the batch");
      FUZZ_CHECK(e.bytes.empty() ||
                     std::memcmp(e.bytes.data(), data + expected[i].offset, e.bytes.size()) == 0,
                 "frame bytes are the batch's");
    }
  }

 private:
  static bool IsMarker(const uint8_t* bytes, size_t length) {
    if (length != kMarkerLength) return false;
    for (size_t i = 0; i < length; ++i) {
      if (bytes[i] != kMarkerFill) return false;
    }
    return true;
  }
  static bool IsMarker(const Event& e) { return IsMarker(e.bytes.data(), e.bytes.size()); }

  capture_test::TestDriver* driver_ = nullptr;
  capture::TSnoop* snoop_ = nullptr;  // lives until the process ends
  std::vector<uint8_t> marker_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness;
  harness->Run(data, size);
  return 0;
}
