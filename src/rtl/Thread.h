// TThread: a framework thread object. Created running or suspended; the
// body is Run(). A terminate request is only a flag that Run() polls. When
// the body ends, OnTerminate runs on the main thread (through Synchronize),
// then the thread counts as finished; with FreeOnTerminate the object then
// frees itself.
//
// Construct through Create<T>(...) (or call AfterConstruction() once the
// most derived constructor has finished) so that the body never starts on
// a half-built object.
//
// The owner ends the thread before it frees the object: Terminate (or
// whatever else makes Run() return), then WaitFor, then delete. By the time
// ~TThread runs, the derived object is gone and Run() could no longer be
// called, so the destructor does not stop the thread: freeing an object
// whose thread was started and has not finished aborts the process with a
// message that says so. A thread that was never started may be freed at any
// time; a FreeOnTerminate thread frees itself and is never freed by others.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

#include "rtl/Messages.h"
#include "rtl/Mutex.h"
#include "rtl/SysUtils.h"

namespace rtl {

class TThread : public TObject {
 public:
  explicit TThread(bool create_suspended);
  ~TThread() override;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  template <class T, class... Args>
  static T* Create(Args&&... args) {
    T* thread = new T(std::forward<Args>(args)...);
    thread->AfterConstruction();
    return thread;
  }
  // Starts the thread unless it was created suspended.
  void AfterConstruction();

  // Lowers the suspend count; at 0 the thread runs (first start included).
  void Resume() EXCLUDES(mu_);
  // Suspends the calling thread, which must be this thread, until Resume.
  void Suspend() EXCLUDES(mu_);
  bool Suspended() const EXCLUDES(mu_);

  void Terminate() noexcept { terminated_ = true; }
  bool Terminated() const noexcept { return terminated_; }
  bool Finished() const EXCLUDES(mu_);
  // Waits until the body has ended and OnTerminate has run; on the main
  // thread it keeps serving synchronised calls meanwhile. Returns ReturnValue.
  int WaitFor() EXCLUDES(mu_);

  ThreadId ThreadID() const noexcept { return id_; }
  // The exception that escaped Run(), if any.
  std::exception_ptr FatalException() const noexcept { return fatal_; }

  // Both are read by the thread itself when its body ends, so they are set
  // before it starts: on an object created suspended and not yet resumed.
  // Setting them later raises EThread.
  bool FreeOnTerminate() const noexcept { return free_on_terminate_; }
  void SetFreeOnTerminate(bool value);
  void SetOnTerminate(std::function<void(TThread*)> handler);

 protected:
  virtual void Run() = 0;
  void Synchronize(const std::function<void()>& call) { rtl::Synchronize(call); }
  int ReturnValue = 0;

 private:
  void ThreadProc() EXCLUDES(mu_);
  void Launch() REQUIRES(mu_);
  void CheckNotStarted(const char* property) const EXCLUDES(mu_);

  mutable Mutex mu_;
  CondVar cv_;
  // Made by Launch under mu_; joined or detached by the destructor once the
  // thread has finished (or was never launched).
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<ThreadId> id_{0};
  int suspend_count_ GUARDED_BY(mu_) = 0;
  const bool created_suspended_ = false;
  bool launched_ GUARDED_BY(mu_) = false;
  bool finished_ GUARDED_BY(mu_) = false;
  // Written by the thread before it finishes; read after WaitFor.
  std::exception_ptr fatal_;
  // Set before the thread starts, read by it when the body ends.
  bool free_on_terminate_ = false;
  std::function<void(TThread*)> on_terminate_;
};

}  // namespace rtl
