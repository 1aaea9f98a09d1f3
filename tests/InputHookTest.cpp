// Input hooks: setting up twice and tearing down twice are harmless, and the hooks can be set up
// again after a tear-down.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "vemo/core/InputHook.h"

using namespace vemo;

TEST(InputHook, SetUpAndTearDownInAnyNumber) {
  tests::LogCapture log;
  EXPECT_TRUE(setUpWindowsHook());
  EXPECT_TRUE(setUpWindowsHook());
  tearDownWindowsHook();
  tearDownWindowsHook();
  EXPECT_TRUE(setUpWindowsHook());
  tearDownWindowsHook();
  EXPECT_TRUE(log.lines.empty());
}
