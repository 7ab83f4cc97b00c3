// What the fuzz targets share: a check that aborts with a message (libFuzzer
// then keeps the input as a crash), a private scratch folder on a memory
// file system where there is one, and a watch on the shared test fakes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "watch/WatchFakes_test.h"
#include "watch/ethread.h"

// Unlike assert(), also checks in release builds.
#define FUZZ_CHECK(cond, what)                                                                 \
  do {                                                                                         \
    if (!(cond)) {                                                                             \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #cond, what); \
      std::abort();                                                                            \
    }                                                                                          \
  } while (0)

namespace fuzz {

// A folder of this process's own, with a trailing slash; removed at exit.
inline const std::string& ScratchDirectory() {
  static const std::string dir = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tessalin-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) std::abort();
    static std::string made(buffer.data());
    std::atexit([] {
      std::string command = "rm -rf '" + made + "'";
      if (std::system(command.c_str()) != 0) {
      }
    });
    return made + "/";
  }();
  return dir;
}

inline void WriteWholeFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  FUZZ_CHECK(out.good(), path.c_str());
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A watch with the shared test fakes for its parts, clock, registry and
// event log, and the real file system in the scratch folder.
struct FakeWatch {
  watch::testing::FakeParts parts;
  watch::testing::FakeClock clock;
  watch::testing::FakeRegistry registry;
  watch::testing::FakeEvents events;

  // A watch thread (never started) with an empty registry and a sender, as
  // the start-up leaves them before the table load; no report sender runs,
  // so reports go out at once.
  std::unique_ptr<watch::TEthThread> NewWatch() {
    watch::WatchEnvironment env;
    env.parts = &parts;
    env.clock = &clock;
    env.registry = &registry;
    env.events = &events;
    env.data_directory = ScratchDirectory();
    auto t = std::make_unique<watch::TEthThread>(true, env);
    t->SysLog = parts.CreateSysLog();
    t->StartupSent = true;
    t->Registry = std::make_unique<watch::AddressRegistry>();
    return t;
  }
};

// Checks what holds of the registry after any sequence of loads and
// updates: both indexes in ascending order, each key once; every record's
// Addresses in order; every IpIndex owner is a record of MacIndex and lists
// the address.
inline void CheckRegistry(const watch::TEthThread& t) {
  const rtl::TStringList& macs = t.Registry->MacIndex();
  const rtl::TStringList& ips = t.Registry->IpIndex();
  auto check_sorted = [](const rtl::TStringList& list, const char* what) {
    for (int i = 1; i < list.Count(); ++i) {
      FUZZ_CHECK(rtl::CompareText(list.Strings(i - 1), list.Strings(i)) < 0, what);
    }
  };
  check_sorted(macs, "MacIndex in order");
  check_sorted(ips, "IpIndex in order");
  for (int i = 0; i < macs.Count(); ++i) {
    auto* record = static_cast<const watch::Tarp_registry*>(macs.Objects(i));
    FUZZ_CHECK(record != nullptr, "MacIndex entry has a record");
    FUZZ_CHECK(rtl::CompareText(record->Mac, macs.Strings(i)) == 0, "record under its own MAC");
    check_sorted(record->Addresses, "Addresses in order");
  }
  for (int i = 0; i < ips.Count(); ++i) {
    auto* owner = static_cast<const watch::Tarp_registry*>(ips.Objects(i));
    FUZZ_CHECK(owner != nullptr, "IpIndex entry has an owner");
    int at;
    FUZZ_CHECK(macs.Find(owner->Mac, at) && macs.Objects(at) == owner, "owner is in MacIndex");
    FUZZ_CHECK(owner->Addresses.Find(ips.Strings(i), at), "owner lists the address");
  }
}

// Saves t's table, loads it into a fresh watch and saves that: the two
// files must be equal, and the fresh watch must hold the same IpIndex.
inline void CheckSaveLoadSave(watch::TEthThread& t, FakeWatch& fakes) {
  const rtl::TStringList& ips = t.Registry->IpIndex();
  // Known exception: a MAC line of the full line length with no blank
  // around it is written back one blank longer than a reader accepts.
  for (int i = 0; i < ips.Count(); ++i) {
    auto* owner = static_cast<const watch::Tarp_registry*>(ips.Objects(i));
    if (owner->Mac.size() >= platform::kMaxTextLine) return;
  }
  FUZZ_CHECK(t.SaveTable(), "the table is saved");
  const std::string first = ReadWholeFile(t.TablePath());
  FUZZ_CHECK(first == t.Registry->TableText(), "the file is the registry's table text");
  auto again = fakes.NewWatch();
  again->LoadTable();
  CheckRegistry(*again);
  const rtl::TStringList& reloaded = again->Registry->IpIndex();
  FUZZ_CHECK(reloaded.Count() == ips.Count(), "reloaded IpIndex size");
  for (int i = 0; i < ips.Count(); ++i) {
    FUZZ_CHECK(reloaded.Strings(i) == ips.Strings(i), "reloaded address");
    auto* a = static_cast<const watch::Tarp_registry*>(reloaded.Objects(i));
    auto* b = static_cast<const watch::Tarp_registry*>(ips.Objects(i));
    FUZZ_CHECK(a->Mac == b->Mac, "reloaded owner");
  }
  FUZZ_CHECK(again->SaveTable(), "the reloaded table is saved");
  FUZZ_CHECK(ReadWholeFile(t.TablePath()) == first, "save, load, save is a fixed point");
}

}  // namespace fuzz
