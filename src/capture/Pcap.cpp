#include "capture/Pcap.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <vector>

#include "capture/Ndis_def.h"
#include "platform/SystemError.h"
#include "platform/Text.h"

namespace capture {
namespace {

constexpr size_t kNameBufferBytes = 40960;
constexpr uint32_t kNameBufferChars = 20480;
constexpr size_t kOpenNameBytes = 2048;
// A record's header fields end here; a record shorter than this cannot be read.
constexpr size_t kRecordFieldsEnd = offsetof(bpf_hdr, bh_hdrlen) + sizeof(uint16_t);
// A batch that leaves less room than this at the end of the user buffer
// filled it: the record of a full-size frame (header, 1514 bytes, a VLAN
// tag, padding) would not have fitted, so the driver has more waiting.
constexpr uint32_t kFullBatchRoom = 2048;

void SetErrorText(TCaptureHandle* h, const char* text) {
  std::memset(h->ErrorText, 0, sizeof(h->ErrorText));
  std::strncpy(h->ErrorText, text, sizeof(h->ErrorText) - 1);
}

// Releases what CaptureOpen or the handle's life acquired, in reverse.
void Release(TCaptureHandle* h) {
  if (h->Adapter) {
    PacketDriver.PacketCloseAdapter(h->Adapter);
    h->Adapter = nullptr;
  }
  if (h->Packet) {
    PacketDriver.PacketFreePacket(h->Packet);
    h->Packet = nullptr;
  }
  delete[] h->Buffer;
  h->Buffer = nullptr;
  delete h;
}

// A failed driver call's message: the step's own text, then the system's
// error that the call left, when it left one. Read before anything else
// calls the driver.
std::string WithCause(std::string message) {
  const std::string cause = platform::LibraryErrorText();
  if (!cause.empty()) message += ": " + cause;
  return message;
}

// A read in place: the caller's handler and count, what was delivered, and
// an exception the handler raised, carried past the driver.
struct InPlaceRead {
  TCaptureRecordHandler handler;
  void* user;
  int32_t count;
  int32_t delivered;
  std::exception_ptr raised;
};

BOOLEAN DeliverInPlace(void* context, const bpf_hdr* record, const uint8_t* data) {
  auto* read = static_cast<InPlaceRead*>(context);
  try {
    read->handler(read->user, record, data);
  } catch (...) {
    // No exception may cross the driver: it stops, and the read raises this
    // once the driver has returned.
    read->raised = std::current_exception();
    ++read->delivered;
    return 0;
  }
  ++read->delivered;
  return read->count <= 0 || read->delivered < read->count ? 1 : 0;
}

// CaptureRead through the driver's read in place: no batch is ever pending
// in the user buffer; the driver keeps its place in its ring instead.
int32_t ReadInPlace(TCaptureHandle* h, int32_t count, TCaptureRecordHandler handler, void* user) {
  InPlaceRead read{handler, user, count, 0, nullptr};
  BOOLEAN backlog = 0;
  platform::ClearLibraryError();
  if (!PacketDriver.PacketReceiveFrames(h->Adapter, 1, &DeliverInPlace, &read, &backlog)) {
    h->Backlog = false;
    SetErrorText(h, WithCause("Read Error: PacketRecievePacket failed").c_str());
    return -1;
  }
  h->Backlog = backlog != 0;
  if (read.raised) std::rethrow_exception(read.raised);
  return read.delivered;
}

TCaptureHandle* Fail(TCaptureHandle* h, std::string& error, std::string message) {
  error = std::move(message);
  Release(h);
  return nullptr;
}

}  // namespace

std::string CaptureAdapterNames(char separator, platform::OsVersion& os) {
  platform::OsVersionInfo info;
  const bool eight_bit =
      os.GetVersionExA(info) && info.PlatformId == platform::kPlatformWin32Windows;

  // Held as 16-bit units so that the 16-bit walk reads aligned characters.
  std::vector<char16_t> storage(kNameBufferBytes / sizeof(char16_t), 0);
  char* buffer = reinterpret_cast<char*>(storage.data());
  uint32_t size = kNameBufferChars;
  PacketDriver.PacketGetAdapterNames(buffer, &size);

  if (eight_bit) {
    const size_t limit = std::min<size_t>(size, kNameBufferBytes);
    for (size_t i = 0; i < limit; ++i) {
      if (buffer[i] == '\0') {
        // The end of the buffer counts as the list's closing NUL.
        if (i + 1 >= kNameBufferBytes || buffer[i + 1] == '\0') break;
        buffer[i] = separator;
      } else if (buffer[i] == ' ') {
        buffer[i] = separator;
      }
    }
    return std::string(buffer, strnlen(buffer, kNameBufferBytes));
  }

  char16_t* wide = storage.data();
  constexpr size_t kChars = kNameBufferBytes / sizeof(char16_t);
  const size_t limit = std::min<size_t>(size, kChars);
  for (size_t i = 0; i < limit; ++i) {
    if (wide[i] == 0 && i + 1 < kChars && wide[i + 1] != 0) {
      wide[i] = static_cast<unsigned char>(separator);
    }
  }
  size_t n = 0;
  while (n < kChars && wide[n] != 0) ++n;
  return platform::WideToAnsi(std::u16string_view(wide, n));
}

TCaptureHandle* CaptureOpen(const std::string& adapter_name, int32_t snap_len, bool promiscuous,
                            std::string& error) {
  auto* h = new (std::nothrow) TCaptureHandle{};
  if (!h) {
    error = "Cannot allocate pcap object";
    return nullptr;
  }

  {
    char name[kOpenNameBytes] = {};
    std::memcpy(name, adapter_name.data(), std::min(adapter_name.size(), kOpenNameBytes - 1));
    platform::ClearLibraryError();
    h->Adapter = PacketDriver.PacketOpenAdapter(name);
  }
  if (!h->Adapter) return Fail(h, error, WithCause("Cannot Open Adapter \"" + adapter_name + "\""));

  platform::ClearLibraryError();
  if (promiscuous) {
    if (!PacketDriver.PacketSetHwFilter(h->Adapter, NDIS_PACKET_TYPE_PROMISCUOUS))
      return Fail(h, error, WithCause("Cannot set Device Filter to Promiscuous mode"));
  } else {
    if (!PacketDriver.PacketSetHwFilter(h->Adapter, NDIS_PACKET_TYPE_DIRECTED))
      return Fail(h, error, WithCause("Cannot set Device Filter to Directed mode"));
  }

  NetType type{};
  platform::ClearLibraryError();
  if (!PacketDriver.PacketGetNetType(h->Adapter, &type))
    return Fail(h, error, WithCause("Cannot determine network type and speed"));

  h->BufferSize = kCaptureBufferSize;
  h->Buffer = new (std::nothrow) uint8_t[kCaptureBufferSize];
  if (!h->Buffer) return Fail(h, error, "Cannot allocate Link Header space");

  h->SnapLen = snap_len;

  platform::ClearLibraryError();
  h->Packet = PacketDriver.PacketAllocatePacket();
  if (!h->Packet) return Fail(h, error, WithCause("Cannot allocate Global Packet Object"));
  PacketDriver.PacketInitPacket(h->Packet, h->Buffer, static_cast<uint32_t>(h->BufferSize));

  platform::ClearLibraryError();
  if (!PacketDriver.PacketSetBuff(h->Adapter, kDriverBufferSize))
    return Fail(h, error, WithCause("Not enough memory to allocate Driver buffer"));

  return h;
}

int32_t CaptureRead(TCaptureHandle* h, int32_t count, TCaptureRecordHandler handler, void* user) {
  if (PacketDriver.PacketReceiveFrames && h->BytesLeft == 0) {
    return ReadInPlace(h, count, handler, user);
  }
  const uint8_t* pos;
  const uint8_t* end;
  if (h->BytesLeft == 0) {
    platform::ClearLibraryError();
    if (!PacketDriver.PacketReceivePacket(h->Adapter, h->Packet, 1)) {
      h->Backlog = false;
      SetErrorText(h, WithCause("Read Error: PacketRecievePacket failed").c_str());
      return -1;
    }
    // A count beyond the buffer is the driver's error; never walk past it.
    const uint32_t received =
        std::min<uint32_t>(h->Packet->ulBytesReceived, static_cast<uint32_t>(h->BufferSize));
    h->Backlog = uint64_t{received} + kFullBatchRoom > static_cast<uint32_t>(h->BufferSize);
    pos = h->Buffer;
    end = h->Buffer + received;
  } else {
    pos = h->ResumePosition;
    end = pos + h->BytesLeft;
  }

  int32_t delivered = 0;
  while (pos < end) {
    const size_t room = static_cast<size_t>(end - pos);
    if (room < kRecordFieldsEnd) break;
    const auto* record = reinterpret_cast<const bpf_hdr*>(pos);
    const uint64_t span = uint64_t{record->bh_hdrlen} + record->bh_caplen;
    // An empty record would never advance; a record running past the batch
    // cannot be delivered whole. Either ends the batch.
    if (span == 0 || span > room) break;
    handler(user, record, pos + record->bh_hdrlen);
    ++delivered;
    // span fits the batch here, so it fits 32 bits with room to align.
    const uint32_t step = BPF_WORDALIGN(static_cast<uint32_t>(span));
    pos = step >= room ? end : pos + step;
    if (count > 0 && delivered >= count) {
      if (pos < end) {
        h->ResumePosition = const_cast<uint8_t*>(pos);
        h->BytesLeft = static_cast<int32_t>(end - pos);
      } else {
        h->ResumePosition = nullptr;
        h->BytesLeft = 0;
      }
      return delivered;
    }
  }
  h->ResumePosition = nullptr;
  h->BytesLeft = 0;
  return delivered;
}

bool CaptureStats(TCaptureHandle* h, bpf_stat& stats) {
  stats = bpf_stat{};
  return h && h->Adapter && PacketDriver.PacketGetStats(h->Adapter, &stats) != 0;
}

void CaptureClose(TCaptureHandle*& handle) {
  if (!handle) return;
  Release(handle);
  handle = nullptr;
}

}  // namespace capture
