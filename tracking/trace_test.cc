#include "tracking/trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace {

using ::testing::ElementsAre;

TEST(TraceTest, CaptureCollectsFormattedLinesAndIsSilentOtherwise) {
  Trace("before %d", 1);  // no sink: dropped
  TraceCapture capture;
  Trace("OID %08x", 0xABCu);
  Trace(" prior Type is %d", 3);
  EXPECT_THAT(capture.Lines(), ElementsAre("OID 00000abc", " prior Type is 3"));
  capture.Clear();
  EXPECT_TRUE(capture.Lines().empty());
}

TEST(TraceTest, StderrSinkWritesOneLinePerTrace) {
  ::testing::internal::CaptureStderr();
  SetTraceToStderr(true);
  Trace("Time is %08x", 0x10u);
  SetTraceToStderr(false);
  Trace("not shown");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Time is 00000010\n");
}

// HM_THREADING_TEST
TEST(TraceTest, TracesFromTwoThreadsAreAllCaptured) {
  TraceCapture capture;
  auto burst = [] {
    for (int i = 0; i < 500; ++i) Trace("line %d", i);
  };
  std::thread other(burst);
  burst();
  other.join();
  EXPECT_EQ(capture.Lines().size(), 1000u);
}

}  // namespace
