// The simulation's call log and fault injection.
#include <gtest/gtest.h>

#include "sim/sim.h"

namespace {

class SimCore : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

// A fault fires on the nth call of its function, once, and is counted.
TEST_F(SimCore, FaultFiresOnNthCallOnce) {
  sim::FailCall("Probe", 2, 5);
  DWORD e = 0;
  { sim::CallScope c("Probe", ""); EXPECT_FALSE(c.Faulted(&e)); }
  { sim::CallScope c("Other", ""); EXPECT_FALSE(c.Faulted(&e)); }
  { sim::CallScope c("Probe", ""); EXPECT_TRUE(c.Faulted(&e)); EXPECT_EQ(e, 5u); }
  { sim::CallScope c("Probe", ""); EXPECT_FALSE(c.Faulted(&e)); }
  EXPECT_EQ(sim::FaultsFired(), 1);
}

// A persistent fault keeps failing; FailNthCall counts every function but the
// last-error accessors.
TEST_F(SimCore, PersistentAndAnyFunctionFaults) {
  sim::FailCall("Probe", 1, 3, true);
  for (int i = 0; i < 3; ++i) {
    sim::CallScope c("Probe", "");
    EXPECT_TRUE(c.Faulted(nullptr));
  }
  sim::ClearFaults();
  sim::FailNthCall(2, 7);
  { sim::CallScope c("A", ""); EXPECT_FALSE(c.Faulted(nullptr)); }
  SetLastError(0);
  (void)GetLastError();
  DWORD e = 0;
  { sim::CallScope c("B", ""); EXPECT_TRUE(c.Faulted(&e)); }
  EXPECT_EQ(e, 7u);
}

// The log keeps calls in order with their result and the last error at return.
TEST_F(SimCore, LogRecordsOrderResultAndError) {
  sim::ClearCalls();
  { sim::CallScope c("First", "\"x\""); c.result = "1"; }
  SetLastError(183);
  auto calls = sim::Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].name, "First");
  EXPECT_EQ(calls[0].result, "1");
  EXPECT_EQ(calls[1].name, "SetLastError");
  EXPECT_EQ(calls[1].lastError, 183u);
  EXPECT_EQ(GetLastError(), 183u);
}

// Strings round-trip through UTF-8, surrogate pairs included.
TEST_F(SimCore, Utf8RoundTrip) {
  std::string s = "C:\\d\xC3\xA9j\xC3\xA0\\\xF0\x9F\x98\x80";
  EXPECT_EQ(sim::U8(sim::W(s)), s);
  EXPECT_EQ(sim::W(s).size(), 10u);
}

}  // namespace
