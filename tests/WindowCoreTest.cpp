// The order of the window's events, whichever window draws them: shown once, closed once, and
// no tick after the close.

#include "shell/window/WindowCore.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Hooks that record the program's side of each event.
struct Recorded {
  std::string events;
  CheckfeedBox box{.title = "checkfeed: 1 failure", .text = "x\n"};
};

Recorded& Of(void* context) {
  return *static_cast<Recorded*>(context);
}

TEST(WindowCoreTest, ShownOnceClosedOnceAndNoTickAfterTheClose) {
  Recorded recorded;
  const CheckfeedWindowHooks hooks{
      .context = &recorded,
      .start_timer = [](void*, char*, size_t) { return CheckfeedWake{.native = 3}; },
      .stop = CheckfeedWake{.native = 4},
      .take_stop =
          [](void* context) {
            Of(context).events += "s";
            return 1;
          },
      .show = [](void* context) -> const CheckfeedBox* {
        Of(context).events += "S";
        return &Of(context).box;
      },
      .tick = [](void* context) -> const CheckfeedBox* {
        Of(context).events += "T";
        return nullptr;
      },
      .input = [](void*) { return CheckfeedWake{.native = 5}; },
      .heard = [](void* context) -> const CheckfeedBox* {
        Of(context).events += "H";
        return nullptr;
      },
      .close = [](void* context) { Of(context).events += "C"; },
      .dismissed = [](void* context) { Of(context).events += "D"; },
      .fatal = [](void* context, const char*) { Of(context).events += "F"; }};
  window::WindowCore core(hooks);
  EXPECT_EQ(core.StartTimer().native, 3);
  EXPECT_EQ(core.Shown(), &recorded.box);
  EXPECT_EQ(core.Shown(), nullptr);  // a window shown again opens nothing again
  EXPECT_EQ(core.Tick(), nullptr);
  EXPECT_EQ(core.InputWake().native, 5);
  EXPECT_EQ(core.Heard(), nullptr);
  core.Dismissed();
  EXPECT_TRUE(core.StopRequested());
  EXPECT_TRUE(core.Closing());
  EXPECT_FALSE(core.Closing());
  EXPECT_EQ(core.Tick(), nullptr);   // a tick that was already on its way does nothing
  EXPECT_EQ(core.Heard(), nullptr);  // nor does what the port said
  EXPECT_EQ(recorded.events, "STHDsC");
}

}  // namespace
