#include "notifications/mx_lookup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/deadline.h"
#include "tests/mail_peers.h"

namespace parlevo {
namespace {

using Clock = std::chrono::steady_clock;
using testing_support::TMailPeers;

// Upper time bounds widen with PARLEVO_TEST_TIME_SCALE (sanitizer builds).
std::chrono::milliseconds Scaled(std::chrono::milliseconds bound) {
  const char* scale = std::getenv("PARLEVO_TEST_TIME_SCALE");
  return std::chrono::milliseconds(
      static_cast<long long>(bound.count() * (scale != nullptr ? std::atof(scale) : 1.0)));
}

TDnsServer Server(const TMailPeers& peers) {
  return {"127.0.0.1", peers.dns_port};
}

// The message of the lookup's failure and how long it took.
std::pair<std::string, Clock::duration> FailedLookup(const TDnsServer& server,
                                                     std::chrono::milliseconds wait,
                                                     const TMailCancel* cancel = nullptr) {
  const Clock::time_point began = Clock::now();
  try {
    LookupMx("example.test", server, wait, cancel);
  } catch (const std::runtime_error& e) {
    return {e.what(), Clock::now() - began};
  }
  ADD_FAILURE() << "the lookup did not fail";
  return {"", Clock::now() - began};
}

TEST(LookupMx, RecordsAsTheServerGivesThemAndErrorsAsFailures) {
  TMailPeers peers(
      {"--mx", "example.test=20:mx2.example.test,10:mx1.example.test", "--mx", "bare.test="});
  const auto records = LookupMx("example.test", Server(peers), std::chrono::seconds(5));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].preference, 20);
  EXPECT_EQ(records[0].exchange, "mx2.example.test");
  EXPECT_EQ(records[1].preference, 10);
  EXPECT_EQ(records[1].exchange, "mx1.example.test");
  // NXDOMAIN and an answer without records are failures, not empty lists.
  EXPECT_THROW(LookupMx("unknown.test", Server(peers), std::chrono::seconds(5)),
               std::runtime_error);
  EXPECT_THROW(LookupMx("bare.test", Server(peers), std::chrono::seconds(5)), std::runtime_error);
  EXPECT_THROW(LookupMx("", Server(peers), std::chrono::seconds(5)), std::runtime_error);
}

TEST(LookupMx, TruncatedAnswerAndSilentTcpFallbackEndWithinTheBound) {
  TMailPeers peers({"--dns", "truncate-stall"});
  const auto [why, took] = FailedLookup(Server(peers), std::chrono::milliseconds(800));
  EXPECT_NE(why.find("example.test"), std::string::npos) << why;
  EXPECT_GE(took, std::chrono::milliseconds(700));
  EXPECT_LT(took, Scaled(std::chrono::milliseconds(1800)));
  // The UDP answer was truncated, so the lookup asked again over TCP, which never answered.
  EXPECT_EQ(peers.Events("DNS").size(), 1u);
  EXPECT_EQ(peers.Events("DNSTCP").size(), 1u);
}

TEST(LookupMx, SilentServerEndsWithinTheBound) {
  TMailPeers peers({"--dns", "silent"});
  const auto [why, took] = FailedLookup(Server(peers), std::chrono::milliseconds(600));
  EXPECT_GE(took, std::chrono::milliseconds(500));
  EXPECT_LT(took, Scaled(std::chrono::milliseconds(1500)));
  EXPECT_FALSE(peers.Events("DNS").empty());
}

TEST(LookupMx, CancelEndsALookupAtOnceAndLaterOnesBeforeTheyAsk) {
  TMailPeers peers({"--dns", "truncate-stall"});
  TMailCancel cancel;
  std::thread stopper([&] {
    // Once the lookup waits on its TCP connection.
    for (int i = 0; i < 1000 && peers.Events("DNSTCP").empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    cancel.Cancel();
  });
  const auto [why, took] = FailedLookup(Server(peers), std::chrono::seconds(30), &cancel);
  testing_support::JoinWithin(stopper, "the cancelling thread");
  EXPECT_NE(why.find("stopping"), std::string::npos) << why;
  EXPECT_LT(took, Scaled(std::chrono::seconds(5)));

  const size_t asked = peers.Events("DNS").size();
  const auto [later, later_took] = FailedLookup(Server(peers), std::chrono::seconds(30), &cancel);
  EXPECT_NE(later.find("stopping"), std::string::npos) << later;
  EXPECT_EQ(peers.Events("DNS").size(), asked);
}

TEST(ParseDnsServer, AddressWithAndWithoutPort) {
  auto server = ParseDnsServer("127.0.0.1:5353");
  ASSERT_TRUE(server);
  EXPECT_EQ(server->address, "127.0.0.1");
  EXPECT_EQ(server->port, 5353);
  server = ParseDnsServer("10.1.2.3");
  ASSERT_TRUE(server);
  EXPECT_EQ(server->address, "10.1.2.3");
  EXPECT_EQ(server->port, 53);
  EXPECT_EQ(ParseDnsServer("127.0.0.1:65535")->port, 65535);
}

TEST(ParseDnsServer, AnythingElseIsRefused) {
  for (const char* text : {"", "localhost", "localhost:53", "127.0.0.1:", "127.0.0.1:0",
                           "127.0.0.1:65536", "127.0.0.1:99999999", "127.0.0.1:53x", "127.0.0.1:-1",
                           "127.0.0.1: 53", " 127.0.0.1", "::1", "1.2.3:53"}) {
    EXPECT_FALSE(ParseDnsServer(text)) << text;
  }
}

}  // namespace
}  // namespace parlevo
