#include "capture/CaptureFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace capture {
namespace {

using Bytes = std::vector<uint8_t>;

// Writes numbers in a chosen byte order.
struct Writer {
  bool big_endian;
  Bytes out;

  Writer& u8(uint8_t v) {
    out.push_back(v);
    return *this;
  }
  Writer& u16(uint16_t v) {
    if (big_endian) return u8(v >> 8).u8(v & 0xff);
    return u8(v & 0xff).u8(v >> 8);
  }
  Writer& u32(uint32_t v) {
    if (big_endian) return u16(v >> 16).u16(v & 0xffff);
    return u16(v & 0xffff).u16(v >> 16);
  }
  Writer& raw(const Bytes& b) {
    out.insert(out.end(), b.begin(), b.end());
    return *this;
  }
  Writer& pad4() {
    while (out.size() % 4) out.push_back(0);
    return *this;
  }
};

// A 42-byte ARP frame and a 61-byte frame, distinct in every byte.
Bytes Frame(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i);
  return b;
}
const Bytes kFrameA = Frame(42, 0x10);
const Bytes kFrameB = Frame(61, 0x80);

// second_fraction: the second record's timestamp fraction, in the file's
// units; by default one short of a second for microseconds.
Bytes Pcap(bool be, bool nano, uint32_t link = 1, int64_t second_fraction = -1) {
  Writer w{be, {}};
  w.u32(nano ? 0xa1b23c4d : 0xa1b2c3d4).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(link);
  w.u32(1700000000).u32(nano ? 123456789 : 123456).u32(42).u32(60).raw(kFrameA);
  if (second_fraction < 0) second_fraction = nano ? 5 : 999999;
  w.u32(1700000001).u32(uint32_t(second_fraction)).u32(61).u32(61).raw(kFrameB);
  return w.out;
}

// A pcapng block: type, total length, body padded to 4, total length.
void Block(Writer& w, uint32_t type, const Bytes& body) {
  const uint32_t total = uint32_t(12 + ((body.size() + 3) & ~size_t(3)));
  w.u32(type).u32(total).raw(body).pad4().u32(total);
}

Bytes PcapNg(bool be, int tsresol /* -1: option absent */, uint16_t link = 1) {
  Writer w{be, {}};
  Writer shb{be, {}};
  shb.u32(0x1a2b3c4d).u16(1).u16(0).u32(0xffffffff).u32(0xffffffff);
  Block(w, 0x0a0d0d0a, shb.out);
  Writer idb{be, {}};
  idb.u16(link).u16(0).u32(0);
  if (tsresol >= 0) idb.u16(9).u16(1).u8(uint8_t(tsresol)).pad4();
  idb.u16(0).u16(0);
  Block(w, 1, idb.out);
  Writer nrb{be, {}};  // name resolution block: skipped
  nrb.u16(0).u16(0);
  Block(w, 4, nrb.out);
  Writer epb{be, {}};
  // 1700000000.5 seconds in the interface's units.
  uint64_t units = 1700000000ull * 1000000 + 500000;
  if (tsresol == 9) units = 1700000000ull * 1000000000 + 500000000;
  if (tsresol == 0x8a) units = (1700000000ull << 10) + 512;
  epb.u32(0).u32(uint32_t(units >> 32)).u32(uint32_t(units)).u32(42).u32(60).raw(kFrameA).pad4();
  Block(w, 6, epb.out);
  Writer spb{be, {}};
  spb.u32(61).raw(kFrameB).pad4();
  Block(w, 3, spb.out);
  return w.out;
}

class CaptureFileTest : public ::testing::Test {
 protected:
  std::string Write(const Bytes& content) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string path = ::testing::TempDir() + "capturefile_" + info->name() + "_" +
                       std::to_string(counter_++) + ".cap";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    written_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const auto& p : written_) std::remove(p.c_str());
  }

 private:
  int counter_ = 0;
  std::vector<std::string> written_;
};

TEST_F(CaptureFileTest, ReadsEveryFormatAndByteOrder) {
  struct Case {
    const char* name;
    Bytes file;
    uint32_t first_wire;
    uint32_t first_nanos;
    uint32_t second_nanos;  // pcapng simple packets carry no timestamp
    int64_t second_seconds;
  };
  const Case cases[] = {
      {"pcap little endian, microseconds", Pcap(false, false), 60, 123456000, 999999000,
       1700000001},
      {"pcap big endian, microseconds", Pcap(true, false), 60, 123456000, 999999000, 1700000001},
      {"pcap little endian, nanoseconds", Pcap(false, true), 60, 123456789, 5, 1700000001},
      {"pcap big endian, nanoseconds", Pcap(true, true), 60, 123456789, 5, 1700000001},
      // Fractions of a second or more, as some writers leave at a second's
      // end: the excess is carried into the seconds, the record is whole.
      {"pcap, a full second of microseconds", Pcap(false, false, 1, 1000000), 60, 123456000, 0,
       1700000002},
      {"pcap, the largest microsecond fraction", Pcap(true, false, 1, 0xffffffff), 60, 123456000,
       967295000, 1700004295},
      {"pcap, the largest nanosecond fraction", Pcap(false, true, 1, 0xffffffff), 60, 123456789,
       294967295, 1700000005},
      {"pcapng little endian, default resolution", PcapNg(false, -1), 60, 500000000, 0, 0},
      {"pcapng big endian, nanosecond resolution", PcapNg(true, 9), 60, 500000000, 0, 0},
      {"pcapng little endian, 2^-10 resolution", PcapNg(false, 0x8a), 60, 500000000, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto frames = ReadCaptureFile(Write(c.file));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Bytes, kFrameA);
    EXPECT_EQ(frames[0].CapturedLength, 42u);
    EXPECT_EQ(frames[0].WireLength, c.first_wire);
    EXPECT_EQ(frames[0].Seconds, 1700000000);
    EXPECT_EQ(frames[0].Nanoseconds, c.first_nanos);
    EXPECT_EQ(frames[1].Bytes, kFrameB);
    EXPECT_EQ(frames[1].CapturedLength, 61u);
    EXPECT_EQ(frames[1].WireLength, 61u);
    EXPECT_EQ(frames[1].Seconds, c.second_seconds);
    EXPECT_EQ(frames[1].Nanoseconds, c.second_nanos);
  }
}

TEST_F(CaptureFileTest, HeaderOnlyFileHasNoFrames) {
  Bytes header = Pcap(false, false);
  header.resize(24);
  TCaptureFileReader reader(Write(header));
  TCaptureFrame frame;
  EXPECT_FALSE(reader.Next(frame));
}

// A second section may switch the byte order; its interfaces start afresh,
// so each section may hold as many as the bound allows.
TEST_F(CaptureFileTest, PcapNgSecondSectionInOtherByteOrder) {
  Bytes file = PcapNg(false, -1);
  Writer idbs{false, {}};
  for (size_t i = 1; i < TCaptureFileReader::kMaxInterfaces; ++i) {
    Block(idbs, 1, Writer{false, {}}.u16(1).u16(0).u32(0).out);
  }
  file.insert(file.end(), idbs.out.begin(), idbs.out.end());
  const Bytes second = PcapNg(true, 9);
  file.insert(file.end(), second.begin(), second.end());
  const auto frames = ReadCaptureFile(Write(file));
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[2].Bytes, kFrameA);
  EXPECT_EQ(frames[2].Seconds, 1700000000);
  EXPECT_EQ(frames[3].Bytes, kFrameB);
}

// A fault in the file header (or, for pcapng, in any block before the first
// packet) makes the file unreadable before a frame is handed out; a fault
// after that ends the frames there, and the reader says where and why.
TEST_F(CaptureFileTest, FaultsRaiseAtOpenOrEndTheFramesWhereTheyAre) {
  Bytes cut_record = Pcap(false, false);
  cut_record.resize(cut_record.size() - 10);
  Bytes cut_record_header = Pcap(true, false);
  cut_record_header.resize(24 + 16 + 42 + 7);
  Bytes cut_file_header = Pcap(false, true);
  cut_file_header.resize(20);
  Bytes huge_record = Pcap(false, false);
  huge_record[24 + 8 + 3] = 0x7f;  // captured length 0x7f00002a
  const Bytes ng = PcapNg(false, -1);
  const size_t ng_spb = ng.size() - 80;  // the simple packet block, the last one
  Bytes cut_block = ng;
  cut_block.resize(cut_block.size() - 6);
  Bytes length_mismatch = PcapNg(true, -1);
  length_mismatch[length_mismatch.size() - 1] ^= 0x04;
  Bytes bad_bom = PcapNg(false, -1);
  bad_bom[8] = 0x00;
  Bytes cut_idb = ng;
  cut_idb.resize(28 + 10);
  Writer no_idb{false, {}};
  Block(no_idb, 0x0a0d0d0a, Writer{false, {}}.u32(0x1a2b3c4d).u16(1).u16(0).u32(0).u32(0).out);
  Block(no_idb, 6, Writer{false, {}}.u32(0).u32(0).u32(0).u32(4).u32(4).u32(0).out);
  // A second interface, not Ethernet, described after the first packets.
  Bytes late_idb = ng;
  Writer tr{false, {}};
  Block(tr, 1, Writer{false, {}}.u16(6).u16(0).u32(0).out);
  late_idb.insert(late_idb.end(), tr.out.begin(), tr.out.end());
  // One interface description more than a section may hold, before the
  // first packet and after it.
  const size_t kBound = TCaptureFileReader::kMaxInterfaces;
  Writer idbs{false, {}};
  for (size_t i = 0; i < kBound; ++i) Block(idbs, 1, Writer{false, {}}.u16(1).u16(0).u32(0).out);
  Bytes idb_flood(ng.begin(), ng.begin() + 28);  // the section header
  idb_flood.insert(idb_flood.end(), idbs.out.begin(), idbs.out.end());
  Block(tr, 1, Writer{false, {}}.u16(1).u16(0).u32(0).out);  // the one too many
  idb_flood.insert(idb_flood.end(), tr.out.end() - 20, tr.out.end());
  idb_flood.insert(idb_flood.end(), ng.begin() + 28, ng.end());
  Bytes late_idb_flood = ng;  // holds one already
  late_idb_flood.insert(late_idb_flood.end(), idbs.out.begin(), idbs.out.end());
  // Garbage after good blocks: a block length that is not a multiple of 4.
  Bytes garbage = ng;
  for (uint8_t b : {0x06, 0, 0, 0, 0x0d, 0, 0, 0, 0xde, 0xad}) garbage.push_back(b);

  struct Case {
    const char* name;
    Bytes file;
    size_t frames;  // handed out before the fault; SIZE_MAX: raised at open
    uint64_t at;    // the byte offset named
    const char* fault;
  };
  constexpr size_t kAtOpen = SIZE_MAX;
  const Case cases[] = {
      {"empty file", {}, kAtOpen, 0, "too short"},
      {"bad magic", {'G', 'I', 'F', '8', '9', 'a', 0, 0}, kAtOpen, 0, "bad magic number"},
      {"truncated file header", cut_file_header, kAtOpen, 0, "truncated file header"},
      {"pcap link type", Pcap(false, false, 105), kAtOpen, 0, "unsupported link type 105"},
      {"pcapng link type", PcapNg(true, -1, 113), kAtOpen, 28, "unsupported link type 113"},
      {"pcapng byte-order magic", bad_bom, kAtOpen, 0, "bad byte-order magic"},
      {"pcapng cut interface block", cut_idb, kAtOpen, 28, "truncated block at byte 28"},
      {"truncated record", cut_record, 1, 82, "truncated record at byte 82: 61 bytes announced"},
      {"truncated record header", cut_record_header, 1, 82, "truncated record header at byte 82"},
      {"absurd captured length", huge_record, 0, 24, "claims 2130706474 captured bytes"},
      {"pcapng truncated block", cut_block, 1, ng_spb, "truncated block at byte"},
      {"pcapng length mismatch", length_mismatch, 1, ng_spb, "block lengths disagree"},
      {"pcapng packet without interface", no_idb.out, 0, 28, "undescribed interface 0"},
      {"pcapng later interface", late_idb, 2, ng.size(), "unsupported link type 6"},
      {"pcapng garbage after blocks", garbage, 2, ng.size(), "bad block length 13"},
      {"pcapng interface bound + 1", idb_flood, 0, 28 + kBound * 20,
       "more than 1024 interface description blocks in one section"},
      {"pcapng interface bound + 1 after packets", late_idb_flood, 2, ng.size() + (kBound - 1) * 20,
       "more than 1024 interface description blocks"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write(c.file);
    std::string message;
    if (c.frames == kAtOpen) {
      try {
        TCaptureFileReader reader(path);
        ADD_FAILURE() << "opened";
      } catch (const ECaptureFileError& e) {
        message = e.Message();
      }
    } else {
      TCaptureFileReader reader(path);
      TCaptureFrame frame;
      size_t n = 0;
      while (reader.Next(frame)) ++n;
      EXPECT_EQ(n, c.frames);
      EXPECT_EQ(reader.FrameCount(), c.frames);
      EXPECT_TRUE(reader.Damaged());
      EXPECT_EQ(reader.DamageOffset(), c.at);
      EXPECT_FALSE(reader.Next(frame)) << "the frames stay ended";
      message = reader.Damage();
      EXPECT_THAT(message,
                  ::testing::HasSubstr(rtl::Format("at byte %llu", (unsigned long long)c.at)));
      // The whole-file helper refuses what is damaged anywhere.
      EXPECT_THROW(ReadCaptureFile(path), ECaptureFileError);
    }
    EXPECT_THAT(message, ::testing::HasSubstr("\"" + path + "\""));
    EXPECT_THAT(message, ::testing::HasSubstr(c.fault));
  }
}

// Input served in small, uneven pieces, as a pipe serves it; it can fail
// once a given number of bytes has been read.
class PieceStream : public platform::InputStream {
 public:
  PieceStream(Bytes bytes, size_t fail_after = SIZE_MAX)
      : bytes_(std::move(bytes)), fail_after_(fail_after) {}
  size_t Read(void* buffer, size_t count) override {
    if (at_ >= fail_after_) throw rtl::EInOutError("read(-) failed: Input/output error");
    const size_t piece = 1 + (reads_++ * 7919) % 4093;  // 1 to 4093 bytes
    const size_t n = std::min({count, piece, bytes_.size() - at_, fail_after_ - at_});
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }
  const std::string& Name() const override { return name_; }

 private:
  Bytes bytes_;
  size_t fail_after_;
  size_t at_ = 0;
  size_t reads_ = 0;
  std::string name_ = "-";
};

// Far more bytes than the reader's buffer holds, in both formats, with a
// block larger than the buffer's first size (read whole) and one larger
// than its largest size (skipped): every frame comes out whole and in order
// however the input is cut into reads.
TEST_F(CaptureFileTest, StreamsFilesLargerThanItsBuffer) {
  constexpr uint32_t kFrames = 150000;  // 11 MB of pcap
  auto frame = [](uint32_t i) {
    Bytes b = Frame(60, uint8_t(i));
    std::memcpy(b.data(), &i, 4);
    return b;
  };
  Writer pcap{false, {}};
  pcap.u32(0xa1b2c3d4).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(1);
  Writer ng{true, {}};
  Block(ng, 0x0a0d0d0a, Writer{true, {}}.u32(0x1a2b3c4d).u16(1).u16(0).u32(0).u32(0).out);
  Block(ng, 1, Writer{true, {}}.u16(1).u16(0).u32(0).out);
  for (uint32_t i = 0; i < kFrames; ++i) {
    pcap.u32(i).u32(0).u32(60).u32(60).raw(frame(i));
    Block(ng, 6, Writer{true, {}}.u32(0).u32(0).u32(i).u32(60).u32(60).raw(frame(i)).out);
    if (i == 10) Block(ng, 0x40000bad, Bytes(1 << 20, 0xcd));           // custom, 1 MB
    if (i == kFrames / 2) Block(ng, 0x40000bad, Bytes(5 << 20, 0xab));  // custom, 5 MB
  }
  for (Bytes* file : {&pcap.out, &ng.out}) {
    TCaptureFileReader reader(std::make_unique<PieceStream>(*file));
    TCaptureFrameView view;
    uint32_t n = 0;
    bool same = true;
    while (reader.Next(view)) {
      const Bytes want = frame(n);
      same = same && view.CapturedLength == 60 && std::equal(want.begin(), want.end(), view.Bytes);
      ++n;
    }
    EXPECT_TRUE(same);
    EXPECT_EQ(n, kFrames);
    EXPECT_FALSE(reader.Damaged()) << reader.Damage();
  }
}

// A failed read ends the frames like a cut file, with the read's failure.
TEST_F(CaptureFileTest, ReadErrorEndsTheFramesWithItsCause) {
  const Bytes file = Pcap(false, false);
  TCaptureFileReader reader(std::make_unique<PieceStream>(file, 24 + 16 + 42 + 5));
  TCaptureFrame frame;
  EXPECT_TRUE(reader.Next(frame));
  EXPECT_FALSE(reader.Next(frame));
  EXPECT_TRUE(reader.Damaged());
  EXPECT_EQ(reader.DamageOffset(), 82u);
  EXPECT_EQ(reader.Damage(), "Capture file \"-\": read(-) failed: Input/output error at byte 82");
}

TEST_F(CaptureFileTest, MissingFileRaises) {
  const std::string path = ::testing::TempDir() + "capturefile_does_not_exist.pcap";
  try {
    TCaptureFileReader reader(path);
    ADD_FAILURE() << "no error raised";
  } catch (const ECaptureFileError& e) {
    EXPECT_THAT(e.Message(),
                ::testing::StartsWith("Capture file \"" + path + "\": cannot be opened: "));
  }
}

}  // namespace
}  // namespace capture
