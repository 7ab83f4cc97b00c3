#include "service/Printing.h"

#include <gtest/gtest.h>

#include <string>

#include "watch/WatchFakes_test.h"

namespace service {
namespace {

using watch::testing::FailAt;
using watch::testing::FakeEvents;
using watch::testing::FakeParts;

// Every report the wrapped sender sends is printed once, in order: a batch
// that stops at a failure prints what went out; a batch whose first report
// fails prints that one (it is handed over again later); stream writes are
// printed as they are told.
TEST(PrintingTest, ReportsArePrintedOnceAsTheyLeave) {
  FakeParts parts;
  std::unique_ptr<watch::SysLogSender> sender = PrintingSysLog(parts.CreateSysLog());
  const std::string batch[] = {"a found on 1", "b found on 2", "c found on 3"};
  ::testing::internal::CaptureStdout();
  sender->SendText("starting up", syslog::sfLocalUseFive, syslog::slCritical);
  parts.SetFail(FailAt("send c found on 3"));
  EXPECT_EQ(sender->SendTexts(batch, 3, syslog::sfLocalUseFive, syslog::slCritical), 2u);
  EXPECT_THROW(sender->SendTexts(batch + 2, 1, syslog::sfLocalUseFive, syslog::slCritical),
               rtl::Exception);
  sender->Written(batch, 1);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Report: starting up\nReport: a found on 1\nReport: b found on 2\n"
            "Report: c found on 3\nReport: a found on 1\n");
  EXPECT_EQ(parts.Texts(),
            (std::vector<std::string>{"starting up", "a found on 1", "b found on 2"}));
}

TEST(PrintingTest, EntriesArePrintedAndWritten) {
  FakeEvents events;
  std::unique_ptr<watch::EventSink> sink = PrintingEventSink(events);
  ::testing::internal::CaptureStderr();
  sink->WriteEvent(platform::kEventLogErrorType, watch::kEventSaveFailed,
                   "The table could not be saved");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tessalin: The table could not be saved\n");
  ASSERT_EQ(events.Entries().size(), 1u);
  EXPECT_EQ(events.Entries()[0].id, watch::kEventSaveFailed);
  EXPECT_EQ(events.Entries()[0].text, "The table could not be saved");
}

}  // namespace
}  // namespace service
