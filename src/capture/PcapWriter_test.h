// Test support: capture files written in memory, in the two formats the
// program reads (pcap and pcapng), for the unit tests, the benchmarks and the
// test tool pcap_write (tests/support), which the test scripts call. This is
// the one place in the tree that knows how the formats lay out their bytes: a
// test that needs a damaged file writes a sound one here and then cuts or
// changes its bytes, and a test that needs an unusual pcapng block frames its
// body with PcapNgWriter::Block.
//
// Writers append to a string. A caller writing a large file may move the
// bytes out (and clear them) between records; the header stays written.
// Standard headers only, so that a test script can compile the tool with the
// host's compiler where the tree is cross-built. Test-only: never linked into
// the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace capture::testing {

// Bytes of a frame or block body, from the byte containers the tests use.
struct ByteView {
  ByteView(std::string_view bytes) : data(bytes) {}
  ByteView(const std::string& bytes) : data(bytes) {}
  ByteView(const std::vector<uint8_t>& bytes)
      : data(reinterpret_cast<const char*>(bytes.data()), bytes.size()) {}
  std::string_view data;
};

// Numbers appended in one byte order.
class ByteWriter {
 public:
  explicit ByteWriter(bool big_endian = false) : big_endian_(big_endian) {}

  ByteWriter& U8(uint8_t v) {
    out_.push_back(char(v));
    return *this;
  }
  ByteWriter& U16(uint16_t v) {
    return big_endian_ ? U8(uint8_t(v >> 8)).U8(uint8_t(v)) : U8(uint8_t(v)).U8(uint8_t(v >> 8));
  }
  ByteWriter& U32(uint32_t v) {
    return big_endian_ ? U16(uint16_t(v >> 16)).U16(uint16_t(v))
                       : U16(uint16_t(v)).U16(uint16_t(v >> 16));
  }
  ByteWriter& Raw(ByteView bytes) {
    out_.append(bytes.data);
    return *this;
  }
  // Zero bytes up to a multiple of four.
  ByteWriter& Pad4() {
    out_.resize((out_.size() + 3) & ~size_t(3), '\0');
    return *this;
  }

  bool big_endian() const { return big_endian_; }
  std::string& bytes() { return out_; }

 private:
  bool big_endian_;
  std::string out_;
};

// How a pcap file is written: byte order, time-stamp units, link type (1 is
// Ethernet) and snap length, all in its file header.
struct PcapFormat {
  bool big_endian = false;
  bool nanoseconds = false;  // otherwise microseconds
  uint32_t link_type = 1;
  uint32_t snap_length = 65535;
};

// A pcap file (version 2.4): the file header at construction, then one
// record per call.
class PcapWriter {
 public:
  explicit PcapWriter(const PcapFormat& format = {}) : out_(format.big_endian) {
    out_.U32(format.nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4)
        .U16(2)
        .U16(4)
        .U32(0)  // time zone
        .U32(0)  // accuracy
        .U32(format.snap_length)
        .U32(format.link_type);
  }

  // A record of the frame as captured: its time stamp (the fraction in the
  // file's units, written as given even where it is a second or more) and
  // its length on the wire (by default, as captured).
  PcapWriter& Record(uint32_t seconds, uint32_t fraction, ByteView frame,
                     std::optional<uint32_t> wire_length = std::nullopt) {
    const uint32_t captured = uint32_t(frame.data.size());
    out_.U32(seconds).U32(fraction).U32(captured).U32(wire_length.value_or(captured)).Raw(frame);
    return *this;
  }

  std::string& bytes() { return out_.bytes(); }

 private:
  ByteWriter out_;
};

// A pcapng option: code and value; the value is padded to four bytes.
struct PcapNgOption {
  uint16_t code;
  std::string value;
};

// A pcapng file, one section (of one byte order) per writer; a file of
// several sections is the writers' bytes one after the other. Nothing is
// written at construction: a test may write blocks without a section
// header.
class PcapNgWriter {
 public:
  static constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
  static constexpr uint32_t kInterfaceDescription = 1;
  static constexpr uint32_t kSimplePacket = 3;
  static constexpr uint32_t kNameResolution = 4;
  static constexpr uint32_t kEnhancedPacket = 6;
  static constexpr uint64_t kUnknownLength = ~uint64_t(0);

  explicit PcapNgWriter(bool big_endian = false) : out_(big_endian) {}

  // A block body in the section's byte order, for Block.
  ByteWriter Body() const { return ByteWriter(out_.big_endian()); }

  // A block: type, total length, the body padded to four bytes, total
  // length again.
  PcapNgWriter& Block(uint32_t type, ByteView body) {
    const uint32_t total = uint32_t(12 + ((body.data.size() + 3) & ~size_t(3)));
    out_.U32(type).U32(total).Raw(body).Pad4().U32(total);
    return *this;
  }
  PcapNgWriter& Block(uint32_t type, ByteWriter& body) { return Block(type, body.bytes()); }

  // The section header: byte-order magic, version 1.0, the section's length.
  PcapNgWriter& Section(uint64_t length = kUnknownLength) {
    ByteWriter body = Body();
    body.U32(0x1A2B3C4D).U16(1).U16(0).U32(uint32_t(length >> 32)).U32(uint32_t(length));
    return Block(kSectionHeader, body);
  }

  // An interface description with snap length 0 (no limit). Without options
  // the block has no option list; with a list (even an empty one), its
  // options and the end-of-options mark.
  PcapNgWriter& Interface(uint16_t link_type = 1,
                          const std::optional<std::vector<PcapNgOption>>& options = std::nullopt) {
    ByteWriter body = Body();
    body.U16(link_type).U16(0).U32(0);
    if (options) {
      for (const PcapNgOption& o : *options) {
        body.U16(o.code).U16(uint16_t(o.value.size())).Raw(o.value).Pad4();
      }
      body.U16(0).U16(0);
    }
    return Block(kInterfaceDescription, body);
  }

  // An enhanced packet: interface number, time stamp in the interface's
  // units, the frame as captured and its length on the wire (by default, as
  // captured).
  PcapNgWriter& EnhancedPacket(uint32_t interface, uint64_t timestamp, ByteView frame,
                               std::optional<uint32_t> wire_length = std::nullopt) {
    const uint32_t captured = uint32_t(frame.data.size());
    ByteWriter body = Body();
    body.U32(interface)
        .U32(uint32_t(timestamp >> 32))
        .U32(uint32_t(timestamp))
        .U32(captured)
        .U32(wire_length.value_or(captured))
        .Raw(frame);
    return Block(kEnhancedPacket, body);
  }

  // A simple packet: the length on the wire (by default, the frame's), the
  // frame.
  PcapNgWriter& SimplePacket(ByteView frame, std::optional<uint32_t> wire_length = std::nullopt) {
    ByteWriter body = Body();
    body.U32(wire_length.value_or(uint32_t(frame.data.size()))).Raw(frame);
    return Block(kSimplePacket, body);
  }

  std::string& bytes() { return out_.bytes(); }

 private:
  ByteWriter out_;
};

// A little-endian pcap file with one Ethernet frame per record, each at
// 1.000000 seconds.
inline std::string Pcap(const std::vector<std::string>& frames) {
  PcapWriter pcap;
  for (const std::string& f : frames) pcap.Record(1, 0, f);
  return pcap.bytes();
}

// A little-endian pcapng file: section header, one Ethernet interface, one
// enhanced packet block per frame, each at 1 microsecond.
inline std::string PcapNg(const std::vector<std::string>& frames) {
  PcapNgWriter ng;
  ng.Section().Interface();
  for (const std::string& f : frames) ng.EnhancedPacket(0, 1, f);
  return ng.bytes();
}

// An ARP request over Ethernet, broadcast: the sender's MAC address (also
// the frame's source) and IPv4 address ask for the target address; zeros
// after the 42 bytes of headers up to length.
inline std::string ArpRequest(const uint8_t mac[6], uint32_t ip, uint32_t target,
                              size_t length = 42) {
  const std::string_view sender(reinterpret_cast<const char*>(mac), 6);
  ByteWriter f(true);
  f.Raw(std::string(6, '\xFF')).Raw(sender).U16(0x0806);
  f.U16(1).U16(0x0800).U8(6).U8(4).U16(1);  // Ethernet, IPv4, request
  f.Raw(sender).U32(ip).Raw(std::string(6, '\0')).U32(target);
  if (f.bytes().size() < length) f.bytes().resize(length, '\0');
  return f.bytes();
}

}  // namespace capture::testing
