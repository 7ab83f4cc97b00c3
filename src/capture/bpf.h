// The capture record header that the driver writes in front of every frame
// of a batch, in host byte order, and the driver's statistics record.
#pragma once

#include <cstdint>

namespace capture {

struct bpf_timeval {
  int32_t tv_sec;
  int32_t tv_usec;
};

struct bpf_hdr {
  bpf_timeval bh_tstamp;  // not read by the program
  uint32_t bh_caplen;     // bytes of frame data present
  uint32_t bh_datalen;    // the frame's length on the wire
  uint16_t bh_hdrlen;     // bytes from the record's start to its frame data
};

// The driver's counters as PacketGetStats answers them, each counting since
// the adapter was opened and wrapping at 32 bits. A driver may fill only
// the first two.
struct bpf_stat {
  uint32_t bs_recv;    // frames the driver saw
  uint32_t bs_drop;    // frames it dropped because its buffer was full
  uint32_t ps_ifdrop;  // frames the interface dropped
  uint32_t bs_capt;    // frames that passed the filter
};

// Records start on 4-byte boundaries.
constexpr uint32_t BPF_WORDALIGN(uint32_t x) { return (x + 3u) & ~3u; }

}  // namespace capture
