// The ARP table file, through the watch's own loader and the platform's
// text reader. Whatever the file holds, the registry keeps its invariants,
// and the table the watch writes back loads into the same IpIndex and is
// written again byte for byte (save, load, save is a fixed point); what it
// loads is what the text-list registry loads from the same lines.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "platform/Files.h"
#include "watch/TextRegistry_test.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::FakeWatch* fakes = new fuzz::FakeWatch;
  fakes->parts.Clear();
  auto t = fakes->NewWatch();
  fuzz::WriteWholeFile(t->TablePath(), std::string_view(reinterpret_cast<const char*>(data), size));
  t->LoadTable();
  fuzz::CheckRegistry(*t);
  {
    // The same lines, read as LoadTable reads them (from where it kept
    // them, when it found damage), leaving out the pairs no frame or table
    // could give.
    watch::testing::TextRegistry reference;
    platform::FileSystem& files = platform::DefaultFileSystem();
    const std::string kept =
        files.FileExists(t->TablePath()) ? t->TablePath() : t->DamagedTablePath();
    auto file = files.OpenTextFile(kept);
    std::string ip, line;
    try {
      while (file->ReadLine(ip)) {
        if (!file->ReadLine(line)) line.clear();
        if (rtl::Trim(line).size() + 1 > platform::kMaxTextLine) break;
        if (!watch::IsTableText(ip) || !watch::IsTableText(line)) continue;
        reference.Load(ip, line);
      }
    } catch (...) {
    }
    FUZZ_CHECK(t->Registry()->TableText() == reference.TableText(),
               "the text-list registry's table");
  }
  FUZZ_CHECK(fakes->parts.Sents().empty(), "a load sends no report");
  // No more pairs than the file has lines (CR LF, LF or a lone CR ends one).
  size_t lines = 0;
  for (size_t i = 0; i < size; ++i) {
    lines += data[i] == '\n' || (data[i] == '\r' && (i + 1 == size || data[i + 1] != '\n'));
  }
  FUZZ_CHECK(static_cast<size_t>(t->Registry()->AddressCount()) <= lines / 2 + 1,
             "pairs from lines");
  fuzz::CheckSaveLoadSave(*t, *fakes);
  return 0;
}
