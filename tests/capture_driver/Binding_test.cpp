// Driver binding in a process where nothing is bound yet: the bound flag is
// process-wide and never cleared, so these cases run in their own program,
// in this order.
#include <gtest/gtest.h>

#include "TestDriver.h"
#include "capture/Packet32.h"
#include "capture/Snoop.h"
#include "rtl/Messages.h"

namespace capture {
namespace {

using capture_test::TestDriverPath;

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override { rtl::SetMainThread(); }
};

TEST_F(BindingTest, FailuresBindNothingAndLaterSuccessStays) {
  // Nothing to load: the component cannot be built and binding says false.
  SetPacketDriverLibrary(TestDriverPath() + ".missing");
  EXPECT_FALSE(BindPacketDriver());
  try {
    TSnoop snoop(nullptr);
    ADD_FAILURE() << "component built without a driver";
  } catch (const rtl::Exception& e) {
    EXPECT_EQ(e.Message(), "Fail to initilize Packet32");
  }

  // The last entry point missing: all or nothing, so nothing is bound and
  // the next call starts over.
  SetPacketDriverLibrary(TestDriverPath(false));
  EXPECT_FALSE(BindPacketDriver());
  EXPECT_EQ(PacketDriver.PacketGetAdapterNames, nullptr);
  EXPECT_EQ(PacketDriver.PacketGetNetType, nullptr);

  SetPacketDriverLibrary(TestDriverPath());
  ASSERT_TRUE(BindPacketDriver());
  EXPECT_NE(PacketDriver.PacketGetAdapterNames, nullptr);
  EXPECT_NE(PacketDriver.PacketSetReadTimeout, nullptr);

  // Bound for good: another name is never loaded.
  SetPacketDriverLibrary(TestDriverPath() + ".missing");
  EXPECT_TRUE(BindPacketDriver());
}

}  // namespace
}  // namespace capture
