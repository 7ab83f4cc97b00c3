#include "rtl/Thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "rtl/DateTime.h"

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
  t->OnTerminate = [&](TThread*) { notice_thread = CurrentThreadId(); };
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
  f->FreeOnTerminate = true;
  f->OnTerminate = [&](TThread*) { done = true; };
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

TEST(DateTimeTest, EncodeAndDecode) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  TDateTime t = EncodeDate(2026, 12, 8) + EncodeTime(20, 57, 6, 0);
  TDateTimeParts p = DecodeDateTime(t);
  EXPECT_EQ(p.Year, 2026);
  EXPECT_EQ(p.Month, 12);
  EXPECT_EQ(p.Day, 8);
  EXPECT_EQ(p.Hour, 20);
  EXPECT_EQ(p.Minute, 57);
  EXPECT_EQ(p.Second, 6);
  EXPECT_EQ(DecodeDateTime(0.0).Year, 1899);
  EXPECT_THROW(EncodeDate(2026, 2, 29), EConvertError);
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
}

}  // namespace
}  // namespace rtl
