#include "capture/Packet32.h"

#include <atomic>

#include "platform/DynamicLibrary.h"

namespace capture {

TPacketDriver PacketDriver{};

namespace {

std::string& LibraryName() {
  static std::string* name = new std::string("Packet.dll");
  return *name;
}

std::atomic<bool> g_bound{false};

template <class Fn>
bool Resolve(platform::LibraryHandle library, const char* name, Fn& entry) {
  entry = reinterpret_cast<Fn>(platform::GetProcAddress(library, name));
  return entry != nullptr;
}

}  // namespace

void SetPacketDriverLibrary(const std::string& name) { LibraryName() = name; }

bool BindPacketDriver() {
  if (g_bound.load(std::memory_order_acquire)) return true;
  platform::LibraryHandle library = platform::LoadLibraryA(LibraryName().c_str());
  if (!library) return false;
  // Resolve into a scratch set first, so that a failure leaves nothing bound.
  TPacketDriver d{};
  const bool all = Resolve(library, "PacketGetAdapterNames", d.PacketGetAdapterNames) &&
                   Resolve(library, "PacketOpenAdapter", d.PacketOpenAdapter) &&
                   Resolve(library, "PacketCloseAdapter", d.PacketCloseAdapter) &&
                   Resolve(library, "PacketAllocatePacket", d.PacketAllocatePacket) &&
                   Resolve(library, "PacketInitPacket", d.PacketInitPacket) &&
                   Resolve(library, "PacketFreePacket", d.PacketFreePacket) &&
                   Resolve(library, "PacketReceivePacket", d.PacketReceivePacket) &&
                   Resolve(library, "PacketSendPacket", d.PacketSendPacket) &&
                   Resolve(library, "PacketSetHwFilter", d.PacketSetHwFilter) &&
                   Resolve(library, "PacketRequest", d.PacketRequest) &&
                   Resolve(library, "PacketSetBuff", d.PacketSetBuff) &&
                   Resolve(library, "PacketSetBpf", d.PacketSetBpf) &&
                   Resolve(library, "PacketGetStats", d.PacketGetStats) &&
                   Resolve(library, "PacketGetNetType", d.PacketGetNetType) &&
                   Resolve(library, "PacketSetReadTimeout", d.PacketSetReadTimeout);
  if (!all) {
    platform::FreeLibrary(library);
    return false;
  }
  if (!Resolve(library, "PacketReceiveFrames", d.PacketReceiveFrames)) {
    d.PacketReceiveFrames = nullptr;
  }
  PacketDriver = d;
  g_bound.store(true, std::memory_order_release);
  return true;
}

}  // namespace capture
