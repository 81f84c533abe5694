// The SMTP client's limits against loopback servers of tests/mail_peers.py that answer slowly in
// the ways servers do: a late reply to EHLO, to the end of the data, replies dribbled byte by
// byte. The limits are shortened so that each case takes seconds.
#include "notifications/smtp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/mail_peers.h"

namespace parlevo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing_support::TMailPeers;

// Upper time bounds widen with PARLEVO_TEST_TIME_SCALE (sanitizer builds).
milliseconds Scaled(milliseconds bound) {
  const char* scale = std::getenv("PARLEVO_TEST_TIME_SCALE");
  return milliseconds(
      static_cast<long long>(bound.count() * (scale != nullptr ? std::atof(scale) : 1.0)));
}

TSmtpTransaction To(const std::string& host, const TSmtpLimits& limits) {
  TSmtpTransaction t;
  t.host = host;
  t.greeting_name = "conference.example.de";
  t.sender = "organiser@example.de";
  t.recipient = "anna@example.test";
  t.message = "Subject: Test\r\n\r\nHallo\r\n";
  t.limits = limits;
  return t;
}

// How the transaction ended: empty when delivered, else the error; and how long it took.
std::pair<std::string, Clock::duration> Send(const TSmtpTransaction& t) {
  const Clock::time_point began = Clock::now();
  try {
    SendSmtpMessage(t, {});
    return {"", Clock::now() - began};
  } catch (const TSmtpError& e) {
    return {e.what(), Clock::now() - began};
  }
}

TEST(SmtpLimits, ConnectLimitEndsAtTheGreetingNotAtEhlo) {
  TMailPeers peers(
      {"--smtp", "slow:slow-ehlo=1.5", "--smtp", "mute:silent", "--smtp", "full:full-queue"});
  const TSmtpLimits limits{.connect = milliseconds(1000),
                           .reply = milliseconds(4000),
                           .end_of_data_reply = milliseconds(4000),
                           .transaction = milliseconds(20000)};
  // Greeted at once, EHLO answered after 1.5 s: past the connect limit, within the reply limit.
  const auto [slow_error, slow_took] = Send(To(peers.ip.at("slow"), limits));
  EXPECT_EQ(slow_error, "");
  EXPECT_GE(slow_took, milliseconds(1400));
  EXPECT_EQ(peers.Messages().size(), 1u);

  // Never greeted: the connect limit, not the reply limit.
  const auto [mute_error, mute_took] = Send(To(peers.ip.at("mute"), limits));
  EXPECT_NE(mute_error.find("no greeting within 1000 ms"), std::string::npos) << mute_error;
  EXPECT_GE(mute_took, milliseconds(1000));
  EXPECT_LT(mute_took, Scaled(milliseconds(2800)));

  // A connect that never completes: the same limit.
  const auto [full_error, full_took] = Send(To(peers.ip.at("full"), limits));
  EXPECT_NE(full_error.find("no greeting within 1000 ms"), std::string::npos) << full_error;
  EXPECT_LT(full_took, Scaled(milliseconds(2800)));
  EXPECT_TRUE(peers.Events("CONNECT", peers.ip.at("full")).empty());
}

TEST(SmtpLimits, EhloReplyHasTheReplyLimit) {
  TMailPeers peers({"--smtp", "slow:slow-ehlo=4"});
  const TSmtpLimits limits{.connect = milliseconds(1000),
                           .reply = milliseconds(1500),
                           .end_of_data_reply = milliseconds(1500),
                           .transaction = milliseconds(20000)};
  const auto [error, took] = Send(To(peers.ip.at("slow"), limits));
  EXPECT_NE(error.find("no reply to EHLO within 1500 ms"), std::string::npos) << error;
  EXPECT_LT(took, Scaled(milliseconds(3500)));
  EXPECT_TRUE(peers.Messages().empty());
}

TEST(SmtpLimits, DribbledRepliesCannotStretchTheTransaction) {
  // Every reply from MAIL on comes one byte a second: each reply takes about 14 s, within the
  // reply limit, and the transaction limit ends it.
  TMailPeers peers({"--smtp", "drip:dribble"});
  const TSmtpLimits limits{.connect = milliseconds(1000),
                           .reply = milliseconds(30000),
                           .end_of_data_reply = milliseconds(30000),
                           .transaction = milliseconds(3000)};
  const auto [error, took] = Send(To(peers.ip.at("drip"), limits));
  EXPECT_NE(error.find("transaction not done within 3000 ms"), std::string::npos) << error;
  EXPECT_GE(took, milliseconds(3000));
  EXPECT_LT(took, Scaled(milliseconds(4800)));
}

TEST(SmtpLimits, EndOfDataReplyHasItsOwnLimit) {
  TMailPeers peers({"--smtp", "late:late-data-reply=1.5"});
  TSmtpLimits limits{.connect = milliseconds(1000),
                     .reply = milliseconds(1000),
                     .end_of_data_reply = milliseconds(4000),
                     .transaction = milliseconds(20000)};
  // A patient sender: the server takes the message and accepts it after 1.5 s.
  const auto [patient_error, patient_took] = Send(To(peers.ip.at("late"), limits));
  EXPECT_EQ(patient_error, "");
  EXPECT_GE(patient_took, milliseconds(1400));

  // A sender that allows the end of the data no more than any other reply gives up.
  limits.end_of_data_reply = milliseconds(800);
  const auto [error, took] = Send(To(peers.ip.at("late"), limits));
  EXPECT_NE(error.find("no reply to the end of the message data within 800 ms"), std::string::npos)
      << error;
  EXPECT_LT(took, Scaled(milliseconds(2000)));
  EXPECT_EQ(peers.Messages().size(), 2u);  // both handed over; only the first was accepted
}

}  // namespace
}  // namespace parlevo
