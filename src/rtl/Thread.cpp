#include "rtl/Thread.h"

#include <cstdio>
#include <cstdlib>

namespace rtl {

TThread::TThread(bool create_suspended) : suspend_count_(1), created_suspended_(create_suspended) {}

TThread::~TThread() {
  bool running;
  {
    MutexLock lock(mu_);
    running = launched_ && !finished_;
  }
  if (running) {
    // Run() belongs to the derived object, which is already gone: going on
    // would let the thread call into freed memory.
    std::fprintf(stderr,
                 "TThread freed while its thread is running: its owner must end it "
                 "(Terminate, WaitFor) before freeing it\n");
    std::fflush(stderr);
    std::abort();
  }
  if (thread_.joinable()) {
    // A FreeOnTerminate thread frees itself on its own stack.
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

void TThread::CheckNotStarted(const char* property) const {
  MutexLock lock(mu_);
  if (launched_) throw EThread(Format("Cannot set %s of a thread that has started", property));
}

void TThread::SetFreeOnTerminate(bool value) {
  CheckNotStarted("FreeOnTerminate");
  free_on_terminate_ = value;
}

void TThread::SetOnTerminate(std::function<void(TThread*)> handler) {
  CheckNotStarted("OnTerminate");
  on_terminate_ = std::move(handler);
}

void TThread::AfterConstruction() {
  if (!created_suspended_) Resume();
}

void TThread::Launch() {
  id_ = detail::ReserveThreadId();
  thread_ = std::thread([this] { ThreadProc(); });
  // Only once the thread exists: a failed start leaves an object that can
  // still be freed.
  launched_ = true;
}

void TThread::Resume() {
  MutexLock lock(mu_);
  if (suspend_count_ <= 0) return;
  if (--suspend_count_ == 0) {
    if (!launched_)
      Launch();
    else
      cv_.SignalAll();
  }
}

void TThread::Suspend() {
  MutexLock lock(mu_);
  ++suspend_count_;
  cv_.Wait(mu_, [&]() REQUIRES(mu_) { return suspend_count_ <= 0; });
}

bool TThread::Suspended() const {
  MutexLock lock(mu_);
  return suspend_count_ > 0;
}

bool TThread::Finished() const {
  MutexLock lock(mu_);
  return finished_;
}

void TThread::ThreadProc() {
  detail::AdoptThreadId(id_);
  try {
    if (!Terminated()) Run();
  } catch (...) {
    fatal_ = std::current_exception();
  }
  const bool free_thread = free_on_terminate_;
  if (on_terminate_) {
    try {
      Synchronize([this] { on_terminate_(this); });
    } catch (...) {
    }
  }
  {
    MutexLock lock(mu_);
    finished_ = true;
  }
  cv_.SignalAll();
  WakeMainThread();
  if (free_thread) delete this;
}

int TThread::WaitFor() {
  if (CurrentThreadId() == id_) throw EThread("Thread cannot wait for itself");
  if (IsMainThread()) {
    while (!Finished()) CheckSynchronize(10);
  } else {
    MutexLock lock(mu_);
    cv_.Wait(mu_, [&]() REQUIRES(mu_) { return finished_; });
  }
  return ReturnValue;
}

}  // namespace rtl
