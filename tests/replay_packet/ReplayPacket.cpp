// A test capture driver: Packet.dll with the fifteen driver entry points,
// serving the frames of a capture file as the batches of one adapter, so
// that the Windows program runs end to end with no capture driver
// installed. Built for tests only, never shipped.
//
// The capture file is named in "Packet.replay", a text file beside this
// library (the service is started by the service manager, so nothing of
// the test's environment reaches it). Its first line is the capture file's
// path, absolute or relative to the library's folder. Optional later lines:
//   hold <n> <ms>   frames from number n (counting from 1) on are served
//                   only once ms milliseconds have passed since the first
//                   read; lets a test space its reports out in time. Any
//                   number of these lines may be given.
//
// Each frame is served once, in file order, as a record with the capture
// header in front, records 4-byte aligned. Once the frames are exhausted
// (or held back) a read sleeps the read timeout and returns no bytes.
// Problems are written with OutputDebugStringA (WINEDEBUG=+debugstr).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"
#include "capture/Packet32.h"
#include "capture/bpf.h"

using capture::BOOLEAN;
using capture::LPADAPTER;
using capture::LPPACKET;
using capture::NetType;
using capture::PACKET;

namespace {

const char kAdapterName[] = "\\Device\\NPF_{7E55A1E0-0000-4000-8000-00000000BEEF}";

struct Adapter {
  std::vector<capture::TCaptureFrame> frames;
  size_t next = 0;
  struct Hold {
    size_t from;  // index of the first frame held
    ULONGLONG ms;
  };
  std::vector<Hold> holds;
  ULONGLONG first_read = 0;  // GetTickCount64 at the first read, 0 before
  int32_t timeout_ms = 1000;
};

void Log(const std::string& text) {
  OutputDebugStringA(("replay Packet.dll: " + text + "\n").c_str());
}

std::string LibraryFolder() {
  HMODULE self = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&LibraryFolder), &self);
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
  std::string folder(path, n);
  const size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

bool IsAbsolute(const std::string& p) {
  return (p.size() >= 2 && p[1] == ':') || (!p.empty() && (p[0] == '\\' || p[0] == '/'));
}

// Reads Packet.replay and the capture file it names. False when either
// is missing or malformed.
bool LoadReplay(Adapter& adapter) {
  const std::string folder = LibraryFolder();
  std::ifstream control(folder + "Packet.replay");
  std::string file;
  if (!control || !std::getline(control, file)) {
    Log("cannot read " + folder + "Packet.replay");
    return false;
  }
  while (!file.empty() && (file.back() == '\r' || file.back() == ' ')) file.pop_back();
  if (!IsAbsolute(file)) file = folder + file;
  std::string line;
  while (std::getline(control, line)) {
    unsigned long n = 0, ms = 0;
    if (std::sscanf(line.c_str(), "hold %lu %lu", &n, &ms) == 2 && n >= 1) {
      adapter.holds.push_back({size_t(n - 1), ULONGLONG(ms)});
    }
  }
  try {
    adapter.frames = capture::ReadCaptureFile(file);
  } catch (const capture::ECaptureFileError& e) {
    Log(e.Message());
    return false;
  }
  return true;
}

bool Held(const Adapter& a) {
  const ULONGLONG elapsed = GetTickCount64() - a.first_read;
  for (const auto& h : a.holds) {
    if (a.next >= h.from && elapsed < h.ms) return true;
  }
  return false;
}

}  // namespace

extern "C" {

// The one adapter's name in 16-bit characters, ended by a NUL, the list by
// a second NUL. size is in and out: the buffer's size in bytes, then the
// characters written.
__declspec(dllexport) BOOLEAN PacketGetAdapterNames(char* buffer, uint32_t* size) {
  const size_t chars = sizeof kAdapterName + 1;  // the name, its NUL, the list's NUL
  if (buffer == nullptr || size == nullptr || *size < chars * sizeof(wchar_t)) {
    if (size != nullptr) *size = uint32_t(chars * sizeof(wchar_t));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* out = reinterpret_cast<uint16_t*>(buffer);
  for (size_t i = 0; i < sizeof kAdapterName; ++i) out[i] = uint8_t(kAdapterName[i]);
  out[sizeof kAdapterName] = 0;
  *size = uint32_t(chars);
  return TRUE;
}

__declspec(dllexport) LPADAPTER PacketOpenAdapter(char* name) {
  if (name == nullptr || std::strcmp(name, kAdapterName) != 0) {
    Log(std::string("no adapter named ") + (name ? name : "(null)"));
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  auto* adapter = new Adapter;
  if (!LoadReplay(*adapter)) {
    delete adapter;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return adapter;
}

__declspec(dllexport) void PacketCloseAdapter(LPADAPTER adapter) {
  delete static_cast<Adapter*>(adapter);
}

__declspec(dllexport) LPPACKET PacketAllocatePacket() { return new PACKET{}; }

__declspec(dllexport) void PacketInitPacket(LPPACKET packet, void* buffer, uint32_t length) {
  packet->Buffer = buffer;
  packet->Length = length;
  packet->ulBytesReceived = 0;
  packet->bIoComplete = 0;
}

__declspec(dllexport) void PacketFreePacket(LPPACKET packet) { delete packet; }

// Fills the packet's buffer with as many of the remaining frames as fit.
// With nothing to serve it sleeps the read timeout and returns no bytes.
__declspec(dllexport) BOOLEAN PacketReceivePacket(LPADAPTER handle, LPPACKET packet, BOOLEAN) {
  if (handle == nullptr || packet == nullptr || packet->Buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& a = *static_cast<Adapter*>(handle);
  if (a.first_read == 0) a.first_read = GetTickCount64();
  auto* out = static_cast<uint8_t*>(packet->Buffer);
  const uint32_t hdrlen = sizeof(capture::bpf_hdr);
  uint32_t used = 0;
  while (a.next < a.frames.size() && !Held(a)) {
    const auto& f = a.frames[a.next];
    uint32_t caplen = f.CapturedLength;
    const uint32_t room = packet->Length - used;
    if (room < hdrlen + caplen) {
      // A frame larger than the whole buffer is cut to fit; otherwise it
      // waits for the next read.
      if (used != 0 || room <= hdrlen) break;
      caplen = room - hdrlen;
    }
    capture::bpf_hdr h{};
    h.bh_tstamp.tv_sec = int32_t(f.Seconds);
    h.bh_tstamp.tv_usec = int32_t(f.Nanoseconds / 1000);
    h.bh_caplen = caplen;
    h.bh_datalen = f.WireLength;
    h.bh_hdrlen = uint16_t(hdrlen);
    std::memcpy(out + used, &h, sizeof h);
    std::memcpy(out + used + hdrlen, f.Bytes.data(), caplen);
    const uint32_t end = used + hdrlen + caplen;
    const uint32_t aligned = capture::BPF_WORDALIGN(end);
    // Padding up to the next record stays zero and counts as received.
    if (aligned <= packet->Length) {
      std::memset(out + end, 0, aligned - end);
      used = aligned;
    } else {
      used = end;
    }
    ++a.next;
  }
  if (used == 0 && a.timeout_ms >= 0) Sleep(a.timeout_ms == 0 ? 1000 : DWORD(a.timeout_ms));
  packet->ulBytesReceived = used;
  packet->bIoComplete = 1;
  return TRUE;
}

__declspec(dllexport) BOOLEAN PacketSendPacket(LPADAPTER, LPPACKET, BOOLEAN) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

__declspec(dllexport) BOOLEAN PacketSetHwFilter(LPADAPTER adapter, uint32_t) {
  return adapter != nullptr;
}

__declspec(dllexport) BOOLEAN PacketRequest(LPADAPTER, BOOLEAN, void*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

__declspec(dllexport) BOOLEAN PacketSetBuff(LPADAPTER adapter, int32_t bytes) {
  return adapter != nullptr && bytes > 0;
}

__declspec(dllexport) BOOLEAN PacketSetBpf(LPADAPTER, void*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

__declspec(dllexport) BOOLEAN PacketGetStats(LPADAPTER, void*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// Ethernet (NdisMedium802_3), 100 Mbit/s in units of 100 bit/s.
__declspec(dllexport) BOOLEAN PacketGetNetType(LPADAPTER adapter, NetType* type) {
  if (adapter == nullptr || type == nullptr) return FALSE;
  type->LinkType = 0;
  type->LinkSpeed = 1000000;
  return TRUE;
}

__declspec(dllexport) BOOLEAN PacketSetReadTimeout(LPADAPTER adapter, int32_t milliseconds) {
  if (adapter == nullptr) return FALSE;
  static_cast<Adapter*>(adapter)->timeout_ms = milliseconds;
  return TRUE;
}

}  // extern "C"
