#include "platform/EventLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

// Records registrations, entries and deregistrations; the first
// `register_failures` registrations fail.
class RecordingEventLog : public EventLog {
 public:
  int register_failures = 0;
  int registrations = 0;
  std::vector<std::string> entries;  // "source|type|category|id|text"
  std::vector<EventSourceHandle> deregistered;

  EventSourceHandle RegisterEventSourceA(const char* server, const char* source) override {
    EXPECT_EQ(server, nullptr);
    if (register_failures > 0) {
      --register_failures;
      return 0;
    }
    sources_.push_back(source);
    ++registrations;
    return sources_.size();
  }
  bool ReportEventA(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                    const char* text) override {
    entries.push_back(sources_.at(source - 1) + "|" + std::to_string(type) + "|" +
                      std::to_string(category) + "|" + std::to_string(event_id) + "|" + text);
    return true;
  }
  bool DeregisterEventSource(EventSourceHandle source) override {
    deregistered.push_back(source);
    return true;
  }

 private:
  std::vector<std::string> sources_;
};

// Registered once, with the first entry that can be written; an entry
// written while registration fails is lost and reported so; the source is
// given back when the writer goes.
TEST(EventSourceTest, RegistersOnceRetriesAfterFailureAndDeregisters) {
  RecordingEventLog log;
  log.register_failures = 2;
  {
    EventSource source("Wirevane", log);
    EXPECT_FALSE(source.Write(kEventLogErrorType, 0, 6, "lost"));
    EXPECT_FALSE(source.Write(kEventLogErrorType, 0, 6, "lost too"));
    EXPECT_TRUE(source.Write(kEventLogWarningType, 3, 15, "kept"));
    EXPECT_TRUE(source.Write(kEventLogSuccessType, 0, 7, "kept too"));
    EXPECT_EQ(log.registrations, 1);
    EXPECT_TRUE(log.deregistered.empty());
  }
  EXPECT_EQ(log.entries,
            (std::vector<std::string>{"Wirevane|2|3|15|kept", "Wirevane|0|0|7|kept too"}));
  EXPECT_EQ(log.deregistered, std::vector<EventSourceHandle>{1});
}

// Every entry is one line: a line break inside becomes a space, one at the
// end goes.
TEST(EventSourceTest, EntriesAreOneLine) {
  RecordingEventLog log;
  EventSource source("Wirevane", log);
  const std::pair<std::string, std::string> cases[] = {
      {"sent: Socket Error # 10061\r\nConnection refused.",
       "sent: Socket Error # 10061 Connection refused."},
      {"a\nb\rc\r\n\r\nd\r\n", "a b c  d"},
      {"\r\n", ""},
      {"plain", "plain"},
  };
  for (const auto& [text, want] : cases) {
    log.entries.clear();
    source.Write(kEventLogErrorType, 0, 4, text);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0], "Wirevane|1|0|4|" + want);
  }
}

// A source never registered has nothing to give back.
TEST(EventSourceTest, NothingToDeregisterWithoutAnEntry) {
  RecordingEventLog log;
  { EventSource source("tessalin", log); }
  EXPECT_EQ(log.registrations, 0);
  EXPECT_TRUE(log.deregistered.empty());
}

}  // namespace
}  // namespace platform
