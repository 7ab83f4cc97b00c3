#include "capture/CaptureFile.h"

#include <cstring>

namespace capture {

namespace {

// The largest frame a file may claim. Anything larger is a corrupt length,
// and refusing it keeps a bad file from asking for a huge allocation.
constexpr uint32_t kMaxFrameLength = 262144;

constexpr uint32_t kPcapMicro = 0xa1b2c3d4;
constexpr uint32_t kPcapNano = 0xa1b23c4d;
constexpr uint32_t kSectionHeader = 0x0a0d0d0a;
constexpr uint32_t kByteOrderMagic = 0x1a2b3c4d;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionTsResol = 9;
constexpr uint32_t kLinkTypeEthernet = 1;

uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

TCaptureFileReader::TCaptureFileReader(const std::string& path) : path_(path) {
  in_.open(path, std::ios::binary);
  if (!in_) Fail("cannot be opened");
  in_.seekg(0, std::ios::end);
  const auto end = in_.tellg();
  in_.seekg(0, std::ios::beg);
  if (end < 0 || !in_) Fail("cannot be read");
  size_ = uint64_t(end);

  uint8_t first[8];
  if (!ReadBytes(first, 4)) Fail("too short for a capture file header");
  const uint32_t magic = Le32(first);
  if (magic == kSectionHeader) {
    if (!ReadBytes(first + 4, 4)) Fail("truncated section header block");
    ReadSectionHeader(first);
  } else {
    ReadPcapHeader(first);
  }
}

void TCaptureFileReader::Fail(const std::string& what) const {
  throw ECaptureFileError(rtl::Format("Capture file \"%s\": %s", path_.c_str(), what.c_str()));
}

bool TCaptureFileReader::ReadBytes(void* out, size_t count) {
  if (count == 0) return true;
  in_.read(static_cast<char*>(out), std::streamsize(count));
  if (size_t(in_.gcount()) != count) {
    if (in_.bad()) Fail("read error");
    offset_ += uint64_t(in_.gcount());
    return false;
  }
  offset_ += count;
  return true;
}

uint16_t TCaptureFileReader::Get16(const uint8_t* p) const {
  return swapped_ ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[0] | p[1] << 8);
}

uint32_t TCaptureFileReader::Get32(const uint8_t* p) const {
  return swapped_ ? Swap32(Le32(p)) : Le32(p);
}

uint64_t TCaptureFileReader::Remaining() { return offset_ <= size_ ? size_ - offset_ : 0; }

void TCaptureFileReader::SetTimestamp(TCaptureFrame& frame, uint64_t units,
                                      uint64_t per_second) const {
  frame.Seconds = int64_t(units / per_second);
  const unsigned __int128 fraction = units % per_second;
  frame.Nanoseconds = uint32_t(fraction * 1000000000u / per_second);
}

// Classic pcap: a 24-byte file header, then 16-byte record headers each
// followed by the captured bytes.
void TCaptureFileReader::ReadPcapHeader(const uint8_t* magic_bytes) {
  const uint32_t magic = Le32(magic_bytes);
  if (magic == kPcapMicro || magic == kPcapNano) {
    swapped_ = false;
  } else if (Swap32(magic) == kPcapMicro || Swap32(magic) == kPcapNano) {
    swapped_ = true;
  } else {
    Fail(rtl::Format("bad magic number 0x%08x: neither pcap nor pcapng", unsigned(magic)));
  }
  nanoseconds_ = (swapped_ ? Swap32(magic) : magic) == kPcapNano;
  format_ = Format::Pcap;

  uint8_t rest[20];
  if (!ReadBytes(rest, sizeof rest)) Fail("truncated file header");
  const uint32_t link_type = Get32(rest + 16) & 0xffff;  // the upper bits carry FCS flags
  if (link_type != kLinkTypeEthernet) {
    Fail(rtl::Format("unsupported link type %u (only Ethernet, 1, is read)", unsigned(link_type)));
  }
}

bool TCaptureFileReader::NextPcap(TCaptureFrame& frame) {
  uint8_t header[16];
  const uint64_t record_at = offset_;
  if (!ReadBytes(header, sizeof header)) {
    if (offset_ == record_at) return false;  // clean end between records
    Fail(rtl::Format("truncated record header at byte %llu", (unsigned long long)record_at));
  }
  const uint32_t captured = Get32(header + 8);
  if (captured > kMaxFrameLength) {
    Fail(rtl::Format("record at byte %llu claims %u captured bytes", (unsigned long long)record_at,
                     unsigned(captured)));
  }
  if (captured > Remaining()) {
    Fail(rtl::Format("truncated record at byte %llu: %u bytes announced, %llu present",
                     (unsigned long long)record_at, unsigned(captured),
                     (unsigned long long)Remaining()));
  }
  frame.Bytes.resize(captured);
  if (!ReadBytes(frame.Bytes.data(), captured)) {
    Fail(rtl::Format("truncated record at byte %llu", (unsigned long long)record_at));
  }
  frame.CapturedLength = captured;
  frame.WireLength = Get32(header + 12);
  const uint64_t per_second = nanoseconds_ ? 1000000000u : 1000000u;
  const uint32_t fraction = Get32(header + 4);
  if (fraction >= per_second) {
    Fail(rtl::Format("record at byte %llu has a timestamp fraction out of range",
                     (unsigned long long)record_at));
  }
  SetTimestamp(frame, uint64_t(Get32(header)) * per_second + fraction, per_second);
  return true;
}

// pcapng section header: the byte-order magic decides how every later
// number of the section is read. first8 holds block type and total length.
void TCaptureFileReader::ReadSectionHeader(const uint8_t* first8) {
  const uint64_t block_at = offset_ - 8;
  uint8_t bom[4];
  if (!ReadBytes(bom, sizeof bom)) Fail("truncated section header block");
  const uint32_t order = Le32(bom);
  if (order == kByteOrderMagic) {
    swapped_ = false;
  } else if (Swap32(order) == kByteOrderMagic) {
    swapped_ = true;
  } else {
    Fail(rtl::Format("bad byte-order magic 0x%08x in section header at byte %llu", unsigned(order),
                     (unsigned long long)block_at));
  }
  format_ = Format::PcapNg;
  interfaces_.clear();

  const uint32_t total = Get32(first8 + 4);
  if (total < 28 || total % 4 != 0) {
    Fail(rtl::Format("bad section header length %u", unsigned(total)));
  }
  if (total - 12 > Remaining()) Fail("truncated section header block");
  std::vector<uint8_t> rest(total - 12);
  if (!ReadBytes(rest.data(), rest.size())) Fail("truncated section header block");
  const uint16_t major = Get16(rest.data());
  if (major != 1) Fail(rtl::Format("unsupported pcapng version %u", unsigned(major)));
  if (Get32(rest.data() + rest.size() - 4) != total) {
    Fail(rtl::Format("block lengths disagree in section header at byte %llu",
                     (unsigned long long)block_at));
  }
}

void TCaptureFileReader::ReadInterfaceDescription(const std::vector<uint8_t>& body) {
  if (body.size() < 8) Fail("truncated interface description block");
  const uint16_t link_type = Get16(body.data());
  if (link_type != kLinkTypeEthernet) {
    Fail(rtl::Format("unsupported link type %u on interface %u (only Ethernet, 1, is read)",
                     unsigned(link_type), unsigned(interfaces_.size())));
  }
  Interface itf;
  itf.SnapLength = Get32(body.data() + 4);
  size_t at = 8;
  while (at + 4 <= body.size()) {
    const uint16_t code = Get16(body.data() + at);
    const uint16_t length = Get16(body.data() + at + 2);
    at += 4;
    if (code == kOptionEnd) break;
    if (length > body.size() - at) Fail("interface description option runs past its block");
    if (code == kOptionTsResol && length >= 1) {
      const uint8_t resol = body[at];
      const unsigned exponent = resol & 0x7f;
      if (resol & 0x80) {
        if (exponent > 63) Fail("timestamp resolution out of range");
        itf.UnitsPerSecond = uint64_t(1) << exponent;
      } else {
        if (exponent > 19) Fail("timestamp resolution out of range");
        itf.UnitsPerSecond = 1;
        for (unsigned i = 0; i < exponent; ++i) itf.UnitsPerSecond *= 10;
      }
    }
    at += (length + 3u) & ~3u;
  }
  interfaces_.push_back(itf);
}

bool TCaptureFileReader::NextPcapNg(TCaptureFrame& frame) {
  for (;;) {
    const uint64_t block_at = offset_;
    uint8_t head[8];
    if (!ReadBytes(head, sizeof head)) {
      if (offset_ == block_at) return false;
      Fail(rtl::Format("truncated block header at byte %llu", (unsigned long long)block_at));
    }
    if (Le32(head) == kSectionHeader) {
      ReadSectionHeader(head);
      continue;
    }
    const uint32_t type = Get32(head);
    const uint32_t total = Get32(head + 4);
    if (total < 12 || total % 4 != 0) {
      Fail(rtl::Format("bad block length %u at byte %llu", unsigned(total),
                       (unsigned long long)block_at));
    }
    if (total - 8 > Remaining()) {
      Fail(rtl::Format("truncated block at byte %llu: %u bytes announced",
                       (unsigned long long)block_at, unsigned(total)));
    }
    std::vector<uint8_t> body(total - 12);
    uint8_t trailer[4];
    if (!ReadBytes(body.data(), body.size()) || !ReadBytes(trailer, sizeof trailer)) {
      Fail(rtl::Format("truncated block at byte %llu", (unsigned long long)block_at));
    }
    if (Get32(trailer) != total) {
      Fail(rtl::Format("block lengths disagree at byte %llu", (unsigned long long)block_at));
    }

    if (type == kInterfaceDescription) {
      ReadInterfaceDescription(body);
    } else if (type == kEnhancedPacket) {
      if (body.size() < 20)
        Fail(rtl::Format("truncated enhanced packet block at byte %llu",
                         (unsigned long long)block_at));
      const uint32_t itf = Get32(body.data());
      if (itf >= interfaces_.size()) {
        Fail(rtl::Format("packet at byte %llu names undescribed interface %u",
                         (unsigned long long)block_at, unsigned(itf)));
      }
      const uint32_t captured = Get32(body.data() + 12);
      if (captured > kMaxFrameLength || captured > body.size() - 20) {
        Fail(rtl::Format("enhanced packet block at byte %llu: captured length %u exceeds its block",
                         (unsigned long long)block_at, unsigned(captured)));
      }
      frame.Bytes.assign(body.begin() + 20, body.begin() + 20 + captured);
      frame.CapturedLength = captured;
      frame.WireLength = Get32(body.data() + 16);
      const uint64_t units = uint64_t(Get32(body.data() + 4)) << 32 | Get32(body.data() + 8);
      SetTimestamp(frame, units, interfaces_[itf].UnitsPerSecond);
      return true;
    } else if (type == kSimplePacket) {
      if (body.size() < 4)
        Fail(rtl::Format("truncated simple packet block at byte %llu",
                         (unsigned long long)block_at));
      if (interfaces_.empty()) {
        Fail(rtl::Format("simple packet block at byte %llu before any interface description",
                         (unsigned long long)block_at));
      }
      // The captured length is implied: the wire length, cut to the
      // interface's snapshot length and to what the block holds.
      const uint32_t wire = Get32(body.data());
      uint64_t captured = wire;
      const uint32_t snap = interfaces_[0].SnapLength;
      if (snap != 0 && captured > snap) captured = snap;
      if (captured > body.size() - 4) captured = body.size() - 4;
      if (captured > kMaxFrameLength) captured = kMaxFrameLength;
      frame.Bytes.assign(body.begin() + 4, body.begin() + 4 + std::ptrdiff_t(captured));
      frame.CapturedLength = uint32_t(captured);
      frame.WireLength = wire;
      frame.Seconds = 0;
      frame.Nanoseconds = 0;
      return true;
    }
    // Any other block (statistics, name resolution, custom...) is skipped.
  }
}

bool TCaptureFileReader::Next(TCaptureFrame& frame) {
  return format_ == Format::Pcap ? NextPcap(frame) : NextPcapNg(frame);
}

std::vector<TCaptureFrame> ReadCaptureFile(const std::string& path) {
  TCaptureFileReader reader(path);
  std::vector<TCaptureFrame> frames;
  TCaptureFrame frame;
  while (reader.Next(frame)) frames.push_back(frame);
  return frames;
}

}  // namespace capture
