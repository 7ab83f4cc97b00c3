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

#include "capture/PcapWriter_test.h"

namespace capture {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::PcapFormat;
using testing::PcapNgOption;
using testing::PcapNgWriter;
using testing::PcapWriter;

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
std::string Pcap(bool be, bool nano, uint32_t link = 1, int64_t second_fraction = -1) {
  PcapWriter w(PcapFormat{.big_endian = be, .nanoseconds = nano, .link_type = link});
  w.Record(1700000000, nano ? 123456789 : 123456, kFrameA, 60);
  if (second_fraction < 0) second_fraction = nano ? 5 : 999999;
  w.Record(1700000001, uint32_t(second_fraction), kFrameB);
  return w.bytes();
}

// Section, interface (with its time resolution option unless tsresol is -1),
// a name resolution block (skipped), an enhanced packet of frame A and a
// simple packet of frame B.
std::string PcapNg(bool be, int tsresol /* -1: option absent */, uint16_t link = 1) {
  PcapNgWriter w(be);
  std::vector<PcapNgOption> options;
  if (tsresol >= 0) options.push_back({9, std::string(1, char(tsresol))});
  w.Section(PcapNgWriter::kUnknownLength).Interface(link, options);
  w.Block(PcapNgWriter::kNameResolution, w.Body().U16(0).U16(0));
  // 1700000000.5 seconds in the interface's units.
  uint64_t units = 1700000000ull * 1000000 + 500000;
  if (tsresol == 9) units = 1700000000ull * 1000000000 + 500000000;
  if (tsresol == 0x8a) units = (1700000000ull << 10) + 512;
  w.EnhancedPacket(0, units, kFrameA, 60).SimplePacket(kFrameB);
  return w.bytes();
}

class CaptureFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string path = ::testing::TempDir() + "capturefile_" + info->name() + "_" +
                       std::to_string(counter_++) + ".cap";
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
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
    std::string file;
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
  std::string header = Pcap(false, false);
  header.resize(24);
  TCaptureFileReader reader(Write(header));
  TCaptureFrame frame;
  EXPECT_FALSE(reader.Next(frame));
}

// A second section may switch the byte order; its interfaces start afresh,
// so each section may hold as many as the bound allows.
TEST_F(CaptureFileTest, PcapNgSecondSectionInOtherByteOrder) {
  PcapNgWriter idbs;
  for (size_t i = 1; i < TCaptureFileReader::kMaxInterfaces; ++i) idbs.Interface();
  const std::string file = PcapNg(false, -1) + idbs.bytes() + PcapNg(true, 9);
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
  std::string cut_record = Pcap(false, false);
  cut_record.resize(cut_record.size() - 10);
  std::string cut_record_header = Pcap(true, false);
  cut_record_header.resize(24 + 16 + 42 + 7);
  std::string cut_file_header = Pcap(false, true);
  cut_file_header.resize(20);
  std::string huge_record = Pcap(false, false);
  huge_record[24 + 8 + 3] = 0x7f;  // captured length 0x7f00002a
  const std::string ng = PcapNg(false, -1);
  const size_t ng_spb = ng.size() - 80;  // the simple packet block, the last one
  std::string cut_block = ng;
  cut_block.resize(cut_block.size() - 6);
  std::string length_mismatch = PcapNg(true, -1);
  length_mismatch[length_mismatch.size() - 1] ^= 0x04;
  std::string bad_bom = PcapNg(false, -1);
  bad_bom[8] = 0x00;
  std::string cut_idb = ng;
  cut_idb.resize(28 + 10);
  PcapNgWriter no_idb;
  no_idb.Section(0).EnhancedPacket(0, 0, std::string(4, '\0'));
  // A second interface, not Ethernet, described after the first packets.
  const std::string late_idb = ng + PcapNgWriter().Interface(6).bytes();
  // One interface description more than a section may hold, before the
  // first packet and after it.
  const size_t kBound = TCaptureFileReader::kMaxInterfaces;
  PcapNgWriter idbs;
  for (size_t i = 0; i < kBound; ++i) idbs.Interface();
  const std::string idb_flood = ng.substr(0, 28) /* the section header */ + idbs.bytes() +
                                PcapNgWriter().Interface().bytes() /* the one too many */ +
                                ng.substr(28);
  const std::string late_idb_flood = ng /* holds one already */ + idbs.bytes();
  // Garbage after good blocks: a block length that is not a multiple of 4.
  std::string garbage = ng;
  for (uint8_t b : {0x06, 0, 0, 0, 0x0d, 0, 0, 0, 0xde, 0xad}) garbage.push_back(char(b));

  struct Case {
    const char* name;
    std::string file;
    size_t frames;  // handed out before the fault; SIZE_MAX: raised at open
    uint64_t at;    // the byte offset named
    const char* fault;
  };
  constexpr size_t kAtOpen = SIZE_MAX;
  const Case cases[] = {
      {"empty file", {}, kAtOpen, 0, "too short"},
      {"bad magic", std::string("GIF89a\0\0", 8), kAtOpen, 0, "bad magic number"},
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
      {"pcapng packet without interface", no_idb.bytes(), 0, 28, "undescribed interface 0"},
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
  PieceStream(std::string bytes, size_t fail_after = SIZE_MAX)
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
  std::string bytes_;
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
  PcapWriter pcap;
  PcapNgWriter ng(true);
  ng.Section(0).Interface();
  for (uint32_t i = 0; i < kFrames; ++i) {
    pcap.Record(i, 0, frame(i));
    ng.EnhancedPacket(0, i, frame(i));
    if (i == 10) ng.Block(0x40000bad, std::string(1 << 20, '\xcd'));           // custom, 1 MB
    if (i == kFrames / 2) ng.Block(0x40000bad, std::string(5 << 20, '\xab'));  // custom, 5 MB
  }
  for (std::string* file : {&pcap.bytes(), &ng.bytes()}) {
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
  const std::string file = Pcap(false, false);
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
