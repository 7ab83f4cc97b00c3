// Reader of saved capture files: the classic pcap format (either byte order,
// microsecond or nanosecond timestamps) and pcapng (either byte order;
// section header, interface description with its timestamp resolution,
// enhanced and simple packet blocks; every other block is skipped). Only
// Ethernet link types are accepted. The program's replay mode and the test
// capture driver read their frames through it.
//
// A reader owns its open file and is used by one thread at a time.
// Malformed or unreadable input raises ECaptureFileError, whose message
// names the file and what is wrong with it.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "rtl/SysUtils.h"

namespace capture {

using rtl::Exception;
RTL_DECLARE_EXCEPTION(ECaptureFileError, Exception);

// One frame as the file holds it.
struct TCaptureFrame {
  std::vector<uint8_t> Bytes;   // the captured bytes, starting at the Ethernet header
  uint32_t CapturedLength = 0;  // Bytes.size()
  uint32_t WireLength = 0;      // the frame's length on the wire
  int64_t Seconds = 0;          // timestamp, seconds since 1970-01-01 UTC
  uint32_t Nanoseconds = 0;     // and the fraction of that second
};

class TCaptureFileReader {
 public:
  // Opens the file and reads its file or section header.
  explicit TCaptureFileReader(const std::string& path);

  // Reads the next frame in file order into frame. Returns false at the
  // clean end of the file.
  bool Next(TCaptureFrame& frame);

  const std::string& FileName() const { return path_; }

 private:
  enum class Format { Pcap, PcapNg };
  struct Interface {
    uint32_t SnapLength = 0;
    uint64_t UnitsPerSecond = 1000000;  // 10^6 unless if_tsresol says otherwise
  };

  [[noreturn]] void Fail(const std::string& what) const;
  // Reads exactly count bytes or returns false when the file ends first.
  bool ReadBytes(void* out, size_t count);
  uint16_t Get16(const uint8_t* p) const;
  uint32_t Get32(const uint8_t* p) const;
  uint64_t Remaining();

  void ReadPcapHeader(const uint8_t* magic);
  bool NextPcap(TCaptureFrame& frame);
  void ReadSectionHeader(const uint8_t* first8);
  void ReadInterfaceDescription(const std::vector<uint8_t>& body);
  bool NextPcapNg(TCaptureFrame& frame);
  void SetTimestamp(TCaptureFrame& frame, uint64_t units, uint64_t per_second) const;

  std::string path_;
  std::ifstream in_;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;  // bytes consumed so far
  Format format_ = Format::Pcap;
  bool swapped_ = false;  // the file's byte order differs from little endian
  bool nanoseconds_ = false;
  std::vector<Interface> interfaces_;
};

// Every frame of the file, in file order.
std::vector<TCaptureFrame> ReadCaptureFile(const std::string& path);

}  // namespace capture
