#include "notifications/membership_claims.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/deadline.h"

namespace parlevo {
namespace {

TEST(MembershipClaims, OneHolderPerMembershipAndKindUntilReleased) {
  TMembershipClaims claims;
  auto first = claims.Claim("7", "3", TMessageKind::Invitation);
  ASSERT_TRUE(first);
  EXPECT_FALSE(claims.Claim("7", "3", TMessageKind::Invitation));
  // Another kind, member or conference is another claim.
  EXPECT_TRUE(claims.Claim("7", "3", TMessageKind::Reminder));
  EXPECT_TRUE(claims.Claim("7", "4", TMessageKind::Invitation));
  EXPECT_TRUE(claims.Claim("8", "3", TMessageKind::Invitation));

  // Moving keeps the claim; destroying the holder gives it back.
  auto moved = std::move(first);
  EXPECT_FALSE(claims.Claim("7", "3", TMessageKind::Invitation));
  moved = TMembershipClaims::TClaim();
  EXPECT_TRUE(claims.Claim("7", "3", TMessageKind::Invitation));
}

TEST(MembershipClaims, OfManyThreadsAtOnceExactlyOneGetsIt) {
  TMembershipClaims claims;
  std::atomic<int> won = 0;
  std::atomic<bool> go = false;
  std::vector<TMembershipClaims::TClaim> kept(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      kept[i] = claims.Claim("1", "1", TMessageKind::Reminder);
      if (kept[i]) ++won;
    });
  }
  go = true;
  testing_support::JoinAllWithin(threads, "the claiming threads");
  EXPECT_EQ(won, 1);
}

}  // namespace
}  // namespace parlevo
