// The barrier around the host's code: what it stops, and that the code after it runs on.
#include <gtest/gtest.h>

#include <stdexcept>

#include "HostFaults.h"
#include "platform/guard.h"

namespace {

TEST(GuardTest, ReturningCodeRunsOnceAndThrowingCodeIsStoppedHere) {
  int runs = 0;
  auto returns = [&] { ++runs; };
  EXPECT_TRUE(platform::callGuarded(returns));
  EXPECT_EQ(runs, 1);

  auto throwsHere = [&] {
    ++runs;
    throw std::runtime_error("own");
  };
  EXPECT_FALSE(platform::callGuarded(throwsHere));
  auto throwsLikeTheHost = [&] {
    ++runs;
    ThrowFromHostCode();
  };
  EXPECT_FALSE(platform::callGuarded(throwsLikeTheHost));
  EXPECT_EQ(runs, 3);
}

TEST(GuardTest, InnerGuardStopsTheThrowAndTheOuterOneCompletes) {
  // Many guarded calls in a row, and one inside another: nothing is left registered.
  void* const chain = HandlerChainHead();
  int stopped = 0;
  for (int i = 0; i < 1000; ++i) {
    bool inner = true;
    auto outer = [&] {
      auto throwing = [] { ThrowFromHostCode(); };
      inner = platform::callGuarded(throwing);
    };
    ASSERT_TRUE(platform::callGuarded(outer));
    stopped += inner ? 0 : 1;
  }
  EXPECT_EQ(stopped, 1000);
  EXPECT_EQ(HandlerChainHead(), chain) << "a guard left its handler registered";
}

}  // namespace
