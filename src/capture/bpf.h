// The capture record header that the driver writes in front of every frame
// of a batch, in host byte order.
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

// Records start on 4-byte boundaries.
constexpr uint32_t BPF_WORDALIGN(uint32_t x) { return (x + 3u) & ~3u; }

}  // namespace capture
