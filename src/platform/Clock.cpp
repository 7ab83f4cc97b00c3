#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace platform {

rtl::TDateTime LocalNow();  // per system

namespace {
class SystemClock : public Clock {
 public:
  rtl::TDateTime Now() override { return LocalNow(); }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};
}  // namespace

Clock& DefaultClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace platform
