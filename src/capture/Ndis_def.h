// NDIS constants the capture layer passes to the driver, and the Ethernet
// header as the capture component hands frames to its user.
#pragma once

#include <cstdint>

namespace capture {

// Packet filter values for PacketSetHwFilter.
constexpr uint32_t NDIS_PACKET_TYPE_DIRECTED = 0x00000001;
constexpr uint32_t NDIS_PACKET_TYPE_PROMISCUOUS = 0x00000020;

// The first 14 bytes of an Ethernet frame. A PETHERNET_HDR points at byte 0
// of a captured frame; the frame's further bytes follow it in memory.
#pragma pack(push, 1)
struct ETHERNET_HDR {
  uint8_t Destination[6];
  uint8_t Source[6];
  uint8_t Protocol[2];  // EtherType, big-endian
};
#pragma pack(pop)
using PETHERNET_HDR = const ETHERNET_HDR*;

}  // namespace capture
