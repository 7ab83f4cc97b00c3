#include "capture/CaptureFile.h"

#include <algorithm>
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
constexpr size_t kPcapFileHeader = 24;
constexpr size_t kPcapRecordHeader = 16;

uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

unsigned long long Ull(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

uint16_t TCaptureFileReader::Get16(const uint8_t* p) const {
  const uint16_t v = uint16_t(p[0] | p[1] << 8);
  return swapped_ ? uint16_t(v << 8 | v >> 8) : v;
}

uint32_t TCaptureFileReader::Get32(const uint8_t* p) const {
  const uint32_t v = Le32(p);
  return swapped_ ? Swap32(v) : v;
}

TCaptureFileReader::TCaptureFileReader(const std::string& path) : name_(path) {
  try {
    input_ = platform::OpenInputFile(path);
  } catch (const rtl::Exception& e) {
    throw ECaptureFileError(rtl::Format("Capture file \"%s\": cannot be opened: %s", path.c_str(),
                                        e.Message().c_str()));
  }
  Open();
}

TCaptureFileReader::TCaptureFileReader(std::unique_ptr<platform::InputStream> input)
    : input_(std::move(input)), name_(input_->Name()) {
  Open();
}

TCaptureFileReader::~TCaptureFileReader() = default;

void TCaptureFileReader::Open() {
  buffer_.reset(new uint8_t[kFirstBufferSize]);
  capacity_ = kFirstBufferSize;
  if (Want(4) < 4) Fail(0, "too short for a capture file header");
  if (Le32(Cursor()) == kSectionHeader) {
    ReadSectionHeader(0);
    // Every interface described before the first packet must be one this
    // reader takes.
    try {
      NextBlock(nullptr);
    } catch (const ECaptureFileError& e) {
      // A section past the interface bound is a damaged file of a format
      // this reader takes: no frame, and the damage says where.
      if (!interface_bound_hit_) throw;
      EndAt(e);
    }
  } else {
    ReadPcapHeader();
  }
}

void TCaptureFileReader::Fail(uint64_t at, const std::string& what) {
  fail_at_ = at;
  // Input cut short by a failed read: the read's failure is the cause.
  const std::string fault =
      read_error_.empty() ? what : rtl::Format("%s at byte %llu", read_error_.c_str(), Ull(at));
  throw ECaptureFileError(rtl::Format("Capture file \"%s\": %s", name_.c_str(), fault.c_str()));
}

size_t TCaptureFileReader::Refill(size_t count) {
  size_t have = end_ - begin_;
  if (input_ended_) return have;
  // The buffer grows, up to kBufferSize, for a piece larger than it and
  // when the input filled it: a large file is read in large pieces, a small
  // one never takes the whole size.
  if ((count > capacity_ || end_ == capacity_) && capacity_ < kBufferSize) {
    const size_t grown = std::min(kBufferSize, std::max(count, 2 * capacity_));
    std::unique_ptr<uint8_t[]> larger(new uint8_t[grown]);
    std::memcpy(larger.get(), buffer_.get() + begin_, have);
    buffer_ = std::move(larger);
    capacity_ = grown;
    consumed_ += begin_;
    begin_ = 0;
    end_ = have;
  }
  // What is left moves to the front; the rest of the buffer is filled.
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, have);
    consumed_ += begin_;
    begin_ = 0;
    end_ = have;
  }
  while (end_ < count && !input_ended_) {
    size_t n = 0;
    try {
      n = input_->Read(buffer_.get() + end_, capacity_ - end_);
    } catch (const rtl::Exception& e) {
      read_error_ = e.Message();
    }
    if (n == 0) input_ended_ = true;
    end_ += n;
  }
  return end_ - begin_;
}

bool TCaptureFileReader::Skip(uint64_t count) {
  while (count > 0) {
    const size_t have = Want(1);
    if (have == 0) return false;
    const size_t n = size_t(std::min<uint64_t>(have, count));
    Consume(n);
    count -= n;
  }
  return true;
}

void TCaptureFileReader::SetTimestamp(TCaptureFrameView& frame, uint64_t units,
                                      uint64_t per_second) {
  frame.Seconds = int64_t(units / per_second);
  const uint64_t fraction = units % per_second;
  // fraction * 10^9 fits 64 bits below 2^34.
  frame.Nanoseconds = fraction < (uint64_t{1} << 34)
                          ? uint32_t(fraction * 1000000000u / per_second)
                          : uint32_t((unsigned __int128)fraction * 1000000000u / per_second);
}

// Classic pcap: a 24-byte file header, then 16-byte record headers each
// followed by the captured bytes.
void TCaptureFileReader::ReadPcapHeader() {
  const uint32_t magic = Le32(Cursor());
  if (magic == kPcapMicro || magic == kPcapNano) {
    swapped_ = false;
  } else if (Swap32(magic) == kPcapMicro || Swap32(magic) == kPcapNano) {
    swapped_ = true;
  } else {
    Fail(0, rtl::Format("bad magic number 0x%08x: neither pcap nor pcapng", unsigned(magic)));
  }
  nanoseconds_ = (swapped_ ? Swap32(magic) : magic) == kPcapNano;
  format_ = Format::Pcap;

  if (Want(kPcapFileHeader) < kPcapFileHeader) Fail(0, "truncated file header");
  const uint32_t link_type = Get32(Cursor() + 20) & 0xffff;  // the upper bits carry FCS flags
  if (link_type != kLinkTypeEthernet) {
    Fail(0,
         rtl::Format("unsupported link type %u (only Ethernet, 1, is read)", unsigned(link_type)));
  }
  Consume(kPcapFileHeader);
}

bool TCaptureFileReader::NextPcap(TCaptureFrameView& frame) {
  const uint64_t at = Offset();
  size_t have = Want(kPcapRecordHeader);
  if (have == 0) {
    if (!read_error_.empty()) Fail(at, "");
    return false;  // clean end between records
  }
  if (have < kPcapRecordHeader) {
    Fail(at, rtl::Format("truncated record header at byte %llu", Ull(at)));
  }
  const uint8_t* header = Cursor();
  const uint32_t captured = Get32(header + 8);
  if (captured > kMaxFrameLength) {
    Fail(at,
         rtl::Format("record at byte %llu claims %u captured bytes", Ull(at), unsigned(captured)));
  }
  const size_t total = kPcapRecordHeader + captured;
  have = Want(total);
  if (have < total) {
    Fail(at, rtl::Format("truncated record at byte %llu: %u bytes announced, %llu present", Ull(at),
                         unsigned(captured), Ull(have - kPcapRecordHeader)));
  }
  header = Cursor();  // the buffer may have moved
  frame.Bytes = header + kPcapRecordHeader;
  frame.CapturedLength = captured;
  frame.WireLength = Get32(header + 12);
  // Some writers put a whole second into the fraction (1,000,000 at a
  // second's end); any fraction is taken, the excess carried into the
  // seconds. Only the lengths decide whether a record is damaged.
  SetTimestamp(
      frame, uint64_t(Get32(header)) * (nanoseconds_ ? 1000000000u : 1000000u) + Get32(header + 4),
      nanoseconds_ ? 1000000000u : 1000000u);
  Consume(total);
  return true;
}

// pcapng section header at byte at (the cursor): the byte-order magic
// decides how every later number of the section is read.
void TCaptureFileReader::ReadSectionHeader(uint64_t at) {
  if (Want(12) < 12) Fail(at, rtl::Format("truncated section header block at byte %llu", Ull(at)));
  const uint32_t order = Le32(Cursor() + 8);
  if (order == kByteOrderMagic) {
    swapped_ = false;
  } else if (Swap32(order) == kByteOrderMagic) {
    swapped_ = true;
  } else {
    Fail(at, rtl::Format("bad byte-order magic 0x%08x in section header at byte %llu",
                         unsigned(order), Ull(at)));
  }
  format_ = Format::PcapNg;
  interfaces_.clear();

  const uint32_t total = Get32(Cursor() + 4);
  if (total < 28 || total % 4 != 0 || total > kBufferSize) {
    Fail(at, rtl::Format("bad section header length %u at byte %llu", unsigned(total), Ull(at)));
  }
  if (Want(total) < total) {
    Fail(at, rtl::Format("truncated section header block at byte %llu", Ull(at)));
  }
  const uint8_t* block = Cursor();
  const uint16_t major = Get16(block + 12);
  if (major != 1) {
    Fail(at, rtl::Format("unsupported pcapng version %u at byte %llu", unsigned(major), Ull(at)));
  }
  if (Get32(block + total - 4) != total) {
    Fail(at, rtl::Format("block lengths disagree in section header at byte %llu", Ull(at)));
  }
  Consume(total);
}

void TCaptureFileReader::ReadInterfaceDescription(uint64_t at, const uint8_t* body, size_t size) {
  if (size < 8) {
    Fail(at, rtl::Format("truncated interface description block at byte %llu", Ull(at)));
  }
  const uint16_t link_type = Get16(body);
  if (link_type != kLinkTypeEthernet) {
    Fail(at,
         rtl::Format(
             "unsupported link type %u on interface %u at byte %llu (only Ethernet, 1, is read)",
             unsigned(link_type), unsigned(interfaces_.size()), Ull(at)));
  }
  if (interfaces_.size() >= kMaxInterfaces) {
    interface_bound_hit_ = true;
    Fail(at, rtl::Format("more than %u interface description blocks in one section at byte %llu",
                         unsigned(kMaxInterfaces), Ull(at)));
  }
  Interface itf;
  itf.SnapLength = Get32(body + 4);
  size_t pos = 8;
  while (pos + 4 <= size) {
    const uint16_t code = Get16(body + pos);
    const uint16_t length = Get16(body + pos + 2);
    pos += 4;
    if (code == kOptionEnd) break;
    if (length > size - pos) {
      Fail(at,
           rtl::Format("interface description option runs past its block at byte %llu", Ull(at)));
    }
    if (code == kOptionTsResol && length >= 1) {
      const uint8_t resol = body[pos];
      const unsigned exponent = resol & 0x7f;
      if (resol & 0x80 ? exponent > 63 : exponent > 19) {
        Fail(at, rtl::Format("timestamp resolution out of range at byte %llu", Ull(at)));
      }
      if (resol & 0x80) {
        itf.UnitsPerSecond = uint64_t(1) << exponent;
      } else {
        itf.UnitsPerSecond = 1;
        for (unsigned i = 0; i < exponent; ++i) itf.UnitsPerSecond *= 10;
      }
    }
    pos += (length + 3u) & ~3u;
  }
  interfaces_.push_back(itf);
}

bool TCaptureFileReader::NextBlock(TCaptureFrameView* frame) {
  for (;;) {
    const uint64_t at = Offset();
    const size_t have = Want(8);
    if (have == 0) {
      if (!read_error_.empty()) Fail(at, "");
      return false;
    }
    if (have < 8) Fail(at, rtl::Format("truncated block header at byte %llu", Ull(at)));
    if (Le32(Cursor()) == kSectionHeader) {
      ReadSectionHeader(at);
      continue;
    }
    const uint32_t type = Get32(Cursor());
    const uint32_t total = Get32(Cursor() + 4);
    if (total < 12 || total % 4 != 0) {
      Fail(at, rtl::Format("bad block length %u at byte %llu", unsigned(total), Ull(at)));
    }
    const bool packet = type == kEnhancedPacket || type == kSimplePacket;
    if (packet && !frame) return false;
    if (total > kBufferSize) {
      if (packet || type == kInterfaceDescription) {
        Fail(at,
             rtl::Format("block at byte %llu is too large: %u bytes", Ull(at), unsigned(total)));
      }
      // A large block of another kind is passed over as it streams by.
      if (!Skip(total - 4) || Want(4) < 4) {
        Fail(at, rtl::Format("truncated block at byte %llu: %u bytes announced", Ull(at),
                             unsigned(total)));
      }
      if (Get32(Cursor()) != total) {
        Fail(at, rtl::Format("block lengths disagree at byte %llu", Ull(at)));
      }
      Consume(4);
      continue;
    }
    if (Want(total) < total) {
      Fail(at, rtl::Format("truncated block at byte %llu: %u bytes announced", Ull(at),
                           unsigned(total)));
    }
    const uint8_t* block = Cursor();
    if (Get32(block + total - 4) != total) {
      Fail(at, rtl::Format("block lengths disagree at byte %llu", Ull(at)));
    }
    const uint8_t* body = block + 8;
    const size_t size = total - 12;

    if (type == kInterfaceDescription) {
      ReadInterfaceDescription(at, body, size);
    } else if (type == kEnhancedPacket) {
      if (size < 20) {
        Fail(at, rtl::Format("truncated enhanced packet block at byte %llu", Ull(at)));
      }
      const uint32_t itf = Get32(body);
      if (itf >= interfaces_.size()) {
        Fail(at, rtl::Format("packet at byte %llu names undescribed interface %u", Ull(at),
                             unsigned(itf)));
      }
      const uint32_t captured = Get32(body + 12);
      if (captured > kMaxFrameLength || captured > size - 20) {
        Fail(at,
             rtl::Format("enhanced packet block at byte %llu: captured length %u exceeds its block",
                         Ull(at), unsigned(captured)));
      }
      frame->Bytes = body + 20;
      frame->CapturedLength = captured;
      frame->WireLength = Get32(body + 16);
      const uint64_t units = uint64_t(Get32(body + 4)) << 32 | Get32(body + 8);
      SetTimestamp(*frame, units, interfaces_[itf].UnitsPerSecond);
      Consume(total);
      return true;
    } else if (type == kSimplePacket) {
      if (size < 4) {
        Fail(at, rtl::Format("truncated simple packet block at byte %llu", Ull(at)));
      }
      if (interfaces_.empty()) {
        Fail(at, rtl::Format("simple packet block at byte %llu before any interface description",
                             Ull(at)));
      }
      // The captured length is implied: the wire length, cut to the
      // interface's snapshot length and to what the block holds.
      const uint32_t wire = Get32(body);
      uint64_t captured = wire;
      const uint32_t snap = interfaces_[0].SnapLength;
      if (snap != 0 && captured > snap) captured = snap;
      if (captured > size - 4) captured = size - 4;
      if (captured > kMaxFrameLength) captured = kMaxFrameLength;
      frame->Bytes = body + 4;
      frame->CapturedLength = uint32_t(captured);
      frame->WireLength = wire;
      frame->Seconds = 0;
      frame->Nanoseconds = 0;
      Consume(total);
      return true;
    }
    // Any other block (statistics, name resolution, custom...) is skipped.
    Consume(total);
  }
}

bool TCaptureFileReader::Next(TCaptureFrameView& frame) {
  if (finished_) return false;
  try {
    if (format_ == Format::Pcap ? NextPcap(frame) : NextBlock(&frame)) {
      ++frames_;
      return true;
    }
  } catch (const ECaptureFileError& e) {
    EndAt(e);
    return false;
  }
  // The input is not read again: it is closed now, not when the reader
  // goes.
  finished_ = true;
  input_.reset();
  buffer_.reset();
  return false;
}

void TCaptureFileReader::EndAt(const ECaptureFileError& e) {
  damaged_ = true;
  damage_offset_ = fail_at_;
  damage_ = e.Message();
  finished_ = true;
  input_.reset();
  buffer_.reset();
}

void TCaptureFrameView::CopyTo(TCaptureFrame& frame) const {
  frame.Bytes.assign(Bytes, Bytes + CapturedLength);
  frame.CapturedLength = CapturedLength;
  frame.WireLength = WireLength;
  frame.Seconds = Seconds;
  frame.Nanoseconds = Nanoseconds;
}

bool TCaptureFileReader::Next(TCaptureFrame& frame) {
  TCaptureFrameView view;
  if (!Next(view)) return false;
  view.CopyTo(frame);
  return true;
}

std::vector<TCaptureFrame> ReadCaptureFile(const std::string& path) {
  TCaptureFileReader reader(path);
  std::vector<TCaptureFrame> frames;
  TCaptureFrame frame;
  while (reader.Next(frame)) frames.push_back(frame);
  if (reader.Damaged()) throw ECaptureFileError(reader.Damage());
  return frames;
}

}  // namespace capture
