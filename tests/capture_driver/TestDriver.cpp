// The scripted capture test driver (see TestDriver.h). Every entry point
// takes one lock; PacketReceivePacket waits for a queued batch up to the
// read timeout, as a real driver does, and then answers an empty batch.
#include "TestDriver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/Packet32.h"

#if defined(_WIN32)
#include <windows.h>
#define TEST_DRIVER_EXPORT extern "C" __declspec(dllexport)
#else
#include <cerrno>
#define TEST_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using capture::BOOLEAN;
using capture::LPADAPTER;
using capture::LPPACKET;

namespace {

struct Batch {
  std::vector<uint8_t> bytes;
  uint32_t reported;
};

struct State {
  std::mutex mu;
  std::condition_variable queued;
  std::vector<uint8_t> names;
  uint32_t names_size = 0;
  std::set<std::string> failing;
  std::deque<Batch> batches;
  bool repeat = false;
  std::map<std::string, uint32_t> calls;
  std::map<std::string, uint32_t> last_arg;
  std::string opened_name;
  int32_t open_adapters = 0;
  int32_t live_packets = 0;
  int32_t timeout_ms = 20;
  uint32_t received = 0, dropped = 0;
  int adapter_tag = 0;      // adapters are addresses inside this object
  uint32_t fail_error = 0;  // the system error a failing entry point leaves
};

// Sets the calling thread's system error, as a real driver's failed call
// leaves it: the last error on Windows, errno elsewhere.
void SetSystemError(uint32_t code) {
#if defined(_WIN32)
  ::SetLastError(code);
#else
  errno = static_cast<int>(code);
#endif
}

// The error a failing entry point leaves, set once its lock is released
// (unlocking may touch the thread's error itself): declared before the lock.
struct LeaveError {
  uint32_t code = 0;
  ~LeaveError() {
    if (code != 0) SetSystemError(code);
  }
};

State& S() {
  static State* s = new State;
  return *s;
}

// Counts the call and says whether the entry point is to fail.
bool Enter(State& s, const char* entry) {
  ++s.calls[entry];
  return s.failing.count(entry) != 0;
}
// The same, for an entry point that leaves the set error when it fails.
bool Enter(State& s, const char* entry, LeaveError& leave) {
  if (!Enter(s, entry)) return false;
  leave.code = s.fail_error;
  return true;
}

}  // namespace

TEST_DRIVER_EXPORT void TestDriverReset() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.names.clear();
  s.names_size = 0;
  s.failing.clear();
  s.batches.clear();
  s.repeat = false;
  s.calls.clear();
  s.last_arg.clear();
  s.opened_name.clear();
  s.timeout_ms = 20;
  s.fail_error = 0;
  s.received = s.dropped = 0;
}

TEST_DRIVER_EXPORT void TestDriverSetStats(uint32_t received, uint32_t dropped) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.received = received;
  s.dropped = dropped;
}

TEST_DRIVER_EXPORT void TestDriverSetAdapterNames(const void* data, uint32_t bytes, uint32_t size) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  const auto* p = static_cast<const uint8_t*>(data);
  s.names.assign(p, p + bytes);
  s.names_size = size;
}

TEST_DRIVER_EXPORT void TestDriverFail(const char* entry) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.failing.insert(entry);
}

TEST_DRIVER_EXPORT void TestDriverFailError(uint32_t code) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.fail_error = code;
}

TEST_DRIVER_EXPORT void TestDriverSetSystemError(uint32_t code) { SetSystemError(code); }

TEST_DRIVER_EXPORT void TestDriverQueueBatch(const void* data, uint32_t bytes, uint32_t reported) {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    const auto* p = static_cast<const uint8_t*>(data);
    s.batches.push_back(Batch{std::vector<uint8_t>(p, p + bytes), reported});
  }
  s.queued.notify_all();
}

TEST_DRIVER_EXPORT void TestDriverRepeat(int on) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.repeat = on != 0;
}

TEST_DRIVER_EXPORT uint32_t TestDriverCalls(const char* entry) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.calls.find(entry);
  return it == s.calls.end() ? 0 : it->second;
}

TEST_DRIVER_EXPORT uint32_t TestDriverLastArg(const char* entry) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.last_arg.find(entry);
  return it == s.last_arg.end() ? 0 : it->second;
}

TEST_DRIVER_EXPORT const char* TestDriverOpenedName() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.opened_name.c_str();
}

TEST_DRIVER_EXPORT int32_t TestDriverLive(const char* what) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  const std::string w = what;
  if (w == "adapters") return s.open_adapters;
  if (w == "packets") return s.live_packets;
  return -1;
}

// The driver's entry points.

TEST_DRIVER_EXPORT BOOLEAN PacketGetAdapterNames(char* buffer, uint32_t* size) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (Enter(s, "PacketGetAdapterNames")) return 0;
  if (!s.names.empty())
    std::memcpy(buffer, s.names.data(), std::min<size_t>(s.names.size(), 40960));
  *size = s.names_size;
  return 1;
}

TEST_DRIVER_EXPORT LPADAPTER PacketOpenAdapter(char* name) {
  LeaveError leave;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.opened_name = name;
  if (Enter(s, "PacketOpenAdapter", leave)) return nullptr;
  ++s.open_adapters;
  return &s.adapter_tag;
}

TEST_DRIVER_EXPORT void PacketCloseAdapter(LPADAPTER adapter) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Enter(s, "PacketCloseAdapter");
  if (adapter == &s.adapter_tag) --s.open_adapters;
}

TEST_DRIVER_EXPORT LPPACKET PacketAllocatePacket() {
  LeaveError leave;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (Enter(s, "PacketAllocatePacket", leave)) return nullptr;
  ++s.live_packets;
  return new capture::PACKET{};
}

TEST_DRIVER_EXPORT void PacketInitPacket(LPPACKET packet, void* buffer, uint32_t length) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Enter(s, "PacketInitPacket");
  s.last_arg["PacketInitPacket"] = length;
  packet->Buffer = buffer;
  packet->Length = length;
}

TEST_DRIVER_EXPORT void PacketFreePacket(LPPACKET packet) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Enter(s, "PacketFreePacket");
  --s.live_packets;
  delete packet;
}

TEST_DRIVER_EXPORT BOOLEAN PacketReceivePacket(LPADAPTER, LPPACKET packet, BOOLEAN) {
  LeaveError leave;
  State& s = S();
  std::unique_lock<std::mutex> lock(s.mu);
  if (Enter(s, "PacketReceivePacket", leave)) return 0;
  s.queued.wait_for(lock, std::chrono::milliseconds(s.timeout_ms),
                    [&] { return !s.batches.empty(); });
  packet->ulBytesReceived = 0;
  if (s.batches.empty()) return 1;
  const Batch& b = s.batches.front();
  if (!b.bytes.empty()) {
    std::memcpy(packet->Buffer, b.bytes.data(), std::min<size_t>(b.bytes.size(), packet->Length));
  }
  packet->ulBytesReceived = b.reported;
  if (!s.repeat || s.batches.size() > 1) s.batches.pop_front();
  return 1;
}

TEST_DRIVER_EXPORT BOOLEAN PacketSendPacket(LPADAPTER, LPPACKET, BOOLEAN) { return 0; }

TEST_DRIVER_EXPORT BOOLEAN PacketSetHwFilter(LPADAPTER, uint32_t filter) {
  LeaveError leave;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.last_arg["PacketSetHwFilter"] = filter;
  return Enter(s, "PacketSetHwFilter", leave) ? 0 : 1;
}

TEST_DRIVER_EXPORT BOOLEAN PacketRequest(LPADAPTER, BOOLEAN, void*) { return 0; }

TEST_DRIVER_EXPORT BOOLEAN PacketSetBuff(LPADAPTER, int32_t bytes) {
  LeaveError leave;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.last_arg["PacketSetBuff"] = static_cast<uint32_t>(bytes);
  return Enter(s, "PacketSetBuff", leave) ? 0 : 1;
}

TEST_DRIVER_EXPORT BOOLEAN PacketSetBpf(LPADAPTER, void*) { return 0; }

// Fills the first two fields of the statistics record, as a driver may.
TEST_DRIVER_EXPORT BOOLEAN PacketGetStats(LPADAPTER, void* stats) {
  LeaveError leave;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (Enter(s, "PacketGetStats", leave)) return 0;
  const uint32_t counters[2] = {s.received, s.dropped};
  std::memcpy(stats, counters, sizeof counters);
  return 1;
}

TEST_DRIVER_EXPORT BOOLEAN PacketGetNetType(LPADAPTER, capture::NetType* type) {
  LeaveError leave;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (Enter(s, "PacketGetNetType", leave)) return 0;
  type->LinkType = 0;  // NdisMedium802_3
  type->LinkSpeed = 100000000;
  return 1;
}

#ifndef TEST_DRIVER_WITHOUT_SET_READ_TIMEOUT
TEST_DRIVER_EXPORT BOOLEAN PacketSetReadTimeout(LPADAPTER, int32_t milliseconds) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.last_arg["PacketSetReadTimeout"] = static_cast<uint32_t>(milliseconds);
  if (Enter(s, "PacketSetReadTimeout")) return 0;
  s.timeout_ms = milliseconds;
  return 1;
}
#endif
