// The scripted capture test driver: the fifteen driver entry points over
// batches and adapter names that a test queues, with failures on request and
// counters of what the capture layer asked for. Never installed.
//
// Tests load the library by its path (TestDriverPath()), which also makes
// BindPacketDriver bind it, and reach the control functions below through
// TestDriver::Load().
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "capture/Packet32.h"
#include "capture/bpf.h"
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"

extern "C" {
// Forgets every queued batch, name list, failure and counter.
using TestDriverResetFn = void (*)();
// The bytes PacketGetAdapterNames copies to the caller's buffer (at most the
// buffer's 40,960 bytes) and the size it reports back.
using TestDriverSetAdapterNamesFn = void (*)(const void* data, uint32_t bytes, uint32_t size);
// Makes the named entry point fail (null or false) until the next reset.
using TestDriverFailFn = void (*)(const char* entry);
// The system error (errno; on Windows the last error) that a failing entry
// point leaves on the calling thread; 0, as after a reset: none.
using TestDriverFailErrorFn = void (*)(uint32_t code);
// Sets the calling thread's system error as the failing entry points do.
using TestDriverSetSystemErrorFn = void (*)(uint32_t code);
// Queues a batch for PacketReceivePacket: its bytes, and the received-byte
// count the descriptor reports (normally bytes).
using TestDriverQueueBatchFn = void (*)(const void* data, uint32_t bytes, uint32_t reported);
// On: the last batch is served again and again instead of being used up.
using TestDriverRepeatFn = void (*)(int on);
// How often the named entry point was called.
using TestDriverCallsFn = uint32_t (*)(const char* entry);
// The last numeric argument the named entry point received (filter, buffer
// size, read timeout, init length).
using TestDriverLastArgFn = uint32_t (*)(const char* entry);
// The name the last PacketOpenAdapter received.
using TestDriverOpenedNameFn = const char* (*)();
// Adapters opened and not closed; descriptors allocated and not freed.
using TestDriverLiveFn = int32_t (*)(const char* what);
// The counters PacketGetStats answers from now on (0 and 0 after a reset).
using TestDriverSetStatsFn = void (*)(uint32_t received, uint32_t dropped);
}

namespace capture_test {

// Full path of a test driver library, in the folder "testdriver" beside the
// test programs: full serves every entry point, partial lacks
// PacketSetReadTimeout.
inline std::string TestDriverPath(bool full = true) {
  std::string exe = platform::ExecutablePath();
  const size_t slash = exe.find_last_of("/\\");
  const char separator = slash == std::string::npos ? '/' : exe[slash];
  return exe.substr(0, slash + 1) + "testdriver" + separator +
         (full ? TESSALIN_TEST_DRIVER : TESSALIN_TEST_DRIVER_PARTIAL);
}

struct TestDriver {
  TestDriverResetFn Reset = nullptr;
  TestDriverSetAdapterNamesFn SetAdapterNames = nullptr;
  TestDriverFailFn Fail = nullptr;
  TestDriverFailErrorFn FailError = nullptr;
  TestDriverSetSystemErrorFn SetSystemError = nullptr;
  TestDriverQueueBatchFn QueueBatch = nullptr;
  TestDriverRepeatFn Repeat = nullptr;
  TestDriverCallsFn Calls = nullptr;
  TestDriverLastArgFn LastArg = nullptr;
  TestDriverOpenedNameFn OpenedName = nullptr;
  TestDriverLiveFn Live = nullptr;
  TestDriverSetStatsFn SetStats = nullptr;

  // Loads the full test driver; false when it is missing.
  bool Load() {
    platform::LibraryHandle lib = platform::LoadLibraryA(TestDriverPath().c_str());
    if (!lib) return false;
    auto get = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
          platform::GetProcAddress(lib, name));
      return fn != nullptr;
    };
    return get(Reset, "TestDriverReset") && get(SetAdapterNames, "TestDriverSetAdapterNames") &&
           get(Fail, "TestDriverFail") && get(FailError, "TestDriverFailError") &&
           get(SetSystemError, "TestDriverSetSystemError") &&
           get(QueueBatch, "TestDriverQueueBatch") && get(Repeat, "TestDriverRepeat") &&
           get(Calls, "TestDriverCalls") && get(LastArg, "TestDriverLastArg") &&
           get(OpenedName, "TestDriverOpenedName") && get(Live, "TestDriverLive") &&
           get(SetStats, "TestDriverSetStats");
  }
};

// The test driver, loaded and bound as the process's capture driver once.
// Null when it cannot be loaded or bound.
inline TestDriver* BoundTestDriver() {
  static TestDriver* driver = [] {
    auto* d = new TestDriver;
    capture::SetPacketDriverLibrary(TestDriverPath());
    if (!d->Load() || !capture::BindPacketDriver()) {
      delete d;
      return static_cast<TestDriver*>(nullptr);
    }
    return d;
  }();
  return driver;
}

// Builds a batch of capture records as a driver writes them.
struct BatchBuilder {
  std::vector<uint8_t> bytes;

  // Appends a record whose frame data is caplen bytes of fill, with wire
  // length datalen and header length hdrlen (at least the header's 20
  // bytes), padded to the next 4-byte boundary unless pad is false. Returns
  // the record's offset.
  size_t Add(uint32_t caplen, uint8_t fill, uint32_t datalen, uint16_t hdrlen = 20,
             bool pad = true) {
    const size_t at = Header(caplen, datalen, hdrlen);
    bytes.resize(at + hdrlen, 0);
    bytes.resize(at + hdrlen + caplen, fill);
    if (pad) bytes.resize(capture::BPF_WORDALIGN(static_cast<uint32_t>(bytes.size())), 0);
    return at;
  }
  // Appends only a 20-byte record header with these fields, whatever they
  // claim follows.
  size_t Header(uint32_t caplen, uint32_t datalen, uint16_t hdrlen) {
    const size_t at = bytes.size();
    capture::bpf_hdr h{};
    h.bh_caplen = caplen;
    h.bh_datalen = datalen;
    h.bh_hdrlen = hdrlen;
    bytes.resize(at + sizeof(h));
    std::memcpy(bytes.data() + at, &h, sizeof(h));
    return at;
  }
  size_t Add(uint32_t caplen, uint8_t fill) { return Add(caplen, fill, caplen); }
  uint32_t Size() const { return static_cast<uint32_t>(bytes.size()); }
};

}  // namespace capture_test
