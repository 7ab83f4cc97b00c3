#include "rtl/Mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace rtl {
namespace {

struct Box {
  Mutex mu;
  CondVar changed;
  int value GUARDED_BY(mu) = 0;
};

// A wait with a predicate returns once another thread made it true under
// the lock, and a timed one says whether it came true or the time ran out.
TEST(MutexTest, WaitsForWhatAnotherThreadChanges) {
  Box box;
  std::thread setter([&] {
    for (int i = 1; i <= 3; ++i) {
      MutexLock lock(box.mu);
      box.value = i;
      box.changed.SignalAll();
    }
  });
  {
    MutexLock lock(box.mu);
    box.changed.Wait(box.mu, [&]() REQUIRES(box.mu) { return box.value == 3; });
    EXPECT_EQ(box.value, 3);
    EXPECT_TRUE(box.changed.WaitFor(box.mu, std::chrono::hours(1),
                                    [&]() REQUIRES(box.mu) { return box.value == 3; }));
    EXPECT_FALSE(box.changed.WaitFor(box.mu, std::chrono::milliseconds(20),
                                     [&]() REQUIRES(box.mu) { return box.value == 4; }));
    EXPECT_FALSE(box.changed.WaitFor(box.mu, std::chrono::milliseconds(1)));
  }
  setter.join();
}

// A scoped lock given up in between lets another thread take the mutex.
TEST(MutexTest, ScopedLockCanBeGivenUpAndTakenAgain) {
  Box box;
  MutexLock lock(box.mu);
  lock.Unlock();
  std::thread other([&] {
    MutexLock inner(box.mu);
    box.value = 7;
  });
  other.join();
  lock.Lock();
  EXPECT_EQ(box.value, 7);
}

}  // namespace
}  // namespace rtl
