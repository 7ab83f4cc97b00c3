#include <gtest/gtest.h>

#include <string>

#include "platform/ServiceManager.h"

namespace platform {
namespace {

// The installed unit hides some folders from the service; a program there
// would fail at every start (systemd's 203/EXEC), so installing it is
// refused with the folder and the setting that hides it.
TEST(SystemdServiceManagerTest, FoldersTheUnitHidesFromTheService) {
  struct Case {
    const char* path;
    const char* hides;  // null: reachable
  } cases[] = {
      {"/home/ann/tessalin/tessalin", "(ProtectHome=yes) hides /home;"},
      {"/root/tessalin", "(ProtectHome=yes) hides /root;"},
      {"/run/user/1000/tessalin", "(ProtectHome=yes) hides /run/user;"},
      {"/tmp/build/tessalin", "(PrivateTmp=yes) hides /tmp;"},
      {"/var/tmp/tessalin", "(PrivateTmp=yes) hides /var/tmp;"},
      {"/opt/tessalin/tessalin", nullptr},
      {"/usr/local/bin/tessalin", nullptr},
      {"/homestead/tessalin", nullptr},
      {"/run/tessalin", nullptr},
      {"/var/lib/tmp/tessalin", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string why = DefaultServiceManager().HiddenFromServices(c.path);
    if (!c.hides) {
      EXPECT_EQ(why, "");
      continue;
    }
    EXPECT_EQ(why.rfind(std::string("the service could not start ") + c.path + ": ", 0), 0u) << why;
    EXPECT_NE(why.find(c.hides), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace platform
