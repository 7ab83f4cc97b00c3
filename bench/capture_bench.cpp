// The capture layer's record walk: batches of minimum-size (60-byte) frames
// handed one by one to a handler that does nothing.
//   BM_RecordWalk        a batch already in the user buffer (no driver call)
//   BM_RecordWalkDriver  each batch fetched through the scripted test driver
//                        (bin/testdriver), which copies it into the buffer
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/Packet32.h"
#include "capture/Pcap.h"
#include "capture/bpf.h"
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"

namespace {

using capture::bpf_hdr;

constexpr uint32_t kFrame = 60;
constexpr uint16_t kHeader = 20;

// A full user buffer of back-to-back 60-byte records; returns its length.
uint32_t FillBatch(uint8_t* buffer, uint32_t capacity, int64_t* records) {
  const uint32_t step = capture::BPF_WORDALIGN(kHeader + kFrame);
  uint32_t at = 0;
  *records = 0;
  while (at + step <= capacity) {
    bpf_hdr h{};
    h.bh_caplen = kFrame;
    h.bh_datalen = kFrame;
    h.bh_hdrlen = kHeader;
    std::memcpy(buffer + at, &h, sizeof(h));
    std::memset(buffer + at + kHeader, 0xFF, kFrame);
    at += step;
    ++*records;
  }
  return at;
}

void Ignore(void*, const bpf_hdr*, const uint8_t*) {}

void BM_RecordWalk(benchmark::State& state) {
  std::vector<uint8_t> buffer(capture::kCaptureBufferSize);
  capture::TCaptureHandle h{};
  h.Buffer = buffer.data();
  h.BufferSize = capture::kCaptureBufferSize;
  int64_t records = 0;
  const uint32_t bytes = FillBatch(h.Buffer, static_cast<uint32_t>(h.BufferSize), &records);
  for (auto _ : state) {
    // The batch in hand: CaptureRead continues it without the driver.
    h.ResumePosition = h.Buffer;
    h.BytesLeft = static_cast<int32_t>(bytes);
    benchmark::DoNotOptimize(capture::CaptureRead(&h, 0, &Ignore, nullptr));
  }
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_RecordWalk);

void BM_RecordWalkDriver(benchmark::State& state) {
  const std::string exe = platform::ExecutablePath();
  const std::string path = exe.substr(0, exe.find_last_of('/') + 1) + "testdriver/libpacket.so";
  platform::LibraryHandle lib = platform::LoadLibraryA(path.c_str());
  using QueueFn = void (*)(const void*, uint32_t, uint32_t);
  using RepeatFn = void (*)(int);
  auto queue =
      lib ? reinterpret_cast<QueueFn>(platform::GetProcAddress(lib, "TestDriverQueueBatch"))
          : nullptr;
  auto repeat =
      lib ? reinterpret_cast<RepeatFn>(platform::GetProcAddress(lib, "TestDriverRepeat")) : nullptr;
  capture::SetPacketDriverLibrary(path);
  if (!queue || !repeat || !capture::BindPacketDriver()) {
    state.SkipWithError(("test driver not loadable: " + path).c_str());
    return;
  }
  std::string error;
  capture::TCaptureHandle* h = capture::CaptureOpen("bench", 1514, true, error);
  if (!h) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<uint8_t> batch(capture::kCaptureBufferSize);
  int64_t records = 0;
  const uint32_t bytes = FillBatch(batch.data(), static_cast<uint32_t>(batch.size()), &records);
  queue(batch.data(), bytes, bytes);
  repeat(1);
  for (auto _ : state) benchmark::DoNotOptimize(capture::CaptureRead(h, 0, &Ignore, nullptr));
  state.SetItemsProcessed(state.iterations() * records);
  repeat(0);
  capture::CaptureClose(h);
}
BENCHMARK(BM_RecordWalkDriver);

}  // namespace

BENCHMARK_MAIN();
