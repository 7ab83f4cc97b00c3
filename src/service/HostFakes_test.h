// Recording fakes of the platform facilities the service host works
// through, for the service unit tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/EventLog.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"
#include "platform/SystemError.h"

namespace service::testing {

// Records every status report. As a dispatcher it behaves like a small
// service manager: it runs the first service's main on a thread of its
// own, calls on_running (on the dispatcher thread) once the service has
// reported running, and returns when the service main has returned.
class FakeServiceControl : public platform::ServiceControl {
 public:
  uint32_t dispatch_error = 0;  // the dispatcher fails at once with this
  uint32_t register_error = 0;  // RegisterServiceCtrlHandlerA fails with this
  uint32_t status_error = 0;    // SetServiceStatus fails with this
  std::function<void(FakeServiceControl&)> on_running;
  std::function<void()> before_main;  // on the dispatcher thread
  bool prepared = false;

  void PrepareDispatcher() override { prepared = true; }

  // Back to a fresh manager, for the next service life.
  void Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    dispatch_error = register_error = status_error = 0;
    on_running = nullptr;
    before_main = nullptr;
    reports_.clear();
    texts_.clear();
    handler_ = nullptr;
    registered_name_.clear();
  }

  bool StartServiceCtrlDispatcherA(const platform::ServiceTableEntry* table) override {
    if (dispatch_error) {
      platform::SetLastError(dispatch_error);
      return false;
    }
    if (before_main) before_main();
    std::string name = table[0].ServiceName;
    platform::ServiceMainFunction main = table[0].ServiceProc;
    std::thread service_main([name, main]() mutable {
      char* argv[] = {name.data(), nullptr};
      main(1, argv);
    });
    if (on_running) {
      WaitFor([](const platform::ServiceStatus& s) {
        return s.CurrentState == platform::kServiceRunning;
      });
      on_running(*this);
    }
    service_main.join();
    return true;
  }

  platform::ServiceStatusHandle RegisterServiceCtrlHandlerA(
      const char* service_name, platform::ServiceControlHandler handler) override {
    if (register_error) {
      platform::SetLastError(register_error);
      return 0;
    }
    std::lock_guard<std::mutex> lock(mu_);
    registered_name_ = service_name;
    handler_ = handler;
    return 42;
  }

  bool SetServiceStatus(platform::ServiceStatusHandle handle,
                        const platform::ServiceStatus& status) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      reports_.push_back(status);
      last_text_ = status.Text ? status.Text : "";
      texts_.push_back(last_text_);
      reports_.back().Text = nullptr;  // points into the service; see Texts
    }
    cv_.notify_all();
    if (status_error) {
      platform::SetLastError(status_error);
      return false;
    }
    return handle == 42;
  }

  // The manager's side of a control: calls the registered handler.
  void Control(uint32_t code) {
    platform::ServiceControlHandler h;
    {
      std::lock_guard<std::mutex> lock(mu_);
      h = handler_;
    }
    if (h) h(code);
  }

  // Waits (at most 10 s) until there are n reports; returns them all.
  std::vector<platform::ServiceStatus> WaitForReports(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return reports_.size() >= n; });
    return reports_;
  }

  // Waits (at most 10 s) for a report that matches.
  template <class Pred>
  void WaitFor(Pred pred) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const auto& r : reports_) {
        if (pred(r)) return true;
      }
      return false;
    });
  }

  std::vector<platform::ServiceStatus> Reports() {
    std::lock_guard<std::mutex> lock(mu_);
    return reports_;
  }
  // The text of the last report (systemd's STATUS=), or "".
  std::string LastText() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_text_;
  }
  // The text of every report, in order ("" for none).
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mu_);
    return texts_;
  }
  std::string RegisteredName() {
    std::lock_guard<std::mutex> lock(mu_);
    return registered_name_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<platform::ServiceStatus> reports_;
  platform::ServiceControlHandler handler_ = nullptr;
  std::string registered_name_;
  std::string last_text_;
  std::vector<std::string> texts_;
};

struct Entry {
  std::string source;
  uint16_t type;
  std::string text;
};

class FakeEventLog : public platform::EventLog {
 public:
  int register_failures = 0;  // the first n registrations fail

  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.clear();
  }

  platform::EventSourceHandle RegisterEventSourceA(const char* server,
                                                   const char* source) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (register_failures > 0) {
      --register_failures;
      platform::SetLastError(5);
      return 0;
    }
    sources_.push_back(source);
    return sources_.size();
  }
  bool ReportEventA(platform::EventSourceHandle source, uint16_t type, uint16_t category,
                    uint32_t event_id, const char* text) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (source == 0 || source > sources_.size()) return false;
    entries_.push_back({sources_[source - 1], type, text});
    return true;
  }
  bool DeregisterEventSource(platform::EventSourceHandle source) override { return true; }

  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> sources_;
  std::vector<Entry> entries_;
};

struct Shown {
  std::string caption;
  std::string text;
  platform::DialogIcon icon;
  bool task_modal;
};

class FakeDialogs : public platform::Dialogs {
 public:
  void MessageBoxA(const std::string& caption, const std::string& text, platform::DialogIcon icon,
                   bool task_modal) override {
    shown.push_back({caption, text, icon, task_modal});
  }
  std::vector<Shown> shown;
};

struct Created {
  std::string display_name;
  uint32_t access, type, start, error_control;
  std::string path, load_group;
  bool tag_requested;
  std::string dependencies;  // up to and including the closing NUL
  bool start_name_given;
  std::string password;
  std::string description;  // set afterwards through ChangeServiceConfig2A
  platform::ServiceFailureActions failure_actions;
};

// A registered event source.
struct Source {
  std::string message_file;
  uint32_t types;
};

// The manager's database as a map from service name to its registration.
class FakeServiceManager : public platform::ServiceManager {
 public:
  uint32_t open_error = 0;
  // The calls after the entry exists fail with these (0: they succeed).
  uint32_t description_error = 0, failure_actions_error = 0, delete_error = 0;
  uint32_t install_source_error = 0, uninstall_source_error = 0;
  std::map<std::string, Created> services;
  std::map<std::string, Source> sources;
  std::vector<std::string> deleted;
  int open_handles = 0;
  // What HiddenFromServices answers, for every path.
  std::string hidden;

  std::string HiddenFromServices(const std::string&) const override { return hidden; }

  platform::ScHandle OpenSCManagerA(const char*, const char*, uint32_t access) override {
    if (open_error) {
      platform::SetLastError(open_error);
      return 0;
    }
    ++open_handles;
    return 1;
  }
  platform::ScHandle CreateServiceA(platform::ScHandle manager, const char* name,
                                    const char* display, uint32_t access, uint32_t type,
                                    uint32_t start, uint32_t error_control, const char* path,
                                    const char* group, uint32_t* tag, const char* deps,
                                    const char* start_name, const char* password) override {
    if (services.count(name)) {
      platform::SetLastError(1073);
      return 0;
    }
    std::string dep_list;
    for (const char* d = deps; d && *d; d += std::string(d).size() + 1) {
      dep_list += d;
      dep_list += '\0';
    }
    services[name] = {display,
                      access,
                      type,
                      start,
                      error_control,
                      path,
                      group,
                      tag != nullptr,
                      dep_list,
                      start_name != nullptr,
                      password,
                      {},
                      {}};
    ++open_handles;
    return Handle(name);
  }
  platform::ScHandle OpenServiceA(platform::ScHandle, const char* name, uint32_t) override {
    if (!services.count(name)) {
      platform::SetLastError(1060);
      return 0;
    }
    ++open_handles;
    return Handle(name);
  }
  bool DeleteService(platform::ScHandle h) override {
    if (delete_error) {
      platform::SetLastError(delete_error);
      return false;
    }
    std::string name = names_.at(h);
    services.erase(name);
    deleted.push_back(name);
    return true;
  }
  bool ChangeServiceConfig2A(platform::ScHandle h,
                             const platform::ServiceDescription& info) override {
    if (description_error) {
      platform::SetLastError(description_error);
      return false;
    }
    services.at(names_.at(h)).description = info.Description;
    return true;
  }
  bool ChangeServiceConfig2A(platform::ScHandle h,
                             const platform::ServiceFailureActions& info) override {
    if (failure_actions_error) {
      platform::SetLastError(failure_actions_error);
      return false;
    }
    services.at(names_.at(h)).failure_actions = info;
    return true;
  }
  bool InstallEventSource(const char* source, const char* file, uint32_t types) override {
    if (install_source_error) {
      platform::SetLastError(install_source_error);
      return false;
    }
    sources[source] = {file, types};
    return true;
  }
  bool UninstallEventSource(const char* source) override {
    if (uninstall_source_error) {
      platform::SetLastError(uninstall_source_error);
      return false;
    }
    sources.erase(source);
    return true;
  }
  bool CloseServiceHandle(platform::ScHandle) override {
    --open_handles;
    return true;
  }

 private:
  platform::ScHandle Handle(const std::string& name) {
    platform::ScHandle h = 100 + names_.size();
    names_[h] = name;
    return h;
  }
  std::map<platform::ScHandle, std::string> names_;
};

}  // namespace service::testing
