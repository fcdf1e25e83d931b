#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "animation/ball.h"
#include "tests/support/fake_runtime.h"

namespace glimmer {
namespace {

using testing::FakeRuntime;

FakeRuntime WithBall(Single left, Single top) {
  FakeRuntime rt;
  rt.CreateBall(left, top, 495.0f);
  return rt;
}

TEST(PhaseClock, AdvancesByOneAndOverflowIsARunTimeError) {
  double phase = 0.0;
  for (int i = 0; i < 5; ++i)
    AdvancePhase(phase);
  EXPECT_EQ(phase, 5.0);
  // Where 30 days of ticks take it, a step of one is still exact.
  phase = 2.592e8;
  AdvancePhase(phase);
  EXPECT_EQ(phase, 259200001.0);
  phase = std::numeric_limits<double>::infinity();
  EXPECT_THROW(AdvancePhase(phase), RunTimeError);
}

TEST(BallDrift, StandsStillBeforeTheFirstPhaseTick) {
  FakeRuntime rt = WithBall(0.0f, 0.0f);
  for (int i = 0; i < 10; ++i)
    DriftBall(rt, 0.0);
  EXPECT_EQ(rt.ball_left, 0.0f);
  EXPECT_EQ(rt.ball_top, 0.0f);
}

TEST(BallDrift, OneStepAtPhaseOne) {
  FakeRuntime rt = WithBall(0.0f, 0.0f);
  DriftBall(rt, 1.0);
  EXPECT_EQ(rt.ball_left, static_cast<float>(1.0 + std::sin(1.0)));
  EXPECT_FLOAT_EQ(rt.ball_left, 1.841471f);
  EXPECT_EQ(rt.ball_top, rt.ball_left);
  // Horizontal first, then vertical.
  ASSERT_EQ(rt.log.ball_writes.size(), 2u);
  EXPECT_EQ(rt.log.ball_writes[0].first, 'L');
  EXPECT_EQ(rt.log.ball_writes[1].first, 'T');
}

TEST(BallDrift, EachCoordinateRoundsAtItsOwnMagnitude) {
  FakeRuntime rt = WithBall(-495.0f, 5000.0f);
  DriftBall(rt, 1.0);
  EXPECT_EQ(rt.ball_left, -493.15854f);
  EXPECT_EQ(rt.ball_top, 5001.8413f);
  // The sum is formed in double before the one rounding: adding in Single
  // steps would round twice.
  EXPECT_EQ(rt.ball_top, static_cast<float>((5000.0 + std::sin(1.0)) + 1.0));
  // Where the two differ: rounding the sum to a Single after adding the sine
  // and again after adding the phase would give 527.956421 and 1027.9563.
  rt.ball_left = 500.0f;
  rt.ball_top = 1000.0f;
  DriftBall(rt, 27.0);
  EXPECT_EQ(rt.ball_left, 527.95636f);
  EXPECT_EQ(rt.ball_top, 1027.95642f);
}

TEST(BallDrift, ReadsThePositionBackFromTheBallEveryTick) {
  FakeRuntime rt = WithBall(0.0f, 0.0f);
  DriftBall(rt, 1.0);
  rt.ball_left = 1000.0f;  // moved by someone else, e.g. the edge wrap
  DriftBall(rt, 1.0);
  EXPECT_EQ(rt.ball_left, static_cast<float>((1000.0 + std::sin(1.0)) + 1.0));
}

TEST(BallDrift, AStepTooLargeForASingleIsARunTimeError) {
  FakeRuntime rt = WithBall(3.4e38f, 0.0f);
  EXPECT_THROW(DriftBall(rt, 1e38), RunTimeError);
  EXPECT_EQ(rt.ball_left, 3.4e38f);  // nothing written
  EXPECT_TRUE(rt.log.ball_writes.empty());
  // A failed read of the ball ends the handler too.
  FakeRuntime broken = WithBall(0.0f, 0.0f);
  broken.faults.ball_access = true;
  EXPECT_THROW(DriftBall(broken, 1.0), RunTimeError);
}

TEST(EdgeWrap, MovesBackOnlyWhenStrictlyPastTheEdge) {
  FakeRuntime rt = WithBall(15000.0f, 11520.0f);  // exactly on both edges
  WrapAtEdges(rt);
  EXPECT_EQ(rt.ball_left, 15000.0f);
  EXPECT_EQ(rt.ball_top, 11520.0f);
  rt.ball_left = 15000.5f;
  WrapAtEdges(rt);
  EXPECT_EQ(rt.ball_left, -495.0f);
  EXPECT_EQ(rt.ball_top, 11520.0f);  // the axes are independent
  rt.ball_top = 11520.5f;
  WrapAtEdges(rt);
  EXPECT_EQ(rt.ball_left, -495.0f);
  EXPECT_EQ(rt.ball_top, -495.0f);
}

TEST(EdgeWrap, PastBothEdgesOrFarPastComesBackToExactlyMinusWidth) {
  FakeRuntime rt = WithBall(15001.0f, 11521.0f);
  WrapAtEdges(rt);
  EXPECT_EQ(rt.ball_left, -495.0f);
  EXPECT_EQ(rt.ball_top, -495.0f);
  rt.ball_left = 15000.0f * 7.3f;
  rt.ball_top = 1e30f;
  WrapAtEdges(rt);
  EXPECT_EQ(rt.ball_left, -495.0f);
  EXPECT_EQ(rt.ball_top, -495.0f);
}

TEST(EdgeWrap, UsesTheSizeAtTheTimeOfTheTick) {
  FakeRuntime rt = WithBall(9000.0f, 500.0f);
  WrapAtEdges(rt);
  EXPECT_EQ(rt.ball_left, 9000.0f);
  rt.width = 8000.0f;  // the window shrank
  WrapAtEdges(rt);
  EXPECT_EQ(rt.ball_left, -495.0f);
  EXPECT_EQ(rt.ball_top, 500.0f);
}

TEST(EdgeWrap, AFailedSizeReadEndsTheHandler) {
  FakeRuntime rt = WithBall(20000.0f, 20000.0f);
  rt.faults.size_read_at = 1;  // the height
  EXPECT_THROW(WrapAtEdges(rt), RunTimeError);
  EXPECT_EQ(rt.ball_left, -495.0f);  // the first test had already run
  EXPECT_EQ(rt.ball_top, 20000.0f);
}

}  // namespace
}  // namespace glimmer
