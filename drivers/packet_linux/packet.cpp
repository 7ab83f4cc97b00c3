// libpacket.so: the capture driver's fifteen entry points over Linux packet
// sockets, loaded by the program at run time in place of Packet.dll.
//
// An adapter is one AF_PACKET socket bound to one interface, with a
// memory-mapped TPACKET_V3 receive ring. The kernel fills the ring's blocks;
// PacketReceivePacket waits (one poll) only when no block is ready, then
// copies whole frames from ready blocks into the caller's buffer as capture
// records (bpf_hdr, frame data, padding to 4 bytes). A frame that does not
// fit stays where it is: the adapter keeps a cursor into the block it is
// reading, and hands a block back to the kernel only once every frame of it
// has been delivered.
//
// PacketReceiveFrames, an entry point of this driver beside the fifteen,
// reads in place: it hands each frame to the caller's handler where it lies
// in the ring (a tagged frame, whose tag the kernel took out, from a copy
// with the tag put back) and gives a block back once the handler has
// returned for its last frame.
//
// One thread at a time uses an adapter. No C++ exception leaves an entry
// point: failure is a null or zero result, with errno saying why (the
// system's error of the call that failed; the capture layer names it), as
// the Windows driver leaves its cause in the thread's last error.

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "capture/Ndis_def.h"
#include "capture/Packet32.h"
#include "capture/bpf.h"

#define PACKET_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using capture::BOOLEAN;
using capture::bpf_hdr;
using capture::BPF_WORDALIGN;
using capture::LPPACKET;
using capture::NetType;
using capture::PACKET;

// Ring geometry. The ring never gets smaller than kRingFloor, whatever
// PacketSetBuff asks: a minimum-size frame takes 144 bytes of the ring, so
// 32 MB hold a burst of about 230,000 frames (a second at full rate on a
// veth pair) while the reader waits for a core. Blocks are small enough that the kernel always
// has free ones while the reader copies out of others.
constexpr uint32_t kBlockSize = 128 * 1024;
constexpr uint32_t kFrameSize = 2048;  // nominal; TPACKET_V3 packs frames
constexpr size_t kRingFloor = 32u * 1024 * 1024;
constexpr size_t kRingCeiling = 1024u * 1024 * 1024;
// The blocks one read in place walks at most, about the user buffer's
// 256,000 bytes, so that the reader comes back between them.
constexpr uint32_t kBlocksPerRead = 2;
// A block with frames in it is handed to the reader after this long even
// when it is not full, so a quiet link still delivers promptly.
constexpr uint32_t kBlockRetireMs = 8;

constexpr uint32_t kRecordHeaderLength = sizeof(bpf_hdr);  // 20
constexpr uint32_t kVlanTagLength = 4;
constexpr uint32_t kMacAddressesLength = 12;

// NDIS media answered by PacketGetNetType.
constexpr uint32_t kNdisMedium802_3 = 0;
constexpr uint32_t kNdisMediumWan = 3;

// The statistics record PacketGetStats fills: the first two fields of the
// Windows driver's record.
struct PacketStats {
  uint32_t bs_recv;  // frames the kernel saw for this adapter, drops included
  uint32_t bs_drop;  // frames lost because the ring was full
};

struct Adapter {
  int fd = -1;
  int ifindex = 0;
  char name[IF_NAMESIZE] = {};
  // The interface was removed: every read fails from then on, and the
  // capture layer opens the adapter again by name.
  bool gone = false;
  bool promiscuous = false;
  // Read timeout in milliseconds: 0 waits until frames arrive, negative
  // does not wait.
  int timeout_ms = 0;

  uint8_t* ring = nullptr;
  size_t ring_size = 0;
  uint32_t block_count = 0;
  uint32_t block = 0;  // the block the reader owns or waits for next

  // Cursor into the current block while it is held: the next frame to
  // deliver and how many are left.
  bool holding = false;
  const uint8_t* next_frame = nullptr;
  uint32_t frames_left = 0;

  // The kernel's counters reset on every read; these keep the totals.
  uint64_t packets = 0;
  uint64_t drops = 0;

  // A tagged frame's record, read in place, with its tag put back.
  alignas(4) uint8_t tagged[kBlockSize + 4];
};

tpacket_block_desc* BlockAt(Adapter* a, uint32_t i) {
  return reinterpret_cast<tpacket_block_desc*>(a->ring + static_cast<size_t>(i) * kBlockSize);
}

bool BlockReady(tpacket_block_desc* b) {
  return (__atomic_load_n(&b->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0;
}

void ReturnBlock(tpacket_block_desc* b) {
  __atomic_store_n(&b->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
}

void UnmapRing(Adapter* a) {
  if (a->ring) {
    munmap(a->ring, a->ring_size);
    a->ring = nullptr;
  }
  a->ring_size = 0;
  a->block_count = 0;
  a->block = 0;
  a->holding = false;
  a->next_frame = nullptr;
  a->frames_left = 0;
}

// Stops or starts the socket's traffic for this interface: bound with
// protocol 0 the socket receives nothing, with ETH_P_ALL every frame.
bool Bind(Adapter* a, uint16_t protocol) {
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(protocol);
  sll.sll_ifindex = a->ifindex;
  return bind(a->fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0;
}

size_t RingSizeFor(int64_t requested) {
  size_t size = std::max<size_t>(kRingFloor, static_cast<size_t>(std::max<int64_t>(requested, 0)));
  size = std::min(size, kRingCeiling);
  return (size + kBlockSize - 1) / kBlockSize * kBlockSize;
}

// Builds a ring of the given size and starts the socket receiving into it.
// Frames still in an earlier ring are given up.
bool SetUpRing(Adapter* a, size_t size) {
  Bind(a, 0);
  if (a->ring) {
    UnmapRing(a);
    tpacket_req3 none{};
    if (setsockopt(a->fd, SOL_PACKET, PACKET_RX_RING, &none, sizeof none) != 0) return false;
  }
  tpacket_req3 req{};
  req.tp_block_size = kBlockSize;
  req.tp_block_nr = static_cast<unsigned>(size / kBlockSize);
  req.tp_frame_size = kFrameSize;
  req.tp_frame_nr = req.tp_block_nr * (kBlockSize / kFrameSize);
  req.tp_retire_blk_tov = kBlockRetireMs;
  if (setsockopt(a->fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) return false;
  // The ring's pages are the kernel's own: mapped at once, never swapped.
  void* ring = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, a->fd, 0);
  if (ring == MAP_FAILED) {
    tpacket_req3 none{};
    setsockopt(a->fd, SOL_PACKET, PACKET_RX_RING, &none, sizeof none);
    return false;
  }
  a->ring = static_cast<uint8_t*>(ring);
  a->ring_size = size;
  a->block_count = req.tp_block_nr;
  a->block = 0;
  return Bind(a, ETH_P_ALL);
}

bool SetPromiscuous(Adapter* a, bool on) {
  if (a->promiscuous == on) return true;
  packet_mreq mr{};
  mr.mr_ifindex = a->ifindex;
  mr.mr_type = PACKET_MR_PROMISC;
  int option = on ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP;
  if (setsockopt(a->fd, SOL_PACKET, option, &mr, sizeof mr) != 0) return false;
  a->promiscuous = on;
  return true;
}

void DestroyAdapter(Adapter* a) {
  if (a->fd >= 0) {
    SetPromiscuous(a, false);
    UnmapRing(a);
    close(a->fd);
  }
  delete a;
}

// Keeps errno across clean-up after a failed call, so that the caller learns
// the cause and not what the clean-up did.
class KeepErrno {
 public:
  KeepErrno() : saved_(errno) {}
  ~KeepErrno() { errno = saved_ != 0 ? saved_ : EIO; }
  KeepErrno(const KeepErrno&) = delete;
  KeepErrno& operator=(const KeepErrno&) = delete;

 private:
  const int saved_;
};

// A failed open: the adapter goes, the open's cause stays in errno.
void* FailOpen(Adapter* a) {
  KeepErrno keep;
  DestroyAdapter(a);
  return nullptr;
}

// A failed call: errno says why.
BOOLEAN Fail(int error) {
  errno = error;
  return 0;
}

// ioctl on a throw-away socket about the named interface.
bool InterfaceIoctl(unsigned long request, ifreq* ifr) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = ioctl(fd, request, ifr) == 0;
  close(fd);
  return ok;
}

bool InterfaceRequest(const char* name, ifreq* ifr) {
  std::memset(ifr, 0, sizeof *ifr);
  size_t n = std::strlen(name);
  if (n >= IFNAMSIZ) return false;
  std::memcpy(ifr->ifr_name, name, n);
  return true;
}

bool InterfaceNameOf(int ifindex, char (&name)[IF_NAMESIZE]) {
  return if_indextoname(static_cast<unsigned>(ifindex), name) != nullptr;
}

// Copies one frame out of the ring as a capture record at out, restoring a
// VLAN tag that the kernel took out of the frame. room is at least the
// record header plus one byte; a frame longer than room - header is cut
// there. Returns the record's length before padding.
uint32_t WriteRecord(const tpacket3_hdr* f, uint8_t* out, uint32_t room) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(f) + f->tp_mac;
  uint32_t snap = f->tp_snaplen;
  uint32_t wire = f->tp_len;
  bool tagged = (f->tp_status & TP_STATUS_VLAN_VALID) != 0 && snap >= kMacAddressesLength;
  uint8_t tag[kVlanTagLength] = {};
  if (tagged) {
    uint16_t tpid = (f->tp_status & TP_STATUS_VLAN_TPID_VALID) && f->hv1.tp_vlan_tpid
                        ? f->hv1.tp_vlan_tpid
                        : ETH_P_8021Q;
    uint16_t tci = f->hv1.tp_vlan_tci;
    tag[0] = static_cast<uint8_t>(tpid >> 8);
    tag[1] = static_cast<uint8_t>(tpid);
    tag[2] = static_cast<uint8_t>(tci >> 8);
    tag[3] = static_cast<uint8_t>(tci);
    snap += kVlanTagLength;
    wire += kVlanTagLength;
  }
  uint32_t caplen = std::min(snap, room - kRecordHeaderLength);

  bpf_hdr h{};
  h.bh_tstamp.tv_sec = static_cast<int32_t>(f->tp_sec);
  h.bh_tstamp.tv_usec = static_cast<int32_t>(f->tp_nsec / 1000);
  h.bh_caplen = caplen;
  h.bh_datalen = wire;
  h.bh_hdrlen = kRecordHeaderLength;
  std::memcpy(out, &h, sizeof h);

  uint8_t* dst = out + kRecordHeaderLength;
  if (!tagged) {
    std::memcpy(dst, data, caplen);
  } else {
    // Destination and source address, the tag, then the rest of the frame.
    uint32_t n = std::min(caplen, kMacAddressesLength);
    std::memcpy(dst, data, n);
    uint32_t t = std::min(caplen - n, kVlanTagLength);
    std::memcpy(dst + n, tag, t);
    std::memcpy(dst + n + t, data + n, caplen - n - t);
  }
  return kRecordHeaderLength + caplen;
}

uint32_t RecordSizeInRing(const tpacket3_hdr* f) {
  uint32_t snap = f->tp_snaplen;
  if ((f->tp_status & TP_STATUS_VLAN_VALID) && snap >= kMacAddressesLength) snap += kVlanTagLength;
  return kRecordHeaderLength + snap;
}

// Copies frames from ready blocks into buffer[0, length). Returns the bytes
// used; a frame that does not fit is left at the cursor, except that a frame
// bigger than the whole buffer is delivered cut to fit rather than blocking
// the ring for ever.
uint32_t Drain(Adapter* a, uint8_t* buffer, uint32_t length) {
  uint32_t used = 0;
  for (;;) {
    tpacket_block_desc* b = BlockAt(a, a->block);
    if (!a->holding) {
      if (!BlockReady(b)) break;
      a->holding = true;
      a->frames_left = b->hdr.bh1.num_pkts;
      a->next_frame = reinterpret_cast<const uint8_t*>(b) + b->hdr.bh1.offset_to_first_pkt;
    }
    while (a->frames_left > 0) {
      auto* f = reinterpret_cast<const tpacket3_hdr*>(a->next_frame);
      uint32_t need = RecordSizeInRing(f);
      uint32_t room = length - used;
      // No room: the frame waits for the next call. Only into an empty
      // buffer (which the caller makes longer than a record header) does
      // a frame go cut.
      if (need > room && used > 0) return used;
      used += BPF_WORDALIGN(WriteRecord(f, buffer + used, room));
      used = std::min(used, length);
      a->frames_left--;
      a->next_frame += f->tp_next_offset;
      if (used >= length) {
        if (a->frames_left == 0) break;
        return used;
      }
    }
    a->holding = false;
    a->next_frame = nullptr;
    ReturnBlock(b);
    a->block = (a->block + 1) % a->block_count;
    if (used >= length) break;
  }
  return used;
}

bool FrontBlockReady(Adapter* a) { return a->holding || BlockReady(BlockAt(a, a->block)); }

// Hands frames of ready blocks to handler in place, at most kBlocksPerRead
// blocks, until handler asks to stop. A frame counts as delivered once its
// handler has been called; a block goes back to the kernel after its last.
void DeliverInPlace(Adapter* a, capture::PacketFrameHandlerFn handler, void* user) {
  for (uint32_t blocks = 0;;) {
    tpacket_block_desc* b = BlockAt(a, a->block);
    if (!a->holding) {
      if (blocks == kBlocksPerRead || !BlockReady(b)) return;
      a->holding = true;
      a->frames_left = b->hdr.bh1.num_pkts;
      a->next_frame = reinterpret_cast<const uint8_t*>(b) + b->hdr.bh1.offset_to_first_pkt;
    }
    bool more = true;
    while (more && a->frames_left > 0) {
      auto* f = reinterpret_cast<const tpacket3_hdr*>(a->next_frame);
      a->frames_left--;
      a->next_frame += f->tp_next_offset;
      if ((f->tp_status & TP_STATUS_VLAN_VALID) && f->tp_snaplen >= kMacAddressesLength) {
        WriteRecord(f, a->tagged, sizeof a->tagged);
        more = handler(user, reinterpret_cast<const bpf_hdr*>(a->tagged),
                       a->tagged + kRecordHeaderLength) != 0;
      } else {
        bpf_hdr h{};
        h.bh_tstamp.tv_sec = static_cast<int32_t>(f->tp_sec);
        h.bh_tstamp.tv_usec = static_cast<int32_t>(f->tp_nsec / 1000);
        h.bh_caplen = f->tp_snaplen;
        h.bh_datalen = f->tp_len;
        h.bh_hdrlen = kRecordHeaderLength;
        more = handler(user, &h, reinterpret_cast<const uint8_t*>(f) + f->tp_mac) != 0;
      }
    }
    if (a->frames_left == 0) {
      a->holding = false;
      a->next_frame = nullptr;
      ReturnBlock(b);
      a->block = (a->block + 1) % a->block_count;
      ++blocks;
    }
    if (!more) return;
  }
}

// Whether the adapter's interface no longer exists under its index and name.
bool InterfaceGone(Adapter* a) {
  char now[IF_NAMESIZE];
  if (!if_indextoname(static_cast<unsigned>(a->ifindex), now) ||
      std::strncmp(now, a->name, IF_NAMESIZE) != 0) {
    a->gone = true;
  }
  return a->gone;
}

// Waits up to the read timeout for a block to become ready. false only on a
// socket failure; an interrupted or timed-out wait is an empty read.
bool WaitForFrames(Adapter* a, bool wait) {
  int timeout = !wait || a->timeout_ms < 0 ? 0 : a->timeout_ms == 0 ? -1 : a->timeout_ms;
  pollfd p{a->fd, POLLIN | POLLERR, 0};
  int n = poll(&p, 1, timeout);
  if (n < 0) return errno == EINTR;
  if (n > 0 && (p.revents & (POLLERR | POLLNVAL))) {
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return false;
    }
    // A pending socket error is cleared. An interface that went down keeps
    // its socket, which works again when it comes up: an empty read. One
    // that was removed never comes back under this index: a failed read.
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(a->fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (InterfaceGone(a)) {
      errno = ENODEV;
      return false;
    }
  }
  return true;
}

struct InterfaceEntry {
  unsigned index;
  std::string name;
  bool up;
};

// The interfaces that carry Ethernet frames (ARPHRD_ETHER: physical ports,
// bridges, bonds, VLAN and macvlan devices, Wi-Fi in managed mode), those
// that are up first, each group in index order. Loopback, tunnels and
// anything else whose frames are not Ethernet frames are left out: no ARP
// frame is ever seen there, and a watch that opened one would run deaf.
std::vector<InterfaceEntry> ListInterfaces() {
  std::vector<InterfaceEntry> list;
  struct if_nameindex* names = if_nameindex();
  if (!names) return list;
  for (struct if_nameindex* i = names; i->if_index != 0 && i->if_name; ++i) {
    ifreq ifr;
    if (!InterfaceRequest(i->if_name, &ifr) || !InterfaceIoctl(SIOCGIFHWADDR, &ifr) ||
        ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
      continue;
    }
    bool up = false;
    if (InterfaceRequest(i->if_name, &ifr) && InterfaceIoctl(SIOCGIFFLAGS, &ifr)) {
      up = (ifr.ifr_flags & IFF_UP) != 0;
    }
    list.push_back({i->if_index, i->if_name, up});
  }
  if_freenameindex(names);
  std::stable_sort(list.begin(), list.end(), [](const InterfaceEntry& x, const InterfaceEntry& y) {
    return x.up != y.up ? x.up : x.index < y.index;
  });
  return list;
}

void PutChar16(char* buffer, uint32_t at, uint16_t c) {
  buffer[2 * at] = static_cast<char>(c & 0xFF);
  buffer[2 * at + 1] = static_cast<char>(c >> 8);
}

}  // namespace

// Writes the adapter names as 16-bit little-endian characters: each name
// NUL-terminated, the list ended by a second NUL. *size holds the room in
// 16-bit characters and receives the characters written. Names that do not
// fit whole are left out, and the call then answers 0.
PACKET_EXPORT BOOLEAN PacketGetAdapterNames(char* buffer, uint32_t* size) noexcept {
  if (!buffer || !size) return 0;
  try {
    const uint32_t room = *size;
    uint32_t used = 0;
    bool complete = true;
    for (const InterfaceEntry& e : ListInterfaces()) {
      // The name, its NUL, and the list's closing NUL must fit.
      uint64_t need = static_cast<uint64_t>(e.name.size()) + 2;
      if (used + need > room) {
        complete = false;
        break;
      }
      for (unsigned char c : e.name) PutChar16(buffer, used++, c);
      PutChar16(buffer, used++, 0);
    }
    if (used == 0 && room >= 2) PutChar16(buffer, used++, 0);  // empty list: two NULs
    if (used < room) PutChar16(buffer, used++, 0);
    *size = used;
    return complete && used >= 2 ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

PACKET_EXPORT void* PacketOpenAdapter(char* name) noexcept {
  if (!name) {
    errno = EINVAL;
    return nullptr;
  }
  Adapter* a = new (std::nothrow) Adapter;
  if (!a) {
    errno = ENOMEM;
    return nullptr;
  }
  // A name that is no interface (too long ones included): ENODEV.
  a->ifindex = static_cast<int>(if_nametoindex(name));
  std::strncpy(a->name, name, IF_NAMESIZE - 1);
  if (a->ifindex == 0) return FailOpen(a);
  // Protocol 0: nothing arrives until the socket is bound to the interface
  // with its ring in place. Without CAP_NET_RAW: EPERM.
  a->fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (a->fd < 0) return FailOpen(a);
  int version = TPACKET_V3;
  if (setsockopt(a->fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
      !SetUpRing(a, RingSizeFor(0))) {
    return FailOpen(a);
  }
  return a;
}

PACKET_EXPORT void PacketCloseAdapter(void* adapter) noexcept {
  if (adapter) DestroyAdapter(static_cast<Adapter*>(adapter));
}

PACKET_EXPORT LPPACKET PacketAllocatePacket() noexcept {
  auto* p = new (std::nothrow) PACKET;
  if (p) std::memset(p, 0, sizeof *p);
  return p;
}

PACKET_EXPORT void PacketInitPacket(LPPACKET packet, void* buffer, uint32_t length) noexcept {
  if (!packet) return;
  packet->Buffer = buffer;
  packet->Length = length;
  packet->ulBytesReceived = 0;
  packet->bIoComplete = 0;
}

PACKET_EXPORT void PacketFreePacket(LPPACKET packet) noexcept { delete packet; }

// Fills packet->Buffer with capture records of the frames received since
// the last call, as many whole frames as fit; waits up to the read timeout
// when none is waiting. Success with 0 bytes when the wait ends empty.
PACKET_EXPORT BOOLEAN PacketReceivePacket(void* adapter, LPPACKET packet, BOOLEAN sync) noexcept {
  auto* a = static_cast<Adapter*>(adapter);
  if (!a || !packet || !a->ring) return Fail(EINVAL);
  if (a->gone) return Fail(ENODEV);
  packet->ulBytesReceived = 0;
  if (!packet->Buffer || packet->Length <= kRecordHeaderLength) return Fail(EINVAL);
  if (!FrontBlockReady(a) && !WaitForFrames(a, sync != 0)) return 0;
  packet->ulBytesReceived = Drain(a, static_cast<uint8_t*>(packet->Buffer), packet->Length);
  packet->bIoComplete = 1;
  return 1;
}

// The read in place (see the top of the file): frames waiting are handed
// to handler; waits up to the read timeout only when none is. *backlog
// says whether frames still wait when it returns.
PACKET_EXPORT BOOLEAN PacketReceiveFrames(void* adapter, BOOLEAN sync,
                                          capture::PacketFrameHandlerFn handler, void* user,
                                          BOOLEAN* backlog) noexcept {
  auto* a = static_cast<Adapter*>(adapter);
  if (backlog) *backlog = 0;
  if (!a || !handler || !a->ring) return Fail(EINVAL);
  if (a->gone) return Fail(ENODEV);
  if (!FrontBlockReady(a) && !WaitForFrames(a, sync != 0)) return 0;
  DeliverInPlace(a, handler, user);
  if (backlog) *backlog = FrontBlockReady(a) ? 1 : 0;
  return 1;
}

PACKET_EXPORT BOOLEAN PacketSendPacket(void*, LPPACKET, BOOLEAN) noexcept { return 0; }

PACKET_EXPORT BOOLEAN PacketSetHwFilter(void* adapter, uint32_t filter) noexcept {
  auto* a = static_cast<Adapter*>(adapter);
  if (!a) return Fail(EINVAL);
  if (filter == capture::NDIS_PACKET_TYPE_PROMISCUOUS) return SetPromiscuous(a, true);
  if (filter == capture::NDIS_PACKET_TYPE_DIRECTED) return SetPromiscuous(a, false);
  return Fail(EINVAL);
}

PACKET_EXPORT BOOLEAN PacketRequest(void*, BOOLEAN, void*) noexcept { return 0; }

// Sizes the kernel's receive ring to at least bytes (never below the
// driver's floor). Frames still waiting in the ring are given up when it is
// rebuilt, which happens only when the size changes.
PACKET_EXPORT BOOLEAN PacketSetBuff(void* adapter, int32_t bytes) noexcept {
  auto* a = static_cast<Adapter*>(adapter);
  if (!a || bytes <= 0) return Fail(EINVAL);
  size_t size = RingSizeFor(bytes);
  size_t before = a->ring_size;
  if (size == before) return 1;
  if (SetUpRing(a, size)) return 1;
  // The kernel could not give the new size: keep capturing with the old.
  KeepErrno keep;
  SetUpRing(a, before);
  return 0;
}

PACKET_EXPORT BOOLEAN PacketSetBpf(void*, void*) noexcept { return 0; }

// Answers frames seen and frames dropped since the adapter was opened.
PACKET_EXPORT BOOLEAN PacketGetStats(void* adapter, void* stats) noexcept {
  auto* a = static_cast<Adapter*>(adapter);
  if (!a || !stats) return 0;
  tpacket_stats_v3 st{};
  socklen_t len = sizeof st;
  if (getsockopt(a->fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) != 0) return 0;
  // The kernel's tp_packets already includes the drops.
  a->packets += st.tp_packets;
  a->drops += st.tp_drops;
  PacketStats out{static_cast<uint32_t>(a->packets), static_cast<uint32_t>(a->drops)};
  std::memcpy(stats, &out, sizeof out);
  return 1;
}

// Medium: 802.3 for Ethernet and loopback (whose frames carry an Ethernet
// header), WAN otherwise. Speed in bits per second from the interface's
// link settings, capped to 32 bits; 0 when the interface does not say.
PACKET_EXPORT BOOLEAN PacketGetNetType(void* adapter, NetType* type) noexcept {
  auto* a = static_cast<Adapter*>(adapter);
  if (!a || !type) return Fail(EINVAL);
  char name[IF_NAMESIZE];
  ifreq ifr;
  if (!InterfaceNameOf(a->ifindex, name) || !InterfaceRequest(name, &ifr) ||
      !InterfaceIoctl(SIOCGIFHWADDR, &ifr)) {
    return 0;
  }
  unsigned family = ifr.ifr_hwaddr.sa_family;
  type->LinkType =
      family == ARPHRD_ETHER || family == ARPHRD_LOOPBACK ? kNdisMedium802_3 : kNdisMediumWan;

  uint64_t speed = 0;
  ethtool_cmd cmd{};
  cmd.cmd = ETHTOOL_GSET;
  InterfaceRequest(name, &ifr);
  ifr.ifr_data = reinterpret_cast<char*>(&cmd);
  if (InterfaceIoctl(SIOCETHTOOL, &ifr)) {
    uint32_t mbps = ethtool_cmd_speed(&cmd);
    if (mbps != 0 && mbps != static_cast<uint32_t>(SPEED_UNKNOWN) && mbps != 0xFFFF) {
      speed = static_cast<uint64_t>(mbps) * 1000000u;
    }
  }
  type->LinkSpeed = static_cast<uint32_t>(std::min<uint64_t>(speed, UINT32_MAX));
  return 1;
}

PACKET_EXPORT BOOLEAN PacketSetReadTimeout(void* adapter, int32_t milliseconds) noexcept {
  auto* a = static_cast<Adapter*>(adapter);
  if (!a) return 0;
  a->timeout_ms = milliseconds;
  return 1;
}
