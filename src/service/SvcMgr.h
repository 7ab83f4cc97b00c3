// The service host framework: the service application that owns the
// service modules and hands the process to the service manager, the
// service module (TService) with its control thread (TServiceThread) and
// status reports, the dispatcher thread (TServiceStartThread) and the event
// logger.
//
// Threads and what they own:
// - main thread: the service application, its modules and the application
//   logger; installation and removal; the message loop that serves
//   synchronised calls until the dispatcher thread posts WM_QUIT.
// - dispatcher thread (TServiceStartThread): waits in the service manager;
//   control codes reach TService::PostControl on it.
// - service main thread (made by the manager): EnterService and RunService;
//   it reports only before the control thread starts and after it ended.
// - control thread (TServiceThread): OnStart, OnExecute, every control
//   action and every status report in between, one request at a time in
//   arrival order.
//
// The host works through the platform's service control, registration,
// event log and dialog facilities; THostFacilities names them so that tests
// can pass fakes.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/EventLog.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"
#include "rtl/Classes.h"
#include "rtl/Messages.h"
#include "rtl/Mutex.h"
#include "rtl/SysUtils.h"
#include "rtl/Thread.h"
#include "service/Switches.h"

namespace service {

enum TServiceType { stWin32, stDevice, stFileSystem };
enum TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };
// Reported to the system as the position plus one (SERVICE_STOPPED is 1).
enum TCurrentStatus {
  csStopped,
  csStartPending,
  csStopPending,
  csRunning,
  csContinuePending,
  csPausePending,
  csPaused
};

// A control request: a thread message with the control code in WParam.
constexpr uint32_t WM_CONTROL_REQUEST = rtl::WM_USER + 1;

class TService;

// Event handlers; the Boolean parameters enter as true.
using TServiceEvent = std::function<void(TService* Sender)>;
using TStartEvent = std::function<void(TService* Sender, bool& Started)>;
using TStopEvent = std::function<void(TService* Sender, bool& Stopped)>;
using TPauseEvent = std::function<void(TService* Sender, bool& Paused)>;
using TContinueEvent = std::function<void(TService* Sender, bool& Continued)>;

// The system facilities the host works through. A null member stands for
// the process default.
struct THostFacilities {
  platform::ServiceControl* Control = nullptr;
  // Takes Control's place when the command line has the switch "CONSOLE":
  // the service runs in the foreground under an in-process controller.
  platform::ServiceControl* ConsoleControl = nullptr;
  platform::ServiceManager* Manager = nullptr;
  platform::EventLog* EventLog = nullptr;
  platform::Dialogs* Dialogs = nullptr;
  // The command-line arguments without the program path; unset: the
  // program's own.
  std::optional<std::vector<std::string>> Arguments;
  // The executable's full path; empty: the running program's.
  std::string ExecutablePath;
};

// The system error text: "System Error.  Code: %d.\r\n%s", or "A call to an
// OS function failed" for code 0.
std::string SysErrorText(uint32_t code);
// Raises rtl::EOSError with the system error text of the last error.
[[noreturn]] void RaiseLastOSError();
using rtl::ExceptionMessage;

class TDependency {
 public:
  std::string Name;
  bool IsGroup = false;
};

// The module's dependencies, owned by the module.
class TDependencies {
 public:
  TDependency* Add();
  int Count() const noexcept { return static_cast<int>(items_.size()); }
  TDependency& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  // Stored with the module's settings only when there is an item.
  bool Stored() const noexcept { return !items_.empty(); }

 private:
  std::vector<std::unique_ptr<TDependency>> items_;
};

// Writes entries under one event source, registered on the first entry
// (and tried again on the next one while that fails), through
// platform::EventSource. Thread-safe.
class TEventLogger {
 public:
  explicit TEventLogger(std::string SourceName,
                        platform::EventLog& log = platform::DefaultEventLog());
  TEventLogger(const TEventLogger&) = delete;
  TEventLogger& operator=(const TEventLogger&) = delete;

  void WriteEvent(const std::string& Text, uint16_t EventType, uint16_t Category, uint32_t EventId);
  const std::string& SourceName() const noexcept { return source_.Name(); }

 private:
  platform::EventSource source_;
};

// The control thread of one service module. Created suspended by
// RunService; not freed when it ends.
class TServiceThread : public rtl::TThread {
 public:
  explicit TServiceThread(TService* Service);

  // On this thread only: handles control requests one after another. With
  // WaitForRequest it blocks between them and returns once the thread has
  // been asked to end (tested before every wait) or WM_QUIT arrives;
  // without, it returns when the queue is empty.
  void ProcessControlRequests(bool WaitForRequest);

  // Dispatcher thread: queues a control request and wakes the thread if a
  // pause suspended it. False when the request could not be queued.
  bool PostRequest(uint32_t Code) EXCLUDES(wake_mu_);
  // On this thread only: suspends it until a control request is waiting.
  // A request posted while the thread is on its way to suspension, or
  // already queued, keeps it awake: no wake-up is lost.
  void SuspendUntilRequest() EXCLUDES(wake_mu_);
  // Whether the thread is suspended by a pause.
  bool PausedSuspended() const EXCLUDES(wake_mu_);

 protected:
  void Run() override;

 private:
  void ProcessRequest(uint32_t Code);

  TService* const service_;
  mutable rtl::Mutex wake_mu_;
  rtl::CondVar wake_cv_;
  int outstanding_ GUARDED_BY(wake_mu_) = 0;  // requests posted and not yet taken
  bool suspended_ GUARDED_BY(wake_mu_) = false;
};

class TService : public rtl::TComponent {
 public:
  // The owner, usually the service application, gives the module its
  // facilities; another owner (or none) means the process defaults.
  explicit TService(rtl::TComponent* Owner);
  ~TService() override;

  // Published properties. Those with rules have accessors.
  bool AllowStop = true;
  bool AllowPause = true;
  TDependencies& Dependencies() noexcept { return dependencies_; }
  const TDependencies& Dependencies() const noexcept { return dependencies_; }
  // Reads as Name while empty.
  std::string DisplayName() const;
  void SetDisplayName(std::string value) { display_name_ = std::move(value); }
  TErrorSeverity ErrorSeverity = esNormal;
  bool Interactive() const noexcept { return interactive_; }
  // True empties Password and ServiceStartName.
  void SetInteractive(bool value);
  std::string LoadGroup;
  const std::string& Password() const noexcept { return password_; }
  // A different, non-empty value turns Interactive off (both).
  void SetPassword(std::string value);
  const std::string& ServiceStartName() const noexcept { return service_start_name_; }
  void SetServiceStartName(std::string value);
  TServiceType ServiceType = stWin32;
  TStartType StartType = stAuto;
  uint32_t TagID = 0;
  int32_t WaitHint = 5000;
  // Set at installation when not empty: the service manager shows it
  // beside the display name.
  std::string Description;
  // Set at installation when RestartDelay is not 0: the service manager
  // restarts the service RestartDelay milliseconds after each failure, and
  // counts failures anew after FailureResetPeriod seconds without one.
  uint32_t RestartDelay = 0;
  uint32_t FailureResetPeriod = 0;
  TServiceEvent BeforeInstall, AfterInstall, BeforeUninstall, AfterUninstall;
  TServiceEvent OnExecute;
  TServiceEvent OnShutdown;
  TStartEvent OnStart;
  // Assigning OnPause or OnContinue turns AllowPause on; OnStop, AllowStop.
  const TContinueEvent& OnContinue() const noexcept { return on_continue_; }
  void SetOnContinue(TContinueEvent handler);
  const TPauseEvent& OnPause() const noexcept { return on_pause_; }
  void SetOnPause(TPauseEvent handler);
  const TStopEvent& OnStop() const noexcept { return on_stop_; }
  void SetOnStop(TStopEvent handler);

  // Run time.
  TCurrentStatus CurrentState() const noexcept { return current_state_; }
  TServiceThread* ControlThread() const noexcept { return control_thread_; }
  // False while no control thread exists; then true once it has been asked
  // to end.
  bool StopRequested() const;
  // Tells the control thread to end, as a stop does but without a stop
  // pending report: for a service whose work has failed. Any thread.
  void RequestStop() EXCLUDES(control_mu_);

  // How the service ends: reported with the stopped state. A non-zero
  // ErrCode is a service-specific error (Win32ErrCode then
  // ERROR_SERVICE_SPECIFIC_ERROR); StatusText says why (systemd's STATUS=).
  // Set by the control thread before it ends.
  uint32_t ErrCode = 0;
  uint32_t Win32ErrCode = 0;
  std::string StatusText;
  // What the service does while it runs, said with each running report
  // ("watching eth0": systemd's status line and the foreground run's
  // "Running: watching eth0"). Set by OnStart.
  std::string RunningText;

  // Body of the service main, on the thread the manager made for it.
  void EnterService(uint32_t ArgCount, char** Args);
  // Dispatcher thread: forwards a control code to the control thread. A
  // code that arrives while there is none is ignored.
  void PostControl(uint32_t Code) EXCLUDES(control_mu_);
  void SetState(TCurrentStatus State);
  // Sends the current state to the manager; a failure is logged, not
  // raised.
  void ReportState();
  // Through the module logger, whose source is the module's Name.
  void WriteEvent(const std::string& Text, uint16_t EventType = platform::kEventLogErrorType,
                  uint16_t Category = 0, uint32_t EventId = 0) EXCLUDES(logger_mu_);

  uint32_t SystemServiceType() const;
  uint32_t SystemControlsAccepted() const;
  uint32_t SystemStartType() const;
  uint32_t SystemErrorControl() const;
  // Names each ended by a NUL ("+" before a group), one more NUL at the
  // end; empty without dependencies.
  std::string DependencyList() const;

  // Registration, on the main thread; both raise on failure.
  // InstallModule refuses, creating nothing, a program that the manager's
  // services cannot reach (HiddenFromServices says why). Otherwise it
  // creates the service entry, then sets the description and
  // the restart policy and registers the executable as the message file of
  // the event source Name. When one of those later steps fails the others
  // are still done, the entry stays, and the first failure is raised.
  // UninstallModule deletes the entry and removes the event source's
  // registration, also when the entry was already gone or marked for
  // deletion; the entry's failure is raised first.
  void InstallModule(platform::ScHandle Manager);
  void UninstallModule(platform::ScHandle Manager);

 protected:
  virtual void RunService();
  virtual bool HandleStop();
  virtual bool HandlePause();
  virtual bool HandleContinue();
  virtual void HandleInterrogate();
  virtual void HandleShutdown();
  virtual bool HandleCustomControl(uint32_t Code);
  // The control handler entry that EnterService registers.
  virtual platform::ServiceControlHandler ControlCallback() = 0;

  const THostFacilities& Facilities() const noexcept { return facilities_; }

 private:
  friend class TServiceThread;
  void LogFailure(const char* action, std::exception_ptr error);

  THostFacilities facilities_;
  TDependencies dependencies_;
  std::string display_name_;
  bool interactive_ = false;
  std::string password_;
  std::string service_start_name_;
  TContinueEvent on_continue_;
  TPauseEvent on_pause_;
  TStopEvent on_stop_;

  std::atomic<TCurrentStatus> current_state_{csStopped};
  platform::ServiceStatusHandle status_handle_ = 0;
  std::atomic<TServiceThread*> control_thread_{nullptr};
  // Held by PostControl while it uses the control thread, and by RunService
  // while it clears the reference, so that a late request never reaches a
  // freed thread.
  rtl::Mutex control_mu_;
  rtl::Mutex logger_mu_;
  std::unique_ptr<TEventLogger> logger_ GUARDED_BY(logger_mu_);
};

// The status report memory is one per process: the last reported state
// (initially start pending) and checkpoint (initially 0). A new process
// starts with it so; tests that run a second service life call this first.
void ResetStatusReportMemory();

// The dispatcher thread: hands the process to the service manager and,
// when that returns, ends the main thread's message loop with WM_QUIT.
// Starts at once; not freed when it ends.
class TServiceStartThread : public rtl::TThread {
 public:
  TServiceStartThread(std::vector<platform::ServiceTableEntry> Table,
                      platform::ServiceControl& Control, rtl::ThreadId MainThread);
  // 0, or the last error of a failed dispatcher call. Read after the
  // thread has ended.
  uint32_t DispatchResult() const noexcept { return dispatch_result_; }

 protected:
  void Run() override;

 private:
  std::vector<platform::ServiceTableEntry> table_;
  platform::ServiceControl& control_;
  const rtl::ThreadId main_thread_;
  std::atomic<uint32_t> dispatch_result_{0};
};

// The program's service application: owns the modules (its owned
// components that are TService, in creation order) and the application
// logger, whose source is the executable's file name. On the main thread.
class TServiceApplication : public rtl::TComponent {
 public:
  explicit TServiceApplication(THostFacilities Facilities = {});
  ~TServiceApplication() override;

  // Creates a module owned by the application and stores it in Reference;
  // when the creation fails Reference is null and the error propagates.
  template <class T>
  void CreateServiceModule(T*& Reference) {
    static_assert(std::is_base_of_v<TService, T>, "a service module derives from TService");
    Reference = nullptr;
    Reference = new T(this);
  }
  virtual void PrepareApplication();
  // Installs or removes the modules as the switches say, or runs them under
  // the service manager until the dispatcher returns. An error opening the
  // service manager leaves it.
  virtual void RunApplication();
  // The service main of every module: finds the module named by Args[0]
  // (without regard to case) and enters it.
  void DispatchEntry(uint32_t ArgCount, char** Args);
  // Writes an error that escaped the message loop to the event log.
  void LogUnhandled(const std::exception_ptr& Error);
  void RegisterModules(bool Install, bool Silent);
  // The "Application Error" report of an error that ends the program.
  void ShowException(const std::exception_ptr& Error);

  bool HasSwitch(std::string_view SwitchName) const;
  // The command-line arguments, without the program path.
  const std::vector<std::string>& Arguments() const noexcept { return arguments_; }
  const THostFacilities& Facilities() const noexcept { return facilities_; }
  TEventLogger& EventLogger() noexcept { return *event_logger_; }
  int ModuleCount() const;
  TService* Modules(int index) const;
  bool Terminated() const noexcept { return terminated_; }

  // The program's exit code: 1 after an install or removal that failed.
  int ExitCode = 0;

 private:
  THostFacilities facilities_;
  std::vector<std::string> arguments_;
  std::unique_ptr<TEventLogger> event_logger_;
  bool terminated_ = false;
};

// The single service application; set while one exists.
extern TServiceApplication* Application;

// The service main entry of every module: DispatchEntry of Application.
void ServiceMainEntry(uint32_t ArgCount, char** Args);

}  // namespace service
