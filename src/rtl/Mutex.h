// A mutex, its scoped lock and a condition variable that clang's
// thread-safety analysis understands (see ThreadAnnotations.h): the
// standard library's own types carry no such attributes, so a field marked
// GUARDED_BY a std::mutex could not be checked.
//
// A field a Mutex guards is marked GUARDED_BY(mu_); a function that expects
// the lock held is marked REQUIRES(mu_), one that takes it EXCLUDES(mu_).
// A predicate handed to CondVar runs with the lock held, so a lambda that
// reads guarded fields says so: [&]() REQUIRES(mu_) { return done_; }.
//
// Any thread. None of these is copied or moved.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "rtl/ThreadAnnotations.h"

namespace rtl {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the lock where it cannot see
  // it (checked by nothing at run time).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex from construction to destruction; Unlock and Lock give it
// up and take it again in between.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mu_.Unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mu_.Lock();
    held_ = true;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

// Waits for a change made under a Mutex. Every wait gives the lock up while
// it sleeps and holds it again when it returns; a predicate is evaluated
// with the lock held, and spurious wake-ups are waited through.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Signal() noexcept { cv_.notify_one(); }
  void SignalAll() noexcept { cv_.notify_all(); }

  // Waits for one wake-up (or a spurious one).
  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // The predicate forms run ready() with mu held. The analysis cannot tell
  // that the caller's name for the lock (which the predicate's REQUIRES
  // names) is mu here, so it is told nothing about their bodies; the
  // callers' REQUIRES(mu) is checked all the same.

  // Waits until ready() is true.
  template <class Predicate>
  void Wait(Mutex& mu, Predicate ready) REQUIRES(mu) NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) Wait(mu);
  }
  // Waits until ready() is true or the time is up; returns ready().
  template <class Rep, class Period, class Predicate>
  bool WaitFor(Mutex& mu, std::chrono::duration<Rep, Period> timeout, Predicate ready)
      REQUIRES(mu) NO_THREAD_SAFETY_ANALYSIS {
    return WaitUntil(mu, std::chrono::steady_clock::now() + timeout, ready);
  }
  template <class Predicate>
  bool WaitUntil(Mutex& mu, std::chrono::steady_clock::time_point deadline, Predicate ready)
      REQUIRES(mu) NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) {
      if (WaitUntil(mu, deadline)) continue;
      return ready();
    }
    return true;
  }
  // Waits for one wake-up or the time; false when the time is up.
  template <class Rep, class Period>
  bool WaitFor(Mutex& mu, std::chrono::duration<Rep, Period> timeout) REQUIRES(mu) {
    return WaitUntil(mu, std::chrono::steady_clock::now() + timeout);
  }
  bool WaitUntil(Mutex& mu, std::chrono::steady_clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const std::cv_status status = cv_.wait_until(lock, deadline);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

 private:
  std::condition_variable cv_;
};

}  // namespace rtl
