// The packet capture driver's entry points, bound by name at run time from
// the driver library ("Packet.dll"; on Linux our own libpacket.so). The
// types below are the driver's binary interface, shared with the Linux
// driver in drivers/packet_linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/bpf.h"

namespace capture {

using BOOLEAN = uint8_t;
using LPADAPTER = void*;

// The OVERLAPPED-shaped block of the driver's packet descriptor.
struct PACKET_OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  uint32_t Offset;
  uint32_t OffsetHigh;
  void* hEvent;
};

// The packet descriptor as the driver lays it out. The received-byte count
// sits at byte offset 32 in 32-bit builds and at 52 in 64-bit builds.
struct PACKET {
  void* hEvent;
  PACKET_OVERLAPPED OverLapped;
  void* Buffer;
  uint32_t Length;
  uint32_t ulBytesReceived;
  BOOLEAN bIoComplete;
};
using LPPACKET = PACKET*;

static_assert(offsetof(PACKET, ulBytesReceived) == (sizeof(void*) == 8 ? 52 : 32),
              "received-byte count where the driver puts it");

// Medium and link speed, as PacketGetNetType answers them.
struct NetType {
  uint32_t LinkType;
  uint32_t LinkSpeed;
};

extern "C" {
using PacketGetAdapterNamesFn = BOOLEAN (*)(char* buffer, uint32_t* size);
using PacketOpenAdapterFn = LPADAPTER (*)(char* name);
using PacketCloseAdapterFn = void (*)(LPADAPTER adapter);
using PacketAllocatePacketFn = LPPACKET (*)();
using PacketInitPacketFn = void (*)(LPPACKET packet, void* buffer, uint32_t length);
using PacketFreePacketFn = void (*)(LPPACKET packet);
using PacketReceivePacketFn = BOOLEAN (*)(LPADAPTER adapter, LPPACKET packet, BOOLEAN sync);
using PacketSendPacketFn = BOOLEAN (*)(LPADAPTER adapter, LPPACKET packet, BOOLEAN sync);
using PacketSetHwFilterFn = BOOLEAN (*)(LPADAPTER adapter, uint32_t filter);
using PacketRequestFn = BOOLEAN (*)(LPADAPTER adapter, BOOLEAN set, void* oid_data);
using PacketSetBuffFn = BOOLEAN (*)(LPADAPTER adapter, int32_t bytes);
using PacketSetBpfFn = BOOLEAN (*)(LPADAPTER adapter, void* program);
using PacketGetStatsFn = BOOLEAN (*)(LPADAPTER adapter, void* stats);
using PacketGetNetTypeFn = BOOLEAN (*)(LPADAPTER adapter, NetType* type);
using PacketSetReadTimeoutFn = BOOLEAN (*)(LPADAPTER adapter, int32_t milliseconds);

// Our Linux driver's read in place, beside the fifteen (Packet.dll has no
// such entry point): the frames the driver holds are handed to handler one
// by one where they lie in its ring, each with a capture record header
// made for it (record points at that header, not at the bytes in front of
// data). A ring block goes back to the kernel once the handler has
// returned for its last frame, so the bytes stay valid until the handler
// returns. The handler returns nonzero to go on, 0 to stop: the next call
// goes on with the next frame. One call delivers at most about 256 KB of
// the ring; it waits up to the read timeout (sync) only when no frame is
// waiting, and then delivers none. *backlog: whether frames were still
// waiting when it returned. Nonzero on success; 0 on failure, with the
// system's error left as PacketReceivePacket leaves it.
using PacketFrameHandlerFn = BOOLEAN (*)(void* user, const bpf_hdr* record, const uint8_t* data);
using PacketReceiveFramesFn = BOOLEAN (*)(LPADAPTER adapter, BOOLEAN sync,
                                          PacketFrameHandlerFn handler, void* user,
                                          BOOLEAN* backlog);
}

// The bound entry points. All null until BindPacketDriver succeeds; from
// then on set for the life of the process.
struct TPacketDriver {
  PacketGetAdapterNamesFn PacketGetAdapterNames;
  PacketOpenAdapterFn PacketOpenAdapter;
  PacketCloseAdapterFn PacketCloseAdapter;
  PacketAllocatePacketFn PacketAllocatePacket;
  PacketInitPacketFn PacketInitPacket;
  PacketFreePacketFn PacketFreePacket;
  PacketReceivePacketFn PacketReceivePacket;
  PacketSendPacketFn PacketSendPacket;
  PacketSetHwFilterFn PacketSetHwFilter;
  PacketRequestFn PacketRequest;
  PacketSetBuffFn PacketSetBuff;
  PacketSetBpfFn PacketSetBpf;
  PacketGetStatsFn PacketGetStats;
  PacketGetNetTypeFn PacketGetNetType;
  PacketSetReadTimeoutFn PacketSetReadTimeout;
  // Bound only when the library has it (our Linux driver); null otherwise,
  // and the capture layer then reads through PacketReceivePacket.
  PacketReceiveFramesFn PacketReceiveFrames;
};
extern TPacketDriver PacketDriver;

// Binds the fifteen entry points of the driver library, all or nothing,
// and the read in place when the library has it.
// Returns true at once when they are already bound; otherwise loads the
// library and resolves every entry point by name. On success the bound flag
// is set for good and the library is never released; on failure nothing is
// bound, the flag stays clear and the next call starts over. Returns the
// result; never raises. Call from one thread at a time until it has
// succeeded once.
bool BindPacketDriver();

// The library BindPacketDriver loads: "Packet.dll" (on Linux libpacket.so
// beside the program). Tests name a test driver by its full path.
void SetPacketDriverLibrary(const std::string& name);

}  // namespace capture
