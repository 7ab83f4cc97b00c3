#include "service/wirevane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <thread>

#include "service/HostFakes_test.h"
#include "service/Usage.h"
#include "watch/WatchFakes_test.h"

namespace service {
namespace {

using testing::FakeDialogs;
using testing::FakeEventLog;
using testing::FakeServiceControl;
using testing::FakeServiceManager;

// One status report, as far as the tests look at it.
struct R {
  uint32_t state, accepted, checkpoint;
  bool operator==(const R&) const = default;
};
std::ostream& operator<<(std::ostream& os, const R& r) {
  return os << "{state " << r.state << ", accepted " << r.accepted << ", checkpoint "
            << r.checkpoint << "}";
}
std::vector<R> Summary(const std::vector<platform::ServiceStatus>& reports) {
  std::vector<R> out;
  for (const auto& s : reports) out.push_back({s.CurrentState, s.ControlsAccepted, s.CheckPoint});
  return out;
}

// States and what a running module accepts.
constexpr uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4,
                   kContinuePending = 5, kPausePending = 6, kPaused = 7;
const R kStart1{kStartPending, 0, 1}, kStart2{kStartPending, 0, 2}, kRun{kRunning, 7, 0},
    kStopP{kStopPending, 7, 0}, kDown{kStopped, 7, 0}, kPauseP{kPausePending, 7, 0},
    kPause{kPaused, 7, 0}, kContP{kContinuePending, 7, 0};

// The module with two more ways to fail, for the exception paths.
class TRaisingWirevane : public TWirevane {
 public:
  using TWirevane::TWirevane;
  uint32_t raise_on = 0;

 protected:
  void HandleInterrogate() override {
    if (raise_on == 4) throw rtl::Exception("boom");
    TWirevane::HandleInterrogate();
  }
  bool HandleCustomControl(uint32_t code) override {
    if (raise_on == code) throw rtl::Exception("boom");
    return TWirevane::HandleCustomControl(code);
  }
};

class WirevaneTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetStatusReportMemory(); }
  void TearDown() override {
    if (main_.joinable()) {
      control_.Control(1);
      main_.join();
    }
  }

  THostFacilities Facilities(std::vector<std::string> args = {}) {
    return THostFacilities{.Control = &control_,
                           .ConsoleControl = &console_,
                           .Manager = &manager_,
                           .EventLog = &log_,
                           .Dialogs = &dialogs_,
                           .Arguments = std::move(args),
                           .ExecutablePath = "/opt/tessalin/bin/tessalin"};
  }

  // A service application with the module, its watch replaced by a counter
  // that starts at once.
  TRaisingWirevane* MakeModule() {
    app_ = std::make_unique<TServiceApplication>(Facilities());
    TRaisingWirevane* module = nullptr;
    app_->CreateServiceModule(module);
    Wirevane = module;
    module->StartWatch = [this](TWirevane::TWatchStart start) { return CountStart(start); };
    return module;
  }

  // The manager starts the service main on a thread of its own.
  void Start() {
    main_ = std::thread([] {
      char name[] = "wirevane";  // the manager's spelling need not match
      char* argv[] = {name, nullptr};
      ServiceMainEntry(1, argv);
    });
  }
  void WaitRunning() {
    control_.WaitFor([](const platform::ServiceStatus& s) { return s.CurrentState == kRunning; });
  }
  void Join() { main_.join(); }
  watch::TEthThread* CountStart(const TWirevane::TWatchStart& start) {
    ++watch_starts_;
    start.Started("eth-test");
    return nullptr;
  }

  FakeServiceControl control_;
  FakeServiceControl console_;
  FakeEventLog log_;
  FakeServiceManager manager_;
  FakeDialogs dialogs_;
  std::unique_ptr<TServiceApplication> app_;
  std::thread main_;
  std::atomic<int> watch_starts_{0};
};

TEST_F(WirevaneTest, NormalLifeSendsFiveReports) {
  // Requests with no control thread to take them are ignored.
  ServiceControlEntry(1);
  TRaisingWirevane* module = MakeModule();
  ServiceControlEntry(1);
  EXPECT_FALSE(module->StopRequested());

  Start();
  WaitRunning();
  control_.Control(1);
  Join();

  EXPECT_EQ(control_.RegisteredName(), "Wirevane");
  EXPECT_EQ(Summary(control_.Reports()), (std::vector<R>{kStart1, kStart2, kRun, kStopP, kDown}));
  for (const auto& s : control_.Reports()) {
    EXPECT_EQ(s.ServiceType, 0x10u);
    EXPECT_EQ(s.WaitHint, 5000u);
    EXPECT_EQ(s.Win32ExitCode, 0u);
  }
  EXPECT_EQ(watch_starts_, 1);
  EXPECT_EQ(module->ControlThread(), nullptr);
  EXPECT_EQ(module->CurrentState(), csStopped);
  EXPECT_TRUE(log_.Entries().empty());
}

TEST_F(WirevaneTest, ControlSequences) {
  struct Step {
    uint32_t code;
    std::vector<R> reports;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"pause and continue", {{2, {kPauseP, kPause}}, {3, {kContP, kRun}}, {1, {kStopP, kDown}}}},
      {"second pause",
       {{2, {kPauseP, kPause}}, {2, {kPauseP, kPause}}, {3, {kContP, kRun}}, {1, {kStopP, kDown}}}},
      {"interrogate while paused",
       {{2, {kPauseP, kPause}}, {4, {kPause}}, {3, {kContP, kRun}}, {1, {kStopP, kDown}}}},
      {"stop while paused", {{2, {kPauseP, kPause}}, {1, {kStopP, kDown}}}},
      // A code of 128 or more changes nothing and reports nothing.
      {"interrogate and custom code", {{4, {kRun}}, {200, {}}, {4, {kRun}}, {1, {kStopP, kDown}}}},
      {"shutdown", {{5, {kStopP, kDown}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetStatusReportMemory();
    control_.Reset();
    MakeModule();
    Start();
    WaitRunning();
    std::vector<R> expected = {kStart1, kStart2, kRun};
    for (const Step& step : c.steps) {
      control_.Control(step.code);
      expected.insert(expected.end(), step.reports.begin(), step.reports.end());
      control_.WaitForReports(expected.size());
    }
    Join();
    EXPECT_EQ(Summary(control_.Reports()), expected);
    EXPECT_EQ(watch_starts_.exchange(0), 1);
  }
  EXPECT_TRUE(log_.Entries().empty());
}

// After the stop, requests still queued are handled without waiting, before
// the stopped report: here an interrogate while stop is pending.
TEST_F(WirevaneTest, InterrogateWhileStopPendingRaisesTheCheckpoint) {
  TRaisingWirevane* module = MakeModule();
  module->SetOnStop([](TService*, bool&) { ServiceControlEntry(4); });
  Start();
  WaitRunning();
  control_.Control(1);
  Join();
  EXPECT_EQ(Summary(control_.Reports()),
            (std::vector<R>{kStart1, kStart2, kRun, kStopP, {kStopPending, 7, 1}, kDown}));
}

// A continue posted while the pause is still on its way to suspending the
// control thread must wake it, and a pause alone leaves it suspended.
TEST_F(WirevaneTest, PauseLosesNoWakeUp) {
  TRaisingWirevane* module = MakeModule();
  module->SetOnPause(
      [](TService*, bool&) { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
  Start();
  WaitRunning();
  control_.Control(2);
  control_.Control(3);
  EXPECT_EQ(Summary(control_.WaitForReports(7)),
            (std::vector<R>{kStart1, kStart2, kRun, kPauseP, kPause, kContP, kRun}));

  control_.Control(2);
  control_.WaitForReports(9);
  for (int i = 0; i < 500 && !module->ControlThread()->PausedSuspended(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(module->ControlThread()->PausedSuspended());
  control_.Control(3);
  control_.WaitForReports(11);
  EXPECT_FALSE(module->ControlThread()->PausedSuspended());
  control_.Control(1);
  Join();
  EXPECT_EQ(control_.Reports().size(), 13u);
}

TEST_F(WirevaneTest, FailuresAreLoggedAndStateRestored) {
  auto raise = [] { throw rtl::Exception("boom"); };
  struct Case {
    const char* name;
    std::function<void(TRaisingWirevane*)> arm;
    std::vector<uint32_t> codes;
    std::vector<R> reports;
    const char* entry;
  } cases[] = {
      {"start",
       [&](TRaisingWirevane* m) { m->OnStart = [&](TService*, bool&) { raise(); }; },
       {},
       {kStart1, kStart2, kDown},
       "Service failed on start: boom"},
      // A watch that cannot even be started: the start fails, running is
      // never reported.
      {"watch start",
       [&](TRaisingWirevane* m) {
         m->StartWatch = [&](auto) -> watch::TEthThread* {
           raise();
           return nullptr;
         };
       },
       {},
       {kStart1, kStart2, kDown},
       "Service failed on start: boom"},
      {"execute",
       [&](TRaisingWirevane* m) { m->OnExecute = [&](TService*) { raise(); }; },
       {},
       {kStart1, kStart2, kRun, kDown},
       "Service failed on execute: boom"},
      {"stop",
       [&](TRaisingWirevane* m) { m->SetOnStop([&](TService*, bool&) { raise(); }); },
       {1, 5},
       {kStart1, kStart2, kRun, kStopP, kRun, kStopP, kDown},
       "Service failed on stop: boom"},
      {"pause",
       [&](TRaisingWirevane* m) { m->SetOnPause([&](TService*, bool&) { raise(); }); },
       {2, 1},
       {kStart1, kStart2, kRun, kPauseP, kRun, kStopP, kDown},
       "Service failed on pause: boom"},
      {"continue",
       [&](TRaisingWirevane* m) { m->SetOnContinue([&](TService*, bool&) { raise(); }); },
       {3, 1},
       {kStart1, kStart2, kRun, kContP, kRun, kStopP, kDown},
       "Service failed on continue: boom"},
      {"interrogate",
       [](TRaisingWirevane* m) { m->raise_on = 4; },
       {4, 1},
       {kStart1, kStart2, kRun, kRun, kStopP, kDown},
       "Service failed on interrogate: boom"},
      // A failed shutdown still ends the service, without restoring the state.
      {"shutdown",
       [&](TRaisingWirevane* m) { m->OnShutdown = [&](TService*) { raise(); }; },
       {5},
       {kStart1, kStart2, kRun, kStopP, kDown},
       "Service failed on shutdown: boom"},
      {"custom",
       [](TRaisingWirevane* m) { m->raise_on = 200; },
       {200, 1},
       {kStart1, kStart2, kRun, kRun, kStopP, kDown},
       "Service failed in custom message(200): boom"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetStatusReportMemory();
    control_.Reset();
    log_.Clear();
    c.arm(MakeModule());
    Start();
    if (!c.codes.empty()) {
      WaitRunning();
      for (uint32_t code : c.codes) control_.Control(code);
    }
    Join();
    EXPECT_EQ(Summary(control_.Reports()), c.reports);
    auto entries = log_.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, "Wirevane");
    EXPECT_EQ(entries[0].type, 1);
    EXPECT_EQ(entries[0].text, c.entry);
  }
}

TEST_F(WirevaneTest, ManagerFailuresAreLogged) {
  // No control handler: one entry, no report, no control thread.
  control_.register_error = 1083;
  MakeModule();
  Start();
  Join();
  EXPECT_TRUE(control_.Reports().empty());
  EXPECT_EQ(watch_starts_, 0);
  ASSERT_EQ(log_.Entries().size(), 1u);
  EXPECT_EQ(log_.Entries()[0].text, platform::SystemErrorMessage(1083));

  // Failed status reports: one entry each, and the service goes on.
  ResetStatusReportMemory();
  control_.Reset();
  control_.status_error = 6;
  log_.Clear();
  MakeModule();
  Start();
  WaitRunning();
  control_.Control(1);
  Join();
  EXPECT_EQ(control_.Reports().size(), 5u);
  auto entries = log_.Entries();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].source, "Wirevane");
  EXPECT_EQ(entries[0].text, platform::SystemErrorMessage(6));
}

// The whole program under a manager that stops the service once it runs:
// the main thread's loop serves the calls other threads hand to it, and
// ends when the dispatcher returns.
TEST_F(WirevaneTest, ProgramRunsTheServiceUnderTheManager) {
  rtl::ThreadId served_on = 0;
  control_.before_main = [&] {
    Wirevane->StartWatch = [&](TWirevane::TWatchStart start) -> watch::TEthThread* {
      rtl::Synchronize([&] { served_on = rtl::CurrentThreadId(); });
      start.Started("eth0");
      return nullptr;
    };
  };
  control_.on_running = [](FakeServiceControl& c) { c.Control(1); };
  EXPECT_EQ(RunProgram(Facilities()), 0);
  EXPECT_TRUE(control_.prepared);
  EXPECT_EQ(served_on, rtl::CurrentThreadId());
  EXPECT_EQ(Summary(control_.Reports()), (std::vector<R>{kStart1, kStart2, kRun, kStopP, kDown}));
  EXPECT_TRUE(log_.Entries().empty());
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_EQ(Wirevane, nullptr);
}

// /console runs the same service life under the in-process controller.
TEST_F(WirevaneTest, ConsoleSwitchRunsUnderTheConsoleController) {
  console_.before_main = [this] {
    Wirevane->StartWatch = [this](TWirevane::TWatchStart start) { return CountStart(start); };
  };
  console_.on_running = [](FakeServiceControl& c) { c.Control(1); };
  EXPECT_EQ(RunProgram(Facilities({"/Console"})), 0);
  EXPECT_EQ(Summary(console_.Reports()), (std::vector<R>{kStart1, kStart2, kRun, kStopP, kDown}));
  EXPECT_EQ(watch_starts_, 1);
  EXPECT_TRUE(control_.Reports().empty());
}

// Running is reported only once the watch's start-up has ended well: the
// start stays pending meanwhile, with a new check-point every half wait
// hint, and the running report names the adapter. A watch that cannot start
// ends the service from start pending as failed: stopped with the stage's
// service-specific code and the cause as its status text, never running,
// and the program's exit code is that code.
TEST_F(WirevaneTest, RunningOnlyOnceTheWatchWatches) {
  struct Case {
    const char* name;
    bool starts;
    std::vector<R> after;  // the reports after the pending ones
    int exit_code;
    const char* text;  // of the report after the pending ones
  } cases[] = {
      {"watching", true, {kRun, kStopP, kDown}, 0, "watching eth7"},
      {"failed",
       false,
       {kDown},
       5,
       "The watch could not start (stage \"configuring snoop\"): No Adpaters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetStatusReportMemory();
    control_.Reset();
    std::thread watch;
    control_.before_main = [&] {
      Wirevane->WaitHint = 200;
      Wirevane->StartWatch = [&](TWirevane::TWatchStart start) {
        // The start-up ends once the manager has seen four pending reports.
        watch = std::thread([this, &c, start] {
          control_.WaitForReports(4);
          if (c.starts) {
            start.Started("eth7");
          } else {
            start.Failed(watch::StartFailure{"configuring snoop", "No Adpaters", 5});
          }
        });
        return static_cast<watch::TEthThread*>(nullptr);
      };
    };
    control_.on_running = [](FakeServiceControl& fake) { fake.Control(1); };
    EXPECT_EQ(RunProgram(Facilities()), c.exit_code);
    watch.join();

    const auto reports = Summary(control_.Reports());
    ASSERT_GE(reports.size(), 4u + c.after.size());
    const size_t pending = reports.size() - c.after.size();
    for (size_t i = 0; i < pending; ++i) {
      EXPECT_EQ(reports[i], (R{kStartPending, 0, uint32_t(i + 1)})) << i;
    }
    EXPECT_EQ(std::vector<R>(reports.begin() + pending, reports.end()), c.after);
    EXPECT_EQ(control_.Texts()[pending], c.text);
    const platform::ServiceStatus last = control_.Reports().back();
    EXPECT_EQ(last.Win32ExitCode, c.starts ? 0u : 1066u);
    EXPECT_EQ(last.ServiceSpecificExitCode, c.starts ? 0u : 5u);
  }
}

// The stop over a real watch whose syslog host's name look-up hangs: the
// pairs seen just before the stop are in the table once the stop has ended,
// and the stop ends after WatchStopWait while the look-up still hangs, with
// a warning entry that says the watch was left behind.
TEST_F(WirevaneTest, StopSavesTheTableAndEndsWhileALookUpHangs) {
  watch::testing::FakeParts parts;
  watch::testing::FakeFiles files;
  watch::testing::FakeRegistry registry;
  watch::testing::FakeEvents events;
  registry.Set("SyslogHost", "syslog.test");
  std::mutex mu;
  std::condition_variable cv;
  bool hanging = false, released = false;
  parts.SetFail([&](const std::string& step) {
    if (step != "resolve syslog.test") return;
    std::unique_lock<std::mutex> lock(mu);
    hanging = true;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
  });
  auto release = [&] {
    std::lock_guard<std::mutex> lock(mu);
    released = true;
    cv.notify_all();
  };

  watch::TEthThread* watch = nullptr;
  TRaisingWirevane* module = MakeModule();
  module->WatchStopWait = 300;
  module->StartWatch = [&](TWirevane::TWatchStart start) {
    watch::WatchEnvironment environment;
    environment.parts = &parts;
    environment.files = &files;
    environment.registry = &registry;
    environment.events = &events;
    environment.data_directory = "/data/";
    watch = rtl::TThread::Create<watch::TEthThread>(true, environment);
    watch->OnStarted = start.Started;
    watch->OnStartFailed = start.Failed;
    watch->Resume();
    return watch;
  };
  Start();
  WaitRunning();

  // The first pair's report holds the sender in the look-up; two more pairs
  // come in behind it; then the stop.
  watch::testing::FakeCapture* capture = parts.capture;
  const uint8_t macs[3][6] = {{2, 0xDD, 0, 0, 0, 1}, {2, 0xDD, 0, 0, 0, 2}, {2, 0xDD, 0, 0, 0, 3}};
  const uint8_t ips[3][4] = {{10, 9, 0, 1}, {10, 9, 0, 2}, {10, 9, 0, 3}};
  capture->Frame(watch::testing::ArpFrame(macs[0], ips[0]));
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return hanging; });
  }
  capture->Frame(watch::testing::ArpFrame(macs[1], ips[1]));
  capture->Frame(watch::testing::ArpFrame(macs[2], ips[2]));
  watch->SetStopDrain(100);
  control_.Control(1);
  Join();  // the service main has returned; the look-up still hangs

  EXPECT_EQ(module->CurrentState(), csStopped);
  EXPECT_EQ(Summary(control_.Reports()).back(), kDown);
  EXPECT_EQ(files.Content("/data/arptable"),
            "10.9.0.1\r\n 02DD00-000001\r\n10.9.0.2\r\n 02DD00-000002\r\n"
            "10.9.0.3\r\n 02DD00-000003\r\n");
  const auto entries = log_.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Wirevane");
  EXPECT_EQ(entries[0].type, platform::kEventLogWarningType);
  EXPECT_EQ(entries[0].text.rfind("the watch did not end within 0.3 s of the stop; ", 0), 0u)
      << entries[0].text;

  // The drain gives up the reports behind the look-up, then waits for the
  // one in hand; once the look-up returns, the watch ends and says what it
  // did not send.
  while (watch->ReportsQueued() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  release();
  watch->WaitFor();
  const auto stopped = events.WithId(watch::kEventWatchStopped);
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_EQ(stopped[0].type, platform::kEventLogWarningType);
  EXPECT_NE(stopped[0].text.find("reports not sent"), std::string::npos) << stopped[0].text;
  delete watch;
}

// Started without a service manager: one entry under the executable's name
// with the dispatcher's error text, exit code 0, nothing shown.
TEST_F(WirevaneTest, ProgramWithoutManagerLogsAndEnds) {
  control_.dispatch_error = 1063;
  EXPECT_EQ(RunProgram(Facilities({"install"})), 0);
  auto entries = log_.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "tessalin");
  EXPECT_EQ(entries[0].type, 1);
  EXPECT_EQ(entries[0].text, platform::SystemErrorMessage(1063));
  EXPECT_FALSE(entries[0].text.empty());
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_TRUE(manager_.services.empty());
}

// Help, the version and unknown switches are answered on the terminal
// before anything else: nothing installed, removed, run or shown.
TEST_F(WirevaneTest, HelpVersionAndUnknownSwitches) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string out_starts, err_starts;
  } cases[] = {
      {{"--help"}, 0, "Usage: tessalin\n", ""},
      {{"/install", "/?"}, 0, "Usage: tessalin\n", ""},
      {{"--version"}, 0, "tessalin " + std::string(Version()) + "\n", ""},
      {{"/bogus"}, 2, "", "tessalin: unknown switch /bogus\n\nUsage: tessalin\n"},
      {{"--install"}, 2, "", "tessalin: unknown switch --install\n\nUsage: tessalin\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = RunProgram(Facilities(c.args));
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, c.exit_code);
    EXPECT_EQ(out.substr(0, c.out_starts.size()), c.out_starts);
    EXPECT_EQ(out.empty(), c.out_starts.empty());
    EXPECT_EQ(err.substr(0, c.err_starts.size()), c.err_starts);
    EXPECT_EQ(err.empty(), c.err_starts.empty());
    if (c.exit_code == 0 && c.args.back() != "--version") {
      EXPECT_EQ(out, UsageText());
    }
    EXPECT_FALSE(control_.prepared);
    EXPECT_TRUE(manager_.services.empty());
    EXPECT_TRUE(dialogs_.shown.empty());
    EXPECT_TRUE(log_.Entries().empty());
  }
}

TEST_F(WirevaneTest, InstallAndRemove) {
  using platform::DialogIcon;
  const std::string exists =
      "Service \"Wirevane\" failed to install with error: "
      "\"System Error.  Code: 1073.\r\n" +
      platform::SystemErrorMessage(1073) + "\"";
  const std::string absent =
      "Service \"Wirevane\" failed to uninstall with error: "
      "\"System Error.  Code: 1060.\r\n" +
      platform::SystemErrorMessage(1060) + "\"";
  struct Case {
    std::vector<std::string> args;
    bool installed_before;
    int exit_code;
    bool installed_after;
    // The event source as registered afterwards: a stale one from an
    // earlier installation is there before every case.
    const char* source_after;
    std::vector<std::pair<std::string, std::string>> dialogs;  // caption, text
  } cases[] = {
      {{"/install"},
       false,
       0,
       true,
       "/opt/tessalin/bin/tessalin",
       {{"Information", "Service installed successfully"}}},
      {{"-INSTALL", "/Silent"}, false, 0, true, "/opt/tessalin/bin/tessalin", {}},
      {{"/install"}, true, 1, true, "/old/tessalin", {{"Error", exists}}},
      {{"/install", "/silent"}, true, 1, true, "/old/tessalin", {{"Error", exists}}},
      {{"/uninstall"},
       true,
       0,
       false,
       nullptr,
       {{"Information", "Service uninstalled successfully"}}},
      {{"/uninstall", "-silent"}, true, 0, false, nullptr, {}},
      // An entry that is already gone leaves no source behind either.
      {{"/uninstall"}, false, 1, false, nullptr, {{"Error", absent}}},
      // Removal is not looked at when installation is asked for too.
      {{"/uninstall", "/install", "/silent"}, false, 0, true, "/opt/tessalin/bin/tessalin", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.installed_before ? " (installed)" : " (absent)"));
    manager_ = FakeServiceManager();
    dialogs_ = FakeDialogs();
    if (c.installed_before) manager_.services["Wirevane"] = {};
    manager_.sources["Wirevane"] = {"/old/tessalin", 1};
    EXPECT_EQ(RunProgram(Facilities(c.args)), c.exit_code);
    EXPECT_EQ(manager_.services.count("Wirevane") == 1, c.installed_after);
    if (c.source_after) {
      ASSERT_EQ(manager_.sources.count("Wirevane"), 1u);
      EXPECT_EQ(manager_.sources.at("Wirevane").message_file, c.source_after);
    } else {
      EXPECT_EQ(manager_.sources.count("Wirevane"), 0u);
    }
    EXPECT_EQ(manager_.open_handles, 0);
    ASSERT_EQ(dialogs_.shown.size(), c.dialogs.size());
    for (size_t i = 0; i < c.dialogs.size(); ++i) {
      EXPECT_EQ(dialogs_.shown[i].caption, c.dialogs[i].first);
      EXPECT_EQ(dialogs_.shown[i].text, c.dialogs[i].second);
      EXPECT_EQ(dialogs_.shown[i].icon,
                c.dialogs[i].first == "Error" ? DialogIcon::Error : DialogIcon::Information);
    }
    EXPECT_TRUE(control_.Reports().empty());
  }

  // What the registration holds.
  manager_ = FakeServiceManager();
  ASSERT_EQ(RunProgram(Facilities({"/install", "/silent"})), 0);
  const auto& e = manager_.services.at("Wirevane");
  EXPECT_EQ(e.display_name, "Wirevane");
  EXPECT_EQ(e.access, 0xF01FFu);
  EXPECT_EQ(e.type, 0x10u);
  EXPECT_EQ(e.start, 2u);
  EXPECT_EQ(e.error_control, 1u);
  // Quoted, so that a path with spaces cannot be read as a shorter one.
  EXPECT_EQ(e.path, "\"/opt/tessalin/bin/tessalin\"");
  EXPECT_EQ(e.load_group, "");
  EXPECT_FALSE(e.tag_requested);
  EXPECT_EQ(e.dependencies, "");
  EXPECT_FALSE(e.start_name_given);  // the local system account
  EXPECT_EQ(e.password, "");
  EXPECT_NE(e.description.find("ARP"), std::string::npos) << e.description;
  EXPECT_NE(e.description.find("SyslogHost"), std::string::npos) << e.description;
  EXPECT_EQ(e.failure_actions.ResetPeriod, 86400u);
  ASSERT_EQ(e.failure_actions.Actions.size(), 3u);
  for (const auto& a : e.failure_actions.Actions) {
    EXPECT_EQ(a.Type, platform::kScActionRestart);
    EXPECT_EQ(a.Delay, 10000u);
  }
  ASSERT_EQ(manager_.sources.count("Wirevane"), 1u);
  EXPECT_EQ(manager_.sources.at("Wirevane").message_file, "/opt/tessalin/bin/tessalin");
  EXPECT_EQ(manager_.sources.at("Wirevane").types, 7u);  // error, warning, information
}

// A program that the manager's services cannot reach (under systemd: in a
// folder the unit's sandbox hides) is refused with the reason, before
// anything is registered.
TEST_F(WirevaneTest, InstallRefusesAProgramTheServiceCannotReach) {
  manager_.hidden = "the service could not start /root/tessalin: its sandbox hides /root";
  EXPECT_EQ(RunProgram(Facilities({"/install", "/silent"})), 1);
  EXPECT_TRUE(manager_.services.empty());
  EXPECT_TRUE(manager_.sources.empty());
  EXPECT_EQ(manager_.open_handles, 0);
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].caption, "Error");
  EXPECT_EQ(dialogs_.shown[0].text,
            "Service \"Wirevane\" failed to install with error: \"" + manager_.hidden + "\"");
}

// A step after the entry exists (or, on removal, the source after the
// entry) fails: the entry stays as created, the other steps are still done,
// and the failure is reported like any other, with exit code 1.
TEST_F(WirevaneTest, RegistrationStepFailures) {
  using M = FakeServiceManager;
  struct Case {
    const char* name;
    const char* arg;
    uint32_t M::*error;
    uint32_t code;
    bool entry_after, source_after;
    std::string message;
  } cases[] = {
      {"description", "/install", &M::description_error, 5, true, true,
       "Service registered, but setting its description (ChangeServiceConfig2A) failed: " +
           SysErrorText(5)},
      {"failure actions", "/install", &M::failure_actions_error, 5, true, true,
       "Service registered, but setting its restart on failure (ChangeServiceConfig2A) "
       "failed: " +
           SysErrorText(5)},
      {"event source", "/install", &M::install_source_error, 5, true, false,
       "Service registered, but registering its event log source failed: " + SysErrorText(5)},
      {"source removal", "/uninstall", &M::uninstall_source_error, 5, false, true,
       "Service removed, but removing its event log source failed: " + SysErrorText(5)},
      // An entry that stays keeps its source; one already marked for
      // deletion goes, and so does its source.
      {"deletion refused", "/uninstall", &M::delete_error, 5, true, true, SysErrorText(5)},
      {"marked for deletion", "/uninstall", &M::delete_error, 1072, true, false,
       SysErrorText(1072)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool install = std::string(c.arg) == "/install";
    manager_ = FakeServiceManager();
    dialogs_ = FakeDialogs();
    if (!install) {
      manager_.services["Wirevane"] = {};
      manager_.sources["Wirevane"] = {"/opt/tessalin/bin/tessalin", 7};
    }
    manager_.*c.error = c.code;
    EXPECT_EQ(RunProgram(Facilities({c.arg, "/silent"})), 1);
    EXPECT_EQ(manager_.services.count("Wirevane") == 1, c.entry_after);
    EXPECT_EQ(manager_.sources.count("Wirevane") == 1, c.source_after);
    EXPECT_TRUE(manager_.deleted.empty() || !install);
    EXPECT_EQ(manager_.open_handles, 0);
    if (install) {
      const auto& e = manager_.services.at("Wirevane");
      EXPECT_EQ(e.description.empty(), c.error == &M::description_error);
      EXPECT_EQ(e.failure_actions.Actions.empty(), c.error == &M::failure_actions_error);
    }
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].caption, "Error");
    EXPECT_EQ(dialogs_.shown[0].text, std::string("Service \"Wirevane\" failed to ") +
                                          (install ? "install" : "uninstall") + " with error: \"" +
                                          c.message + "\"");
  }
}

// A manager that cannot be opened ends the program with the application
// error report and exit code 1; no registration dialog is shown.
TEST_F(WirevaneTest, ManagerThatCannotBeOpenedEndsWithApplicationError) {
  manager_.open_error = 5;
  EXPECT_EQ(RunProgram(Facilities({"/install", "/silent"})), 1);
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].caption, "Application Error");
  EXPECT_EQ(dialogs_.shown[0].text,
            "Exception EOSError in module tessalin.\r\nSystem Error.  Code: 5.\r\n" +
                platform::SystemErrorMessage(5));
  EXPECT_EQ(dialogs_.shown[0].icon, platform::DialogIcon::Error);
  EXPECT_TRUE(dialogs_.shown[0].task_modal);
}

// An error from AfterInstall takes the new entry away again and is
// reported like any other.
TEST_F(WirevaneTest, AfterInstallFailureDeletesTheEntry) {
  auto app = std::make_unique<TServiceApplication>(Facilities({"/install"}));
  TWirevane* module = nullptr;
  app->CreateServiceModule(module);
  module->AfterInstall = [](TService*) { throw rtl::Exception("no config"); };
  app->RunApplication();
  EXPECT_EQ(app->ExitCode, 1);
  EXPECT_TRUE(manager_.services.empty());
  EXPECT_EQ(manager_.deleted, std::vector<std::string>{"Wirevane"});
  EXPECT_TRUE(manager_.sources.empty());
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].text,
            "Service \"Wirevane\" failed to install with error: \"no config\"");
}

}  // namespace
}  // namespace service
