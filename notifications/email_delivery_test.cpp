// The e-mail module against real peers on loopback: SMTP servers on 127.0.0.x port 25 and a DNS
// server answering MX queries, both from tests/mail_peers.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "notifications/email.h"
#include "tests/deadline.h"
#include "tests/mail_peers.h"
#include "tests/temp_folder.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;

using testing_support::Contains;
using testing_support::TMailPeers;
using testing_support::TMessage;
using testing_support::TTempFolder;
using testing_support::Unhex;

std::vector<std::string> InviteRequest(const std::string& recipients) {
  return {
      "mid=ger\\mail\\*.invite.*",
      "NoDB=1",
      "MailServer=",
      "MailServerLogin=login",
      "MailServerPass=secret",
      "MailSenderAdress=organiser@example.de",
      "MailSubject=Einladung: Gr\xC3\xBC\xC3\x9F"
      "e",
      "MailHost=conference.example.de:81",
      "SupportMailAdress=",
      "fixemail=" + recipients,
      "Logging=2",
      "host=Max Host",
      "firstname=Anna",
      "address=Sehr geehrte Frau",
      "title=",
      "name=Meier",
      "conferenceName=\"Weekly\"",
      "conferenceOrganiser=Max Host",
      "conferenceDate=24.12.2008",
      "conferenceTime=09:30",
      "conferenceTimeEnd=10:30",
      "conferenceID=42",
      "RoomName=\"Room 1\"",
      "directDial=4711",
      "isEMail=1",
      "PIN=04711",
      "smstext=",
      "memberlist=Eingeladen:<brtxt>Anna Meier, anna@example.test<brtxt>",
      "url=",
      "OutlookInvite=true",
      "OutlookDateBegin=20081224",
      "OutlookTimeBegin=093000",
      "OutlookDateEnd=20081224",
      "OutlookTimeEnd=103000",
      "OutlookAlarm=true",
      "OutlookAlarmHours=1",
      "OutlookAlarmMinutes=30",
      "OutlookHost=Max Host;organiser@example.de",
  };
}

void Set(std::vector<std::string>& lines, const std::string& name, const std::string& value) {
  for (auto& line : lines) {
    if (line.rfind(name + "=", 0) == 0) {
      line = name + "=" + value;
      return;
    }
  }
  lines.push_back(name + "=" + value);
}

class EMailDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.Write("Templates/ger/mail/a.invite.html",
               "<p><#address> <#name>, PIN <#PIN> f\xC3\xBCr <#conferenceName></p><#memberlist>");
    app_.Write("Templates/ger/mail/b.invite.txt", "PIN <#pin><brtxt>Ende");
  }

  TEMailDataModule& Module(const TMailPeers& peers, std::string fallback = {}) {
    TEMailModuleOptions o;
    o.app_path = app_.path().string() + "/";
    o.read_is_lotus_notes = [this] { return lotus_notes_; };
    o.read_mail_sender = [] { return std::string("sender@example.de"); };
    o.read_attendees = [this](std::string_view id) -> std::optional<std::vector<std::string>> {
      std::lock_guard lock(debug_mutex_);  // sends run side by side
      attendee_queries_.emplace_back(id);
      return std::vector<std::string>{"Schulz|Bob|bob@example.de"};
    };
    o.write_debug_log = [this](std::string_view line) {
      std::lock_guard lock(debug_mutex_);
      debug_.emplace_back(line);
    };
    // 2008-12-24 08:30:05 UTC.
    o.clock = [] {
      return std::chrono::system_clock::time_point(std::chrono::seconds(1230107405));
    };
    o.dns_server = {"127.0.0.1", peers.dns_port};
    o.fallback_mail_server = std::move(fallback);
    module_.emplace(std::move(o));
    return *module_;
  }

  TTempFolder app_{"parlevo_mail"};
  int lotus_notes_ = 0;
  std::vector<std::string> attendee_queries_;
  std::mutex debug_mutex_;
  std::vector<std::string> debug_;
  std::optional<TEMailDataModule> module_;
};

TEST_F(EMailDelivery, InvitationWithCalendarPartArrivesAsComposed) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  EXPECT_TRUE(Module(peers).SendEMailExt(InviteRequest("anna@example.test")));

  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const TMessage& m = messages[0];
  EXPECT_EQ(m.ip, peers.ip.at("a"));
  EXPECT_EQ(m.mail_from, "FROM:<organiser@example.de>");
  EXPECT_EQ(m.rcpt, (std::vector<std::string>{"TO:<anna@example.test>"}));
  EXPECT_EQ(m.defects, 0);
  EXPECT_EQ(m.subject,
            "Einladung: Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_TRUE(Contains(m.raw, "\r\nTo: anna@example.test\r\n"));
  EXPECT_TRUE(Contains(m.raw,
                       "\r\nContent-Transfer-Encoding: 8bit\r\n"
                       "Content-class: urn:content-classes:calendarmessage\r\n"));
  const auto greet = peers.Events("GREET", peers.ip.at("a"));
  ASSERT_EQ(greet.size(), 1u);
  EXPECT_EQ(greet[0][2], "EHLO");
  EXPECT_EQ(Unhex(greet[0][3]), "conference.example.de");

  // With "isLotusNotes" 0 the ".txt" template ends the list: the HTML part and the calendar.
  ASSERT_EQ(m.parts.size(), 2u);
  EXPECT_EQ(m.parts[0].content_type, "text/html;charset=\"iso-8859-1\"");
  EXPECT_EQ(m.parts[0].bytes,
            "<p>Sehr geehrte Frau Meier, PIN 04711 f\xFCr \"Weekly\"</p>Eingeladen:<br />Anna "
            "Meier, anna@example.test<br />");
  EXPECT_EQ(m.parts[1].content_type,
            "text/calendar;method=REQUEST;name=\"invitation.ics\";charset=\"utf-8\"");
  // Unfolded: long lines continue on lines that start with a blank.
  const std::string ics = m.Calendar();
  EXPECT_TRUE(Contains(ics, "\r\nMETHOD:REQUEST\r\n"));
  EXPECT_TRUE(Contains(ics, "\r\nDTSTAMP:20081224T083005Z\r\n"));
  EXPECT_TRUE(Contains(ics,
                       "\r\nSUMMARY:Einladung: Gr\xC3\xBC\xC3\x9F"
                       "e\r\n"));
  EXPECT_TRUE(Contains(ics, "\r\nUID:OrvalenZyntParlevo42\r\n"));
  EXPECT_TRUE(Contains(ics, "\r\nORGANIZER;CN=\"Max Host\":MAILTO:organiser@example.de\r\n"));
  EXPECT_TRUE(Contains(ics, "CN=\"Schulz, Bob\":MAILTO:bob@example.de\r\n"));
  EXPECT_TRUE(Contains(ics, "\r\nDESCRIPTION:<p>Sehr geehrte Frau Meier\\, PIN 04711 f\xC3\xBCr "));
  EXPECT_TRUE(Contains(ics, "\r\nTRIGGER:-PT01H30M00S\r\n"));
  EXPECT_EQ(attendee_queries_, (std::vector<std::string>{"42"}));
  EXPECT_EQ(debug_, (std::vector<std::string>{
                        "[EMail][SendMail] MessagePart: text/html;charset=\"iso-8859-1\"",
                        "[EMail][SendMail] MessagePart: text/calendar;method=REQUEST;name="
                        "\"invitation.ics\";charset=\"utf-8\"",
                        "[EMail][SendMail] Text-MessagePart found: 0"}));
}

TEST_F(EMailDelivery, LotusNotesTakesEveryTemplateAndCancellationHasNoAlarm) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  lotus_notes_ = 1;
  auto request = InviteRequest("anna@example.test");
  Set(request, "OutlookInvite", "false");
  Set(request, "conferenceOrganiser", "");
  EXPECT_TRUE(Module(peers).SendEMailExt(request));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const auto& parts = messages[0].parts;
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].content_type, "text/html;charset=\"iso-8859-1\"");
  EXPECT_EQ(parts[1].content_type, "text/plain;charset=\"iso-8859-1\"");
  EXPECT_EQ(parts[1].text, "PIN 04711\r\nEnde");
  EXPECT_EQ(parts[2].content_type,
            "text/calendar;method=CANCEL;name=\"invitation.ics\";charset=\"utf-8\"");
  EXPECT_TRUE(Contains(parts[2].text, "\r\nSTATUS:CANCELLED\r\n"));
  EXPECT_FALSE(Contains(parts[2].text, "VALARM"));
  // No organiser in the request: the registry sender stands in.
  EXPECT_TRUE(Contains(parts[2].text, "ORGANIZER;CN=\"sender@example.de\":MAILTO:organiser@"));
}

TEST_F(EMailDelivery, NoTemplateGivesOneEmptyTextPart) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  auto request = InviteRequest("anna@example.test");
  Set(request, "mid", "ger\\mail\\*.nothing.*");
  Set(request, "OutlookHost", "");  // calendar data incomplete: no calendar part
  EXPECT_TRUE(Module(peers).SendEMailExt(request));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].defects, 0);
  ASSERT_EQ(messages[0].parts.size(), 1u);
  EXPECT_EQ(messages[0].parts[0].content_type, "text/plain;charset=\"iso-8859-1\"");
  EXPECT_EQ(messages[0].parts[0].text, "");
  EXPECT_TRUE(Contains(messages[0].raw, "Content-class: urn:content-classes:calendarmessage"));
  EXPECT_TRUE(attendee_queries_.empty());
}

TEST_F(EMailDelivery, TemplateNameWithoutLanguageStillSendsTheCalendarPart) {
  // The builder's fallback to an empty default language names no language folder; so does a
  // template name that would climb out of the templates folder.
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  auto& module = Module(peers);
  for (const std::string mid : {"\\mail\\*.invite.*", "..\\mail\\*.invite.*"}) {
    auto request = InviteRequest("anna@example.test");
    Set(request, "mid", mid);
    EXPECT_TRUE(module.SendEMailExt(request)) << mid;
  }
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    EXPECT_EQ(m.defects, 0);
    ASSERT_EQ(m.parts.size(), 1u);
    EXPECT_EQ(m.parts[0].content_type,
              "text/calendar;method=REQUEST;name=\"invitation.ics\";charset=\"utf-8\"");
    // No HTML part to describe the meeting.
    EXPECT_FALSE(Contains(m.Calendar(), "\r\nDESCRIPTION:<"));
    EXPECT_TRUE(Contains(m.Calendar(), "CN=\"Schulz, Bob\":MAILTO:bob@example.de"));
  }
}

TEST_F(EMailDelivery, ExchangersInPreferenceOrderAndNextAfterRefusedRecipient) {
  TMailPeers peers({"--smtp", "a:ok", "--smtp", "b:reject-rcpt", "--mx", "example.test=20:a,10:b"});
  EXPECT_TRUE(Module(peers).SendEMailExt(InviteRequest("anna@example.test")));
  std::vector<std::string> connects;
  for (const auto& e : peers.Events("CONNECT")) connects.push_back(e[1]);
  EXPECT_EQ(connects, (std::vector<std::string>{peers.ip.at("b"), peers.ip.at("a")}));
  EXPECT_EQ(peers.Events("RCPT", peers.ip.at("b")).size(), 1u);
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].ip, peers.ip.at("a"));
  const auto dns = peers.Events("DNS");
  ASSERT_EQ(dns.size(), 1u);
  EXPECT_EQ(dns[0][1], "example.test");
  EXPECT_EQ(dns[0][2], "MX");
}

TEST_F(EMailDelivery, RefusedConnectionMovesToTheNextExchanger) {
  TMailPeers peers({"--smtp", "r:refuse", "--smtp", "a:ok", "--mx", "example.test=5:r,10:a"});
  EXPECT_TRUE(Module(peers).SendEMailExt(InviteRequest("anna@example.test")));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].ip, peers.ip.at("a"));
}

TEST_F(EMailDelivery, AcceptedMessageWithFailingQuitIsDeliveredOnce) {
  TMailPeers peers({"--smtp", "q:quit-fail", "--smtp", "a:ok", "--mx", "example.test=10:q,20:a"});
  EXPECT_TRUE(Module(peers).SendEMailExt(InviteRequest("anna@example.test")));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].ip, peers.ip.at("q"));
  EXPECT_EQ(peers.Events("QUIT", peers.ip.at("q")).size(), 1u);
  EXPECT_TRUE(peers.Events("CONNECT", peers.ip.at("a")).empty());
}

TEST_F(EMailDelivery, RefusedEhloFallsBackToHelo) {
  TMailPeers peers({"--smtp", "n:no-ehlo", "--mx", "example.test=10:n"});
  EXPECT_TRUE(Module(peers).SendEMailExt(InviteRequest("anna@example.test")));
  const auto greet = peers.Events("GREET");
  ASSERT_EQ(greet.size(), 2u);
  EXPECT_EQ(greet[0][2], "EHLO");
  EXPECT_EQ(greet[1][2], "HELO");
  EXPECT_EQ(Unhex(greet[1][3]), "conference.example.de");
  EXPECT_EQ(peers.Messages().size(), 1u);
}

TEST_F(EMailDelivery, FixedServerNeedsNoDnsAndGetsNoLogin) {
  TMailPeers peers({"--smtp", "a:ok"});
  auto request = InviteRequest("anna@example.test");
  Set(request, "MailServer", peers.ip.at("a"));
  EXPECT_TRUE(Module(peers).SendEMailExt(request));
  EXPECT_TRUE(peers.Events("DNS").empty());
  EXPECT_EQ(peers.Messages().size(), 1u);
  for (const auto& e : peers.Events()) EXPECT_NE(e[0].rfind("AUTH", 0), 0u);
}

TEST_F(EMailDelivery, OneRecipientPerTransactionAndTheLastAddressDecides) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  auto& module = Module(peers);
  EXPECT_TRUE(module.SendEMailExt(InviteRequest("anna@example.test; bob@example.test")));
  auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<anna@example.test>"}));
  EXPECT_TRUE(Contains(messages[0].raw, "\r\nTo: anna@example.test\r\n"));
  EXPECT_EQ(messages[1].rcpt, (std::vector<std::string>{"TO:<bob@example.test>"}));
  EXPECT_TRUE(Contains(messages[1].raw, "\r\nTo: bob@example.test\r\n"));

  // unknown.test has no MX record (the DNS server answers NXDOMAIN).
  EXPECT_FALSE(module.SendEMailExt(InviteRequest("anna@example.test, nobody@unknown.test")));
  EXPECT_TRUE(module.SendEMailExt(InviteRequest("nobody@unknown.test, anna@example.test")));
  EXPECT_FALSE(module.SendEMailExt(InviteRequest("")));
  EXPECT_FALSE(module.SendEMailExt(InviteRequest("not-an-address")));
  EXPECT_EQ(peers.Messages().size(), 4u);
}

TEST_F(EMailDelivery, InvalidSenderFailsBeforeConnecting) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  auto& module = Module(peers);
  for (const std::string sender :
       {"", "organiser", "a@b@example.de", "x@example.de\r\nRCPT TO:<evil@example.test>",
        "<x@example.de>", "m\xC3\xBCller@example.de"}) {
    auto request = InviteRequest("anna@example.test");
    Set(request, "MailSenderAdress", sender);
    EXPECT_FALSE(module.SendEMailExt(request)) << sender;
  }
  EXPECT_TRUE(peers.Events("CONNECT").empty());
}

TEST_F(EMailDelivery, LineBreaksInValuesCannotAddHeadersOrLines) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  auto request = InviteRequest("anna@example.test");
  Set(request, "MailSubject", "Hi\r\nBcc: evil@example.test");
  request.push_back("PIN=1\nMailServer=127.0.0.1");  // a later PIN line never wins anyway
  Set(request, "name", "Meier\r\nX-Injected: 1");
  EXPECT_TRUE(Module(peers).SendEMailExt(request));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].subject, "Hi  Bcc: evil@example.test");
  EXPECT_FALSE(Contains(messages[0].raw, "\r\nBcc:"));
  EXPECT_FALSE(Contains(messages[0].raw, "\r\nX-Injected:"));
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<anna@example.test>"}));
  EXPECT_TRUE(Contains(messages[0].parts[1].text, "\r\nSUMMARY:Hi  Bcc: evil@example.test\r\n"));
}

TEST_F(EMailDelivery, SupportRetryCarriesOneSetOfParts) {
  TMailPeers peers({"--smtp", "a:reject-rcpt", "--smtp", "s:ok", "--mx", "example.test=10:a"});
  auto request = InviteRequest("anna@example.test");
  Set(request, "SupportMailAdress", "support@example.de");
  EXPECT_TRUE(Module(peers, peers.ip.at("s")).SendEMailExt(request));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].ip, peers.ip.at("s"));
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<support@example.de>"}));
  EXPECT_EQ(messages[0].parts.size(), 2u);
}

TEST_F(EMailDelivery, ConcurrentSendsKeepTheirOwnRecipientAndPin) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  auto& module = Module(peers);
  constexpr int kThreads = 4;
  constexpr int kSends = 3;
  std::vector<std::thread> threads;
  std::atomic<int> delivered = 0;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int s = 0; s < kSends; ++s) {
        const std::string who = "user" + std::to_string(t * 10 + s) + "@example.test";
        auto request = InviteRequest(who);
        Set(request, "PIN", std::to_string(10000 + t * 10 + s));
        if (module.SendEMailExt(request)) ++delivered;
      }
    });
  }
  testing_support::JoinAllWithin(threads, "the concurrent deliveries");
  EXPECT_EQ(delivered, kThreads * kSends);
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kSends));
  for (const auto& m : messages) {
    ASSERT_EQ(m.rcpt.size(), 1u);
    const std::string number = m.rcpt[0].substr(std::string("TO:<user").size());
    const std::string n = number.substr(0, number.find('@'));
    EXPECT_TRUE(Contains(m.parts[0].text, "PIN " + std::to_string(10000 + std::stoi(n)) + " "))
        << m.rcpt[0];
    EXPECT_TRUE(Contains(m.raw, "\r\nTo: user" + n + "@example.test\r\n"));
  }
}

TEST_F(EMailDelivery, SilentServerHoldsOnlyItsOwnSendAndCancelEndsIt) {
  TMailPeers peers(
      {"--smtp", "a:ok", "--smtp", "stall:stall-after-data", "--mx", "example.test=10:a"});
  auto& module = Module(peers);
  auto stalled = InviteRequest("late@example.test");
  Set(stalled, "MailServer", peers.ip.at("stall"));
  std::atomic<bool> stalled_result = true;
  std::thread stalled_send([&] { stalled_result = module.SendEMailExt(stalled); });
  // The stalled send has handed over its message and waits for the answer to its end.
  for (int i = 0; i < 500 && peers.Events("MESSAGE", peers.ip.at("stall")).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(peers.Events("MESSAGE", peers.ip.at("stall")).size(), 1u);

  // Another send meanwhile goes through, with its own recipient and PIN.
  auto other = InviteRequest("anna@example.test");
  Set(other, "PIN", "24680");
  EXPECT_TRUE(module.SendEMailExt(other));
  const auto delivered = peers.Messages();
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[1].rcpt, std::vector<std::string>{"TO:<anna@example.test>"});
  EXPECT_TRUE(Contains(delivered[1].parts[0].text, "PIN 24680 "));

  const auto began = std::chrono::steady_clock::now();
  module.CancelSends();
  stalled_send.join();
  EXPECT_FALSE(stalled_result);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  // Once cancelled, a send fails before it connects.
  const size_t connects = peers.Events("CONNECT").size();
  EXPECT_FALSE(module.SendEMailExt(other));
  EXPECT_EQ(peers.Events("CONNECT").size(), connects);
}

}  // namespace
}  // namespace parlevo
