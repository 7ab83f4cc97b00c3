#include "service/SvcMgr.h"

#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "rtl/SysUtils.h"

namespace service {

TServiceApplication* Application = nullptr;

namespace {

// The status report memory, one per process. Only one thread reports at a
// time (see the header), so it needs no lock of its own.
struct ReportMemory {
  TCurrentStatus state = csStartPending;
  uint32_t checkpoint = 0;
};
ReportMemory g_report;

bool IsPending(TCurrentStatus s) {
  return s == csStartPending || s == csStopPending || s == csContinuePending || s == csPausePending;
}

THostFacilities Resolve(THostFacilities f) {
  if (!f.Control) f.Control = &platform::DefaultServiceControl();
  if (!f.ConsoleControl) f.ConsoleControl = &platform::ConsoleServiceControl();
  if (!f.Manager) f.Manager = &platform::DefaultServiceManager();
  if (!f.EventLog) f.EventLog = &platform::DefaultEventLog();
  if (!f.Dialogs) f.Dialogs = &platform::DefaultDialogs();
  if (f.ExecutablePath.empty()) f.ExecutablePath = platform::ExecutablePath();
  return f;
}

std::string FileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* ClassNameOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const rtl::Exception& e) {
    return e.ClassName();
  } catch (...) {
    return "Exception";
  }
}

}  // namespace

void ResetStatusReportMemory() { g_report = ReportMemory{}; }

std::string SysErrorText(uint32_t code) {
  if (code == 0) return "A call to an OS function failed";
  return rtl::Format("System Error.  Code: %d.\r\n%s", static_cast<int>(code),
                     platform::SystemErrorMessage(code).c_str());
}

void RaiseLastOSError() { throw rtl::EOSError(SysErrorText(platform::GetLastError())); }

// ---------------------------------------------------------------------------
// TDependencies, TEventLogger

TDependency* TDependencies::Add() {
  items_.push_back(std::make_unique<TDependency>());
  return items_.back().get();
}

TEventLogger::TEventLogger(std::string SourceName, platform::EventLog& log)
    : source_(std::move(SourceName), log) {}

void TEventLogger::WriteEvent(const std::string& Text, uint16_t EventType, uint16_t Category,
                              uint32_t EventId) {
  // Its result is ignored: an entry that cannot be written is lost.
  source_.Write(EventType, Category, EventId, Text);
}

// ---------------------------------------------------------------------------
// TServiceThread

TServiceThread::TServiceThread(TService* Service) : rtl::TThread(true), service_(Service) {}

void TServiceThread::Run() {
  // Requests posted from now on are queued.
  rtl::EnsureThreadQueue();
  try {
    service_->SetState(csStartPending);
    bool started = true;
    if (service_->OnStart) service_->OnStart(service_, started);
    if (!started) return;
  } catch (...) {
    service_->LogFailure("start", std::current_exception());
    return;
  }
  try {
    service_->SetState(csRunning);
    if (service_->OnExecute)
      service_->OnExecute(service_);
    else
      ProcessControlRequests(true);
    ProcessControlRequests(false);
  } catch (...) {
    service_->LogFailure("execute", std::current_exception());
  }
}

void TServiceThread::ProcessControlRequests(bool WaitForRequest) {
  for (;;) {
    if (WaitForRequest && Terminated()) return;
    rtl::TMessage msg;
    const bool taken = WaitForRequest ? rtl::GetMessage(msg) : rtl::PeekMessage(msg, true);
    if (!taken) return;
    if (msg.Message == WM_CONTROL_REQUEST) {
      {
        rtl::MutexLock lock(wake_mu_);
        if (outstanding_ > 0) --outstanding_;
      }
      ProcessRequest(static_cast<uint32_t>(msg.WParam));
    }
    // Other thread messages have no window to go to.
  }
}

void TServiceThread::ProcessRequest(uint32_t Code) {
  static const char* const kActions[] = {"stop", "pause", "continue", "interrogate", "shutdown"};
  TService* s = service_;
  const TCurrentStatus old_state = s->CurrentState();
  try {
    bool ok = true;
    switch (Code) {
      case platform::kServiceControlStop:
        ok = s->HandleStop();
        break;
      case platform::kServiceControlPause:
        ok = s->HandlePause();
        break;
      case platform::kServiceControlContinue:
        ok = s->HandleContinue();
        break;
      case platform::kServiceControlInterrogate:
        s->HandleInterrogate();
        break;
      case platform::kServiceControlShutdown:
        s->HandleShutdown();
        break;
      default:
        ok = s->HandleCustomControl(Code);
        break;
    }
    if (!ok) s->SetState(old_state);
  } catch (...) {
    std::exception_ptr error = std::current_exception();
    if (Code != platform::kServiceControlShutdown) s->SetState(old_state);
    if (Code >= 1 && Code <= 5) {
      s->WriteEvent(rtl::Format("Service failed on %s: %s", kActions[Code - 1],
                                ExceptionMessage(error).c_str()));
    } else {
      s->WriteEvent(rtl::Format("Service failed in custom message(%d): %s", static_cast<int>(Code),
                                ExceptionMessage(error).c_str()));
    }
  }
}

bool TServiceThread::PostRequest(uint32_t Code) {
  rtl::MutexLock lock(wake_mu_);
  if (!rtl::PostThreadMessage(ThreadID(), WM_CONTROL_REQUEST, Code, 0)) return false;
  // Counted under the same lock as the post, so the count is never behind
  // the queue when the thread looks at it.
  ++outstanding_;
  wake_cv_.SignalAll();
  return true;
}

void TServiceThread::SuspendUntilRequest() {
  rtl::MutexLock lock(wake_mu_);
  suspended_ = true;
  wake_cv_.Wait(wake_mu_, [&]() REQUIRES(wake_mu_) { return outstanding_ > 0; });
  suspended_ = false;
}

bool TServiceThread::PausedSuspended() const {
  rtl::MutexLock lock(wake_mu_);
  return suspended_;
}

// ---------------------------------------------------------------------------
// TService

TService::TService(rtl::TComponent* Owner) : rtl::TComponent(Owner) {
  auto* app = dynamic_cast<TServiceApplication*>(Owner);
  facilities_ = Resolve(app ? app->Facilities() : THostFacilities{});
}

TService::~TService() = default;

std::string TService::DisplayName() const { return display_name_.empty() ? Name() : display_name_; }

void TService::SetInteractive(bool value) {
  if (value == interactive_) return;
  interactive_ = value;
  if (value) {
    password_.clear();
    service_start_name_.clear();
  }
}

void TService::SetPassword(std::string value) {
  if (value == password_) return;
  password_ = std::move(value);
  if (!password_.empty()) interactive_ = false;
}

void TService::SetServiceStartName(std::string value) {
  if (value == service_start_name_) return;
  service_start_name_ = std::move(value);
  if (!service_start_name_.empty()) interactive_ = false;
}

void TService::SetOnContinue(TContinueEvent handler) {
  on_continue_ = std::move(handler);
  AllowPause = true;
}

void TService::SetOnPause(TPauseEvent handler) {
  on_pause_ = std::move(handler);
  AllowPause = true;
}

void TService::SetOnStop(TStopEvent handler) {
  on_stop_ = std::move(handler);
  AllowStop = true;
}

bool TService::StopRequested() const {
  TServiceThread* t = control_thread_;
  return t != nullptr && t->Terminated();
}

void TService::EnterService(uint32_t /*ArgCount*/, char** /*Args*/) {
  status_handle_ =
      facilities_.Control->RegisterServiceCtrlHandlerA(Name().c_str(), ControlCallback());
  if (status_handle_ == 0) {
    WriteEvent(platform::SystemErrorMessage(platform::GetLastError()));
    return;
  }
  RunService();
}

void TService::RunService() {
  try {
    SetState(csStartPending);
    try {
      std::unique_ptr<TServiceThread> thread(rtl::TThread::Create<TServiceThread>(this));
      control_thread_ = thread.get();
      thread->Resume();
      thread->WaitFor();
      {
        rtl::MutexLock lock(control_mu_);
        control_thread_ = nullptr;
      }
    } catch (...) {
      {
        rtl::MutexLock lock(control_mu_);
        control_thread_ = nullptr;
      }
      SetState(csStopped);
      throw;
    }
    SetState(csStopped);
  } catch (...) {
    LogFailure("execute", std::current_exception());
  }
}

void TService::PostControl(uint32_t Code) {
  rtl::MutexLock lock(control_mu_);
  TServiceThread* t = control_thread_;
  if (!t) return;
  // A request that cannot be queued is dropped.
  t->PostRequest(Code);
}

void TService::RequestStop() {
  rtl::MutexLock lock(control_mu_);
  TServiceThread* t = control_thread_;
  if (!t) return;
  t->Terminate();
  // Wakes the control thread from its wait for a request.
  rtl::PostThreadMessage(t->ThreadID(), rtl::WM_NULL, 0, 0);
}

bool TService::HandleStop() {
  SetState(csStopPending);
  bool stopped = true;
  if (on_stop_) on_stop_(this, stopped);
  if (stopped) {
    if (TServiceThread* t = control_thread_) t->Terminate();
  }
  return stopped;
}

bool TService::HandlePause() {
  SetState(csPausePending);
  bool paused = true;
  if (on_pause_) on_pause_(this, paused);
  if (paused) {
    SetState(csPaused);
    if (TServiceThread* t = control_thread_) t->SuspendUntilRequest();
  }
  return paused;
}

bool TService::HandleContinue() {
  SetState(csContinuePending);
  bool continued = true;
  if (on_continue_) on_continue_(this, continued);
  if (continued) SetState(csRunning);
  return continued;
}

void TService::HandleInterrogate() { ReportState(); }

void TService::HandleShutdown() {
  SetState(csStopPending);
  struct EndThread {
    TService* s;
    ~EndThread() {
      if (TServiceThread* t = s->control_thread_) t->Terminate();
    }
  } end{this};
  if (OnShutdown) OnShutdown(this);
}

bool TService::HandleCustomControl(uint32_t /*Code*/) { return true; }

void TService::SetState(TCurrentStatus State) {
  current_state_ = State;
  ReportState();
}

void TService::ReportState() {
  const TCurrentStatus state = current_state_;
  platform::ServiceStatus status;
  status.ServiceType = SystemServiceType();
  status.CurrentState = static_cast<uint32_t>(state) + 1;
  status.ControlsAccepted = state == csStartPending ? 0 : SystemControlsAccepted();
  if (state == csStopped) {
    status.Win32ExitCode = Win32ErrCode;
    status.ServiceSpecificExitCode = ErrCode;
    if (!StatusText.empty()) status.Text = StatusText.c_str();
  } else if (state == csRunning && !RunningText.empty()) {
    status.Text = RunningText.c_str();
  }
  status.CheckPoint = IsPending(state) && state == g_report.state ? g_report.checkpoint + 1 : 0;
  status.WaitHint = static_cast<uint32_t>(WaitHint);
  g_report.state = state;
  g_report.checkpoint = status.CheckPoint;
  if (!facilities_.Control->SetServiceStatus(status_handle_, status)) {
    WriteEvent(platform::SystemErrorMessage(platform::GetLastError()));
  }
}

void TService::WriteEvent(const std::string& Text, uint16_t EventType, uint16_t Category,
                          uint32_t EventId) {
  TEventLogger* logger;
  {
    rtl::MutexLock lock(logger_mu_);
    if (!logger_) logger_ = std::make_unique<TEventLogger>(Name(), *facilities_.EventLog);
    logger = logger_.get();
  }
  logger->WriteEvent(Text, EventType, Category, EventId);
}

void TService::LogFailure(const char* action, std::exception_ptr error) {
  WriteEvent(rtl::Format("Service failed on %s: %s", action, ExceptionMessage(error).c_str()));
}

uint32_t TService::SystemServiceType() const {
  switch (ServiceType) {
    case stDevice:
      return platform::kServiceKernelDriver;
    case stFileSystem:
      return platform::kServiceFileSystemDriver;
    case stWin32:
      break;
  }
  uint32_t type = platform::kServiceWin32OwnProcess;
  if (auto* app = dynamic_cast<TServiceApplication*>(Owner())) {
    if (app->ModuleCount() > 1) type = platform::kServiceWin32ShareProcess;
  }
  if (interactive_) type |= platform::kServiceInteractiveProcess;
  return type;
}

uint32_t TService::SystemControlsAccepted() const {
  uint32_t accepted = platform::kServiceAcceptShutdown;
  if (AllowStop) accepted |= platform::kServiceAcceptStop;
  if (AllowPause) accepted |= platform::kServiceAcceptPauseContinue;
  return accepted;
}

uint32_t TService::SystemStartType() const {
  switch (StartType) {
    case stBoot:
      return ServiceType == stDevice ? platform::kServiceBootStart : platform::kServiceAutoStart;
    case stSystem:
      return ServiceType == stDevice ? platform::kServiceSystemStart : platform::kServiceAutoStart;
    case stAuto:
      return platform::kServiceAutoStart;
    case stManual:
      return platform::kServiceDemandStart;
    case stDisabled:
      return platform::kServiceDisabled;
  }
  return platform::kServiceAutoStart;
}

uint32_t TService::SystemErrorControl() const {
  switch (ErrorSeverity) {
    case esIgnore:
      return platform::kServiceErrorIgnore;
    case esNormal:
      return platform::kServiceErrorNormal;
    case esSevere:
      return platform::kServiceErrorSevere;
    case esCritical:
      return platform::kServiceErrorCritical;
  }
  return platform::kServiceErrorNormal;
}

std::string TService::DependencyList() const {
  std::string list;
  if (dependencies_.Count() == 0) return list;
  for (int i = 0; i < dependencies_.Count(); ++i) {
    const TDependency& d = dependencies_.Items(i);
    if (d.IsGroup) list += '+';
    list += d.Name;
    list += '\0';
  }
  list += '\0';
  return list;
}

void TService::InstallModule(platform::ScHandle Manager) {
  platform::ServiceManager& manager = *facilities_.Manager;
  const std::string path = facilities_.ExecutablePath;
  // The command line the manager starts is the path in quotes, so that a
  // path with spaces ("C:\Program Files\...") is never read as a shorter
  // program with arguments, which another program placed there would take.
  const std::string command = "\"" + path + "\"";
  if (BeforeInstall) BeforeInstall(this);
  // An entry whose program the service could never start is not made.
  const std::string hidden = manager.HiddenFromServices(path);
  if (!hidden.empty()) throw rtl::Exception(hidden);
  const std::string name = Name();
  const std::string display = DisplayName();
  const std::string dependencies = DependencyList();
  uint32_t tag = TagID;
  const platform::ScopedScHandle svc(
      manager,
      manager.CreateServiceA(
          Manager, name.c_str(), display.c_str(), platform::kServiceAllAccess, SystemServiceType(),
          SystemStartType(), SystemErrorControl(), command.c_str(), LoadGroup.c_str(),
          TagID != 0 ? &tag : nullptr, dependencies.c_str(),
          service_start_name_.empty() ? nullptr : service_start_name_.c_str(), password_.c_str()));
  if (TagID != 0) TagID = tag;
  if (!svc) RaiseLastOSError();

  // What an administrator sees of the entry. A failure here leaves the
  // entry in place (it runs as well without these) and is reported once
  // the rest is done.
  std::string incomplete;
  auto step = [&incomplete](bool ok, const char* what) {
    if (ok || !incomplete.empty()) return;
    incomplete = rtl::Format("Service registered, but %s failed: %s", what,
                             SysErrorText(platform::GetLastError()).c_str());
  };
  {
    if (!Description.empty()) {
      step(manager.ChangeServiceConfig2A(svc.get(),
                                         platform::ServiceDescription{Description.c_str()}),
           "setting its description (ChangeServiceConfig2A)");
    }
    if (RestartDelay != 0) {
      // The same action for the first, second and every later failure.
      platform::ServiceFailureActions actions;
      actions.ResetPeriod = FailureResetPeriod;
      actions.Actions.assign(3, {platform::kScActionRestart, RestartDelay});
      step(manager.ChangeServiceConfig2A(svc.get(), actions),
           "setting its restart on failure (ChangeServiceConfig2A)");
    }
    const bool source = manager.InstallEventSource(
        name.c_str(), path.c_str(), platform::kEventSourceTypesErrorWarningInformation);
    step(source, "registering its event log source");
    if (AfterInstall) {
      try {
        AfterInstall(this);
      } catch (...) {
        manager.DeleteService(svc.get());
        if (source) manager.UninstallEventSource(name.c_str());
        throw;
      }
    }
  }
  if (!incomplete.empty()) throw rtl::EOSError(incomplete);
}

void TService::UninstallModule(platform::ScHandle Manager) {
  platform::ServiceManager& manager = *facilities_.Manager;
  if (BeforeUninstall) BeforeUninstall(this);
  const std::string name = Name();
  // The event source goes with the entry: when it is deleted now, was
  // already marked for deletion, or is not there at all (so that a second
  // removal cleans up after a first one that half failed). An entry that
  // stays keeps its source.
  bool source_removed = true;
  uint32_t source_error = 0;
  auto remove_source = [&] {
    source_removed = manager.UninstallEventSource(name.c_str());
    if (!source_removed) source_error = platform::GetLastError();
  };
  const platform::ScopedScHandle svc(
      manager, manager.OpenServiceA(Manager, name.c_str(), platform::kServiceAllAccess));
  if (!svc) {
    const uint32_t error = platform::GetLastError();
    if (error == platform::kErrorServiceDoesNotExist) remove_source();
    platform::SetLastError(error);
    RaiseLastOSError();
  }
  {
    const bool deleted = manager.DeleteService(svc.get());
    const uint32_t error = deleted ? 0 : platform::GetLastError();
    if (deleted || error == platform::kErrorServiceMarkedForDelete) remove_source();
    if (!deleted) {
      platform::SetLastError(error);
      RaiseLastOSError();
    }
  }
  if (AfterUninstall) AfterUninstall(this);
  if (!source_removed) {
    throw rtl::EOSError(rtl::Format("Service removed, but removing its event log source failed: %s",
                                    SysErrorText(source_error).c_str()));
  }
}

// ---------------------------------------------------------------------------
// TServiceStartThread

TServiceStartThread::TServiceStartThread(std::vector<platform::ServiceTableEntry> Table,
                                         platform::ServiceControl& Control,
                                         rtl::ThreadId MainThread)
    : rtl::TThread(false), table_(std::move(Table)), control_(Control), main_thread_(MainThread) {}

void TServiceStartThread::Run() {
  // Whichever way the body ends, the main thread's loop ends with it.
  struct PostQuit {
    rtl::ThreadId main;
    ~PostQuit() { rtl::PostThreadMessage(main, rtl::WM_QUIT, 0, 0); }
  } quit{main_thread_};
  if (control_.StartServiceCtrlDispatcherA(table_.data()))
    dispatch_result_ = 0;
  else
    dispatch_result_ = platform::GetLastError();
}

// ---------------------------------------------------------------------------
// TServiceApplication

TServiceApplication::TServiceApplication(THostFacilities Facilities)
    : rtl::TComponent(nullptr), facilities_(Resolve(std::move(Facilities))) {
  arguments_ = facilities_.Arguments ? *facilities_.Arguments : platform::CommandLineArguments();
  // The modules take their facilities from here, so the choice is made
  // before any exists.
  if (HasSwitch(kSwitchConsole)) facilities_.Control = facilities_.ConsoleControl;
  event_logger_ =
      std::make_unique<TEventLogger>(FileNameOf(facilities_.ExecutablePath), *facilities_.EventLog);
  Application = this;
}

TServiceApplication::~TServiceApplication() {
  if (Application == this) Application = nullptr;
}

bool TServiceApplication::HasSwitch(std::string_view SwitchName) const {
  return service::HasSwitch(arguments_, SwitchName);
}

int TServiceApplication::ModuleCount() const {
  int n = 0;
  for (int i = 0; i < ComponentCount(); ++i) {
    if (dynamic_cast<TService*>(Components(i))) ++n;
  }
  return n;
}

TService* TServiceApplication::Modules(int index) const {
  for (int i = 0; i < ComponentCount(); ++i) {
    if (auto* s = dynamic_cast<TService*>(Components(i))) {
      if (index-- == 0) return s;
    }
  }
  return nullptr;
}

void TServiceApplication::PrepareApplication() {
  // No windows: the program has none of its own and shows none as a
  // service. The main thread's queue is its message loop.
  rtl::EnsureThreadQueue();
}

void TServiceApplication::RunApplication() {
  if (HasSwitch(kSwitchInstall)) {
    RegisterModules(true, HasSwitch(kSwitchSilent));
    return;
  }
  if (HasSwitch(kSwitchUninstall)) {
    RegisterModules(false, HasSwitch(kSwitchSilent));
    return;
  }

  // The queue must exist before the dispatcher thread can post WM_QUIT.
  rtl::EnsureThreadQueue();
  facilities_.Control->PrepareDispatcher();
  std::vector<platform::ServiceTableEntry> table(static_cast<size_t>(ModuleCount()) + 1,
                                                 platform::ServiceTableEntry{nullptr, nullptr});
  std::vector<std::string> names;
  for (int i = 0; i < ModuleCount(); ++i) names.push_back(Modules(i)->Name());
  for (size_t i = 0; i < names.size(); ++i) table[i] = {names[i].c_str(), &ServiceMainEntry};

  std::unique_ptr<TServiceStartThread> start(rtl::TThread::Create<TServiceStartThread>(
      std::move(table), *facilities_.Control, rtl::CurrentThreadId()));
  terminated_ = false;
  while (!terminated_) {
    rtl::TMessage msg;
    if (!rtl::GetMessage(msg)) {
      terminated_ = true;
      break;
    }
    try {
      // WM_NULL: another thread handed over a call. WM_ENDSESSION is
      // swallowed; nothing else has anywhere to go.
      if (msg.Message == rtl::WM_NULL) rtl::CheckSynchronize();
    } catch (...) {
      LogUnhandled(std::current_exception());
    }
  }
  terminated_ = true;
  start->WaitFor();
  if (start->DispatchResult() != 0) {
    event_logger_->WriteEvent(platform::SystemErrorMessage(start->DispatchResult()),
                              platform::kEventLogErrorType, 0, 0);
  }
}

void TServiceApplication::DispatchEntry(uint32_t ArgCount, char** Args) {
  if (ArgCount == 0 || !Args || !Args[0]) return;
  for (int i = 0; i < ModuleCount(); ++i) {
    TService* s = Modules(i);
    if (rtl::SameText(s->Name(), Args[0])) {
      s->EnterService(ArgCount, Args);
      return;
    }
  }
}

void TServiceApplication::LogUnhandled(const std::exception_ptr& Error) {
  event_logger_->WriteEvent(ExceptionMessage(Error), platform::kEventLogErrorType, 0, 0);
}

void TServiceApplication::RegisterModules(bool Install, bool Silent) {
  platform::ServiceManager& manager = *facilities_.Manager;
  const platform::ScopedScHandle handle(
      manager, manager.OpenSCManagerA(nullptr, nullptr, platform::kScManagerAllAccess));
  if (!handle) RaiseLastOSError();

  bool success = true;
  for (int i = 0; i < ModuleCount(); ++i) {
    TService* s = Modules(i);
    try {
      if (Install)
        s->InstallModule(handle.get());
      else
        s->UninstallModule(handle.get());
    } catch (...) {
      success = false;
      const std::string message = ExceptionMessage(std::current_exception());
      const char* format = Install ? "Service \"%s\" failed to install with error: \"%s\""
                                   : "Service \"%s\" failed to uninstall with error: \"%s\"";
      facilities_.Dialogs->MessageBoxA(
          "Error", rtl::Format(format, s->DisplayName().c_str(), message.c_str()),
          platform::DialogIcon::Error);
    }
  }
  if (success && !Silent) {
    facilities_.Dialogs->MessageBoxA(
        "Information",
        Install ? "Service installed successfully" : "Service uninstalled successfully",
        platform::DialogIcon::Information);
  }
  // A failure is not a success: the exit code says so after the dialog.
  if (!success) ExitCode = 1;
}

void TServiceApplication::ShowException(const std::exception_ptr& Error) {
  facilities_.Dialogs->MessageBoxA(
      "Application Error",
      rtl::Format("Exception %s in module %s.\r\n%s", ClassNameOf(Error),
                  FileNameOf(facilities_.ExecutablePath).c_str(), ExceptionMessage(Error).c_str()),
      platform::DialogIcon::Error, true);
}

void ServiceMainEntry(uint32_t ArgCount, char** Args) {
  if (TServiceApplication* app = Application) app->DispatchEntry(ArgCount, Args);
}

}  // namespace service
