// What the fuzz targets share: a check that aborts with a message (libFuzzer
// then keeps the input as a crash), a private scratch folder on a memory
// file system where there is one, and the watch's parts for a run without
// network or clock.
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

#include "watch/ethread.h"

// Unlike assert(), also checks in release builds.
#define FUZZ_CHECK(cond, what)                                                      \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, \
                   #cond, what);                                                    \
      std::abort();                                                                 \
    }                                                                               \
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

// Records every report; never fails.
class RecordingSender : public watch::SysLogSender {
 public:
  explicit RecordingSender(std::vector<std::string>* sent) : sent_(sent) {}
  void SetActive(bool) override {}
  void SetHost(const std::string&) override {}
  void SendText(const std::string& text, syslog::TIdSyslogFacility,
                syslog::TIdSyslogSeverity) override {
    sent_->push_back(text);
  }

 private:
  std::vector<std::string>* sent_;
};

class NoCapture : public watch::CaptureSource {
 public:
  void SetThreadSafe(bool) override {}
  void SetOnCapture(watch::TOnCaptureEvent) override {}
  void SetAdapterIndex(int) override {}
  void StartCapture() override {}
};

// The watch's parts, a clock that stands still and never sleeps, and a
// registry without configuration.
class QuietWatch : public watch::WatchParts, public platform::Clock, public platform::Registry {
 public:
  std::vector<std::string> sent;

  std::unique_ptr<watch::SysLogSender> CreateSysLog() override {
    return std::make_unique<RecordingSender>(&sent);
  }
  std::unique_ptr<watch::CaptureSource> CreateCapture() override {
    return std::make_unique<NoCapture>();
  }
  rtl::TDateTime Now() override { return 46000.5; }
  void Sleep(uint32_t) override {}
  bool ReadString(platform::RegistryRoot, const std::string&, const std::string&,
                  std::string&) override {
    return false;
  }

  watch::WatchEnvironment Environment() {
    watch::WatchEnvironment env;
    env.parts = this;
    env.clock = this;
    env.registry = this;
    env.data_directory = ScratchDirectory();
    return env;
  }

  // A watch thread (never started) with empty indexes and a sender, as Run
  // leaves them before the table load.
  std::unique_ptr<watch::TEthThread> NewWatch() {
    auto t = std::make_unique<watch::TEthThread>(true, Environment());
    t->SysLog = CreateSysLog();
    t->StartupSent = true;
    for (auto* index : {&t->MacIndex, &t->IpIndex}) {
      *index = std::make_unique<rtl::TStringList>();
      (*index)->SetSorted(true);
    }
    return t;
  }
};

// Checks what holds of the registry after any sequence of loads and
// updates: both indexes in ascending order, each key once; every record's
// Addresses in order; every IpIndex owner is a record of MacIndex and lists
// the address.
inline void CheckRegistry(const watch::TEthThread& t) {
  const rtl::TStringList& macs = *t.MacIndex;
  const rtl::TStringList& ips = *t.IpIndex;
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
inline void CheckSaveLoadSave(watch::TEthThread& t, QuietWatch& parts) {
  // Known exception: a MAC line of the full line length with no blank
  // around it is written back one blank longer than a reader accepts.
  for (int i = 0; i < t.IpIndex->Count(); ++i) {
    auto* owner = static_cast<const watch::Tarp_registry*>(t.IpIndex->Objects(i));
    if (owner->Mac.size() >= platform::kMaxTextLine) return;
  }
  t.SaveTable();
  const std::string first = ReadWholeFile(t.TablePath());
  auto again = parts.NewWatch();
  again->LoadTable();
  CheckRegistry(*again);
  FUZZ_CHECK(again->IpIndex->Count() == t.IpIndex->Count(), "reloaded IpIndex size");
  for (int i = 0; i < t.IpIndex->Count(); ++i) {
    FUZZ_CHECK(again->IpIndex->Strings(i) == t.IpIndex->Strings(i), "reloaded address");
    auto* a = static_cast<const watch::Tarp_registry*>(again->IpIndex->Objects(i));
    auto* b = static_cast<const watch::Tarp_registry*>(t.IpIndex->Objects(i));
    FUZZ_CHECK(a->Mac == b->Mac, "reloaded owner");
  }
  again->SaveTable();
  FUZZ_CHECK(ReadWholeFile(t.TablePath()) == first, "save, load, save is a fixed point");
}

}  // namespace fuzz
