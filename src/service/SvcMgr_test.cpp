#include "service/SvcMgr.h"

#include <gtest/gtest.h>

#include "platform/SystemError.h"
#include "service/HostFakes_test.h"

namespace service {
namespace {

using testing::FakeEventLog;

class TTestModule : public TService {
 public:
  using TService::TService;

 protected:
  platform::ServiceControlHandler ControlCallback() override { return nullptr; }
};

class SvcMgrTest : public ::testing::Test {
 protected:
  FakeEventLog log_;
  TServiceApplication app_{THostFacilities{.EventLog = &log_,
                                           .Arguments = std::vector<std::string>{},
                                           .ExecutablePath = "/opt/x/tessalin"}};
  TTestModule* Module() {
    TTestModule* m = nullptr;
    app_.CreateServiceModule(m);
    m->SetName("Probe");
    return m;
  }
};

TEST_F(SvcMgrTest, PropertyRules) {
  TTestModule* m = Module();
  EXPECT_EQ(m->DisplayName(), "Probe");  // reads as Name while empty
  m->SetPassword("secret");
  m->SetServiceStartName(".\\watcher");
  m->SetInteractive(true);
  EXPECT_EQ(m->Password(), "");
  EXPECT_EQ(m->ServiceStartName(), "");
  m->SetServiceStartName(".\\watcher");
  EXPECT_FALSE(m->Interactive());

  m->AllowPause = false;
  m->AllowStop = false;
  EXPECT_EQ(m->SystemControlsAccepted(), 4u);
  m->SetOnContinue([](TService*, bool&) {});
  EXPECT_TRUE(m->AllowPause);
  m->SetOnStop([](TService*, bool&) {});
  EXPECT_TRUE(m->AllowStop);
  EXPECT_EQ(m->SystemControlsAccepted(), 7u);
}

TEST_F(SvcMgrTest, SystemServiceType) {
  TTestModule* m = Module();
  EXPECT_EQ(m->SystemServiceType(), 0x10u);
  m->SetInteractive(true);
  EXPECT_EQ(m->SystemServiceType(), 0x110u);
  Module();  // a second module shares the process
  EXPECT_EQ(m->SystemServiceType(), 0x120u);
  m->ServiceType = stDevice;
  EXPECT_EQ(m->SystemServiceType(), 0x1u);
  m->ServiceType = stFileSystem;
  EXPECT_EQ(m->SystemServiceType(), 0x2u);
}

TEST_F(SvcMgrTest, SystemStartTypeAndErrorControl) {
  struct Case {
    TServiceType type;
    TStartType start;
    uint32_t expected;
  } cases[] = {
      {stWin32, stBoot, 2},     {stDevice, stBoot, 0}, {stWin32, stSystem, 2},
      {stDevice, stSystem, 1},  {stWin32, stAuto, 2},  {stWin32, stManual, 3},
      {stWin32, stDisabled, 4},
  };
  TTestModule* m = Module();
  for (const Case& c : cases) {
    m->ServiceType = c.type;
    m->StartType = c.start;
    EXPECT_EQ(m->SystemStartType(), c.expected) << c.type << "/" << c.start;
  }
  const TErrorSeverity severities[] = {esIgnore, esNormal, esSevere, esCritical};
  for (uint32_t i = 0; i < 4; ++i) {
    m->ErrorSeverity = severities[i];
    EXPECT_EQ(m->SystemErrorControl(), i);
  }
}

TEST_F(SvcMgrTest, DependencyList) {
  TTestModule* m = Module();
  EXPECT_EQ(m->DependencyList(), "");
  EXPECT_FALSE(m->Dependencies().Stored());
  m->Dependencies().Add()->Name = "Tcpip";
  TDependency* group = m->Dependencies().Add();
  group->Name = "NetworkProvider";
  group->IsGroup = true;
  EXPECT_EQ(m->DependencyList(), std::string("Tcpip\0+NetworkProvider\0\0", 24));
}

TEST(SysErrorTextTest, CodeAndText) {
  EXPECT_EQ(SysErrorText(0), "A call to an OS function failed");
  EXPECT_EQ(SysErrorText(5), "System Error.  Code: 5.\r\n" + platform::SystemErrorMessage(5));
}

// The event source is registered on the first entry; a failed registration
// loses that entry and is tried again on the next one.
TEST(EventLoggerTest, RegistersOnFirstEntryAndRetries) {
  FakeEventLog log;
  log.register_failures = 1;
  {
    TEventLogger logger("tessalin", log);
    logger.WriteEvent("lost", 1, 0, 0);
    logger.WriteEvent("kept", 1, 0, 0);
  }
  auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "tessalin");
  EXPECT_EQ(entries[0].type, 1);
  EXPECT_EQ(entries[0].text, "kept");
}

}  // namespace
}  // namespace service
