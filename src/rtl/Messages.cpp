#include "rtl/Messages.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <map>
#include <memory>

#include "rtl/Mutex.h"

namespace rtl {
namespace {

std::atomic<ThreadId> g_next_id{1};
thread_local ThreadId t_id = 0;

struct Queue {
  Mutex mu;
  CondVar cv;
  std::deque<TMessage> items GUARDED_BY(mu);
};

struct Registry {
  Mutex mu;
  std::map<ThreadId, std::shared_ptr<Queue>> queues GUARDED_BY(mu);
};

Registry& Queues() {
  static Registry* r = new Registry;  // lives to the end of the process
  return *r;
}

// Drops the thread's queue when the thread ends, so that posts to a thread
// that is gone fail as they do on Windows.
struct QueueHolder {
  std::shared_ptr<Queue> queue;
  ~QueueHolder() {
    if (!queue) return;
    Registry& r = Queues();
    MutexLock lock(r.mu);
    r.queues.erase(t_id);
  }
};
thread_local QueueHolder t_queue;

// A call handed to the main thread; error and done are written under the
// SyncState's lock.
struct SyncCall {
  const std::function<void()>* call;
  std::exception_ptr error;
  bool done = false;
};

struct SyncState {
  Mutex mu;
  CondVar cv;       // main thread waits for calls
  CondVar done_cv;  // callers wait for completion
  std::deque<SyncCall*> pending GUARDED_BY(mu);
  unsigned wake_count GUARDED_BY(mu) = 0;
};

SyncState& Sync() {
  static SyncState* s = new SyncState;
  return *s;
}

std::atomic<ThreadId> g_main{0};

// The thread running static initialisation is the program's main thread.
struct MainThreadInit {
  MainThreadInit() { g_main = CurrentThreadId(); }
} g_main_init;

Queue& OwnQueue() {
  if (!t_queue.queue) {
    auto q = std::make_shared<Queue>();
    Registry& r = Queues();
    MutexLock lock(r.mu);
    r.queues[CurrentThreadId()] = q;
    t_queue.queue = q;
  }
  return *t_queue.queue;
}

}  // namespace

ThreadId CurrentThreadId() noexcept {
  if (t_id == 0) t_id = g_next_id.fetch_add(1);
  return t_id;
}

namespace detail {
ThreadId ReserveThreadId() noexcept { return g_next_id.fetch_add(1); }
void AdoptThreadId(ThreadId id) noexcept { t_id = id; }
}  // namespace detail

ThreadId MainThreadId() noexcept { return g_main.load(); }
void SetMainThread() noexcept { g_main = CurrentThreadId(); }
bool IsMainThread() noexcept { return CurrentThreadId() == g_main.load(); }

void EnsureThreadQueue() { OwnQueue(); }

bool PostThreadMessage(ThreadId thread, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  std::shared_ptr<Queue> q;
  {
    Registry& r = Queues();
    MutexLock lock(r.mu);
    auto it = r.queues.find(thread);
    if (it == r.queues.end()) return false;
    q = it->second;
  }
  {
    MutexLock lock(q->mu);
    q->items.push_back(TMessage{message, wparam, lparam});
  }
  q->cv.SignalAll();
  return true;
}

bool GetMessage(TMessage& msg) {
  Queue& q = OwnQueue();
  MutexLock lock(q.mu);
  q.cv.Wait(q.mu, [&]() REQUIRES(q.mu) { return !q.items.empty(); });
  msg = q.items.front();
  q.items.pop_front();
  return msg.Message != WM_QUIT;
}

bool PeekMessage(TMessage& msg, bool remove) {
  Queue& q = OwnQueue();
  MutexLock lock(q.mu);
  if (q.items.empty()) return false;
  msg = q.items.front();
  if (remove) q.items.pop_front();
  return true;
}

bool WaitMessage(int timeout_ms) {
  Queue& q = OwnQueue();
  MutexLock lock(q.mu);
  auto ready = [&]() REQUIRES(q.mu) { return !q.items.empty(); };
  if (timeout_ms < 0) {
    q.cv.Wait(q.mu, ready);
    return true;
  }
  return q.cv.WaitFor(q.mu, std::chrono::milliseconds(timeout_ms), ready);
}

void Synchronize(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  SyncState& s = Sync();
  SyncCall item{&call, nullptr, false};
  {
    MutexLock lock(s.mu);
    s.pending.push_back(&item);
  }
  s.cv.SignalAll();
  // The main thread's loop learns of the call through WM_NULL.
  PostThreadMessage(MainThreadId(), WM_NULL, 0, 0);
  MutexLock lock(s.mu);
  s.done_cv.Wait(s.mu, [&] { return item.done; });
  if (item.error) std::rethrow_exception(item.error);
}

bool CheckSynchronize(int timeout_ms) {
  SyncState& s = Sync();
  std::deque<SyncCall*> calls;
  {
    MutexLock lock(s.mu);
    if (s.pending.empty() && timeout_ms > 0) {
      unsigned seen = s.wake_count;
      s.cv.WaitFor(s.mu, std::chrono::milliseconds(timeout_ms),
                   [&]() REQUIRES(s.mu) { return !s.pending.empty() || s.wake_count != seen; });
    }
    calls.swap(s.pending);
  }
  for (SyncCall* c : calls) {
    std::exception_ptr error;
    try {
      (*c->call)();
    } catch (...) {
      error = std::current_exception();
    }
    MutexLock lock(s.mu);
    c->error = error;
    c->done = true;
  }
  if (!calls.empty()) s.done_cv.SignalAll();
  return !calls.empty();
}

void WakeMainThread() {
  SyncState& s = Sync();
  {
    MutexLock lock(s.mu);
    ++s.wake_count;
  }
  s.cv.SignalAll();
}

}  // namespace rtl
