#include "rtl/Thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace rtl {
namespace {

class FnThread : public TThread {
 public:
  FnThread(bool suspended, std::function<void(FnThread*)> body)
      : TThread(suspended), body_(std::move(body)) {}
  using TThread::Synchronize;
  using TThread::Terminated;

 protected:
  void Run() override { body_(this); }

 private:
  std::function<void(FnThread*)> body_;
};

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { SetMainThread(); }
};

TEST_F(ThreadTest, SuspendedThreadRunsOnResumeAndTerminationNoticeRunsOnMainThread) {
  std::atomic<bool> ran{false};
  ThreadId notice_thread = 0;
  auto* t = TThread::Create<FnThread>(true, [&](FnThread*) { ran = true; });
  t->SetOnTerminate([&](TThread*) { notice_thread = CurrentThreadId(); });
  EXPECT_TRUE(t->Suspended());
  EXPECT_FALSE(ran);
  t->Resume();
  t->WaitFor();  // serves the synchronised notice meanwhile
  EXPECT_TRUE(ran);
  EXPECT_EQ(notice_thread, CurrentThreadId());
  delete t;
}

TEST_F(ThreadTest, SynchronizeRunsOnMainThreadAndPassesExceptionsBack) {
  ThreadId where = 0;
  bool caught = false;
  auto* t = TThread::Create<FnThread>(false, [&](FnThread* self) {
    self->Synchronize([&] { where = CurrentThreadId(); });
    try {
      self->Synchronize([] { throw Exception("boom"); });
    } catch (const Exception& e) {
      caught = e.Message() == "boom";
    }
  });
  t->WaitFor();
  EXPECT_EQ(where, MainThreadId());
  EXPECT_TRUE(caught);
  delete t;
}

TEST_F(ThreadTest, TerminateRequestAndFreeOnTerminate) {
  std::atomic<bool> started{false}, freed_body_done{false};
  auto* t = TThread::Create<FnThread>(false, [&](FnThread* self) {
    started = true;
    while (!self->Terminated()) std::this_thread::yield();
    freed_body_done = true;
  });
  while (!started) std::this_thread::yield();
  t->Terminate();
  t->WaitFor();
  EXPECT_TRUE(freed_body_done);
  delete t;

  std::atomic<bool> done{false};
  auto* f = TThread::Create<FnThread>(true, [&](FnThread*) {});
  f->SetFreeOnTerminate(true);
  f->SetOnTerminate([&](TThread*) { done = true; });
  f->Resume();
  while (!done) CheckSynchronize(10);
}

TEST_F(ThreadTest, ThreadMessagesAndSelfSuspension) {
  std::atomic<bool> ready{false};
  std::atomic<int> got{0};
  auto* t = TThread::Create<FnThread>(false, [&](FnThread* self) {
    EnsureThreadQueue();
    ready = true;
    self->Suspend();
    TMessage m;
    while (GetMessage(m)) got = static_cast<int>(m.WParam);
  });
  while (!ready) std::this_thread::yield();
  while (!t->Suspended()) std::this_thread::yield();
  EXPECT_TRUE(PostThreadMessage(t->ThreadID(), WM_USER + 1, 7, 0));
  t->Resume();
  PostThreadMessage(t->ThreadID(), WM_QUIT, 0, 0);
  t->WaitFor();
  EXPECT_EQ(got, 7);
  delete t;
  EXPECT_FALSE(PostThreadMessage(9999999, WM_USER, 0, 0));
}

// The thread reads FreeOnTerminate and OnTerminate when its body ends, so
// neither may change once it has started.
TEST_F(ThreadTest, TerminationPropertiesAreFixedOnceTheThreadStarts) {
  std::atomic<bool> release{false};
  auto* t = TThread::Create<FnThread>(false, [&](FnThread*) {
    while (!release) std::this_thread::yield();
  });
  EXPECT_THROW(t->SetFreeOnTerminate(true), EThread);
  EXPECT_THROW(t->SetOnTerminate([](TThread*) {}), EThread);
  EXPECT_FALSE(t->FreeOnTerminate());
  release = true;
  t->WaitFor();
  EXPECT_THROW(t->SetOnTerminate([](TThread*) {}), EThread);
  delete t;
}

// The owner ends the thread before freeing it; freeing one that still runs
// stops the process with a message instead of letting the thread call into
// a destroyed object. A thread that never started is freed quietly.
// The body goes on after the terminate request (a body may take its time
// to notice one), so the thread surely still runs when it is freed. Under
// the thread sanitizer the freed object's vtable, still read by the running
// thread, is reported as a race before the abort: the misuse the message
// is about, so the report may come first.
TEST_F(ThreadTest, FreeingARunningThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SetMainThread();
        // The body must be running before the request: a thread asked to
        // terminate before it starts skips its body and finishes at once.
        static std::atomic<bool> started{false};
        auto* t = TThread::Create<FnThread>(false, [](FnThread*) {
          started = true;
          for (;;) std::this_thread::yield();
        });
        while (!started) std::this_thread::yield();
        t->Terminate();  // asked, but not waited for
        delete t;
      },
      "TThread freed while its thread is running");

  bool ran = false;
  delete TThread::Create<FnThread>(true, [&](FnThread*) { ran = true; });
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace rtl
