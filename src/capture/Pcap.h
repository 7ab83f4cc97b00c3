// The capture layer: lists the driver's adapter names, opens one adapter for
// capture, reads one batch of frames at a time and hands each capture record
// to a handler in place, and closes the adapter. It reports failures only by
// its result (null or -1) and an error text; it never raises.
//
// A TCaptureHandle belongs to whoever opened it. One thread at a time uses
// it: the capture component's reader thread reads, and the handle is closed
// only after that thread has ended. The driver must be bound
// (BindPacketDriver) before any call here.
#pragma once

#include <cstdint>
#include <string>

#include "capture/Packet32.h"
#include "capture/bpf.h"
#include "platform/OsVersion.h"

namespace capture {

// Size of the user buffer that each driver read fills with one batch.
constexpr int32_t kCaptureBufferSize = 256000;
// Bytes the driver is asked to hold between reads.
constexpr int32_t kDriverBufferSize = 1000000;

// One open adapter, created zero-filled by CaptureOpen and freed by
// CaptureClose.
struct TCaptureHandle {
  LPADAPTER Adapter;        // null when there is none
  LPPACKET Packet;          // the driver's packet descriptor
  int32_t SnapLen;          // stored, never applied
  int32_t BufferSize;       // kCaptureBufferSize
  uint8_t* Buffer;          // the user buffer, owned
  uint8_t* ResumePosition;  // next record to deliver in the current batch
  int32_t BytesLeft;        // from ResumePosition to the batch end; 0: no batch pending
  char ErrorText[256];      // NUL-padded; set by a failed read
  // Whether the last driver read left frames waiting in the driver: it
  // filled the user buffer to within a full-size frame's record of its end.
  // Read by whoever reads the handle.
  bool Backlog;
};

// Per-record handler: the caller's user data, the record's header and the
// record's frame data. Both pointers are valid until the handler returns;
// the next driver read overwrites them. Read the frame through data, never
// as the bytes after the header: a read in place makes the header apart.
using TCaptureRecordHandler = void (*)(void* user, const bpf_hdr* record, const uint8_t* data);

// Every adapter name that the driver reports, in the driver's order, joined
// by separator. os decides whether the driver's list is 8-bit (Windows
// 95/98/Me family) or 16-bit text.
std::string CaptureAdapterNames(char separator,
                                platform::OsVersion& os = platform::DefaultOsVersion());

// Opens the adapter, sets its filter (promiscuous or directed only), checks
// its network type, and sets up the user buffer, the packet descriptor and
// the driver buffer. Returns null with error set to the failed step's
// message, having released whatever the earlier steps acquired; on success
// error is left untouched. A driver call that failed adds the system's
// error that it left, after a colon: Cannot Open Adapter "eth0": Operation
// not permitted.
TCaptureHandle* CaptureOpen(const std::string& adapter_name, int32_t snap_len, bool promiscuous,
                            std::string& error);

// Delivers up to count records (0: the whole batch) to handler, in order.
// With a driver that reads in place (PacketReceiveFrames, our Linux
// driver) the records come straight from the driver's ring, each with a
// header made for it that is not in front of its data, and every call asks
// the driver, which keeps its place; otherwise they come from the batch in
// the user buffer, as below.
// Continues the batch in hand where the previous call stopped; reads a new
// batch from the driver (waiting up to its read timeout) only when none is
// pending. Returns the number delivered, or -1 when the driver read failed
// (ErrorText then says so, with the system's error that the driver left,
// and the next call reads again). A record that is
// empty or runs past the end of the batch ends the batch. Each driver read
// sets the handle's Backlog.
int32_t CaptureRead(TCaptureHandle* handle, int32_t count, TCaptureRecordHandler handler,
                    void* user);

// The driver's frame counters for the adapter (see bpf_stat): false when
// the driver cannot say. Same thread rules as CaptureRead.
bool CaptureStats(TCaptureHandle* handle, bpf_stat& stats);

// Closes the adapter, releases the descriptor and the buffer, frees the
// handle and sets the variable to null. A null handle is ignored.
void CaptureClose(TCaptureHandle*& handle);

}  // namespace capture
