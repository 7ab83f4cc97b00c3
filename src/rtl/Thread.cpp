#include "rtl/Thread.h"

namespace rtl {

TThread::TThread(bool create_suspended)
    : suspend_count_(1), created_suspended_(create_suspended) {}

TThread::~TThread() {
  bool launched;
  {
    std::lock_guard<std::mutex> lock(mu_);
    launched = launched_;
  }
  if (launched && !Finished() && CurrentThreadId() != id_) {
    Terminate();
    {
      std::lock_guard<std::mutex> lock(mu_);
      suspend_count_ = 0;
    }
    cv_.notify_all();
    WaitFor();
  }
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

void TThread::AfterConstruction() {
  if (!created_suspended_) Resume();
}

void TThread::Launch() {
  launched_ = true;
  id_ = detail::ReserveThreadId();
  thread_ = std::thread([this] { ThreadProc(); });
}

void TThread::Resume() {
  std::lock_guard<std::mutex> lock(mu_);
  if (suspend_count_ <= 0) return;
  if (--suspend_count_ == 0) {
    if (!launched_)
      Launch();
    else
      cv_.notify_all();
  }
}

void TThread::Suspend() {
  std::unique_lock<std::mutex> lock(mu_);
  ++suspend_count_;
  cv_.wait(lock, [&] { return suspend_count_ <= 0; });
}

bool TThread::Suspended() const {
  std::lock_guard<std::mutex> lock(mu_);
  return suspend_count_ > 0;
}

bool TThread::Finished() const {
  std::lock_guard<std::mutex> lock(mu_);
  return finished_;
}

void TThread::ThreadProc() {
  detail::AdoptThreadId(id_);
  try {
    if (!Terminated()) Run();
  } catch (...) {
    fatal_ = std::current_exception();
  }
  const bool free_thread = FreeOnTerminate;
  if (OnTerminate) {
    try {
      Synchronize([this] { OnTerminate(this); });
    } catch (...) {
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    finished_ = true;
  }
  cv_.notify_all();
  WakeMainThread();
  if (free_thread) delete this;
}

int TThread::WaitFor() {
  if (CurrentThreadId() == id_) throw EThread("Thread cannot wait for itself");
  if (IsMainThread()) {
    while (!Finished()) CheckSynchronize(10);
  } else {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return finished_; });
  }
  return ReturnValue;
}

}  // namespace rtl
