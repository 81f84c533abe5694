// SendMailHelper against a real database file and real mail peers on loopback.
#include "participants/send_mail_helper.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "participants/invitations.h"
#include "participants/invitations_test_fixture.h"
#include "tests/deadline.h"

namespace parlevo {
namespace {

using testing_support::Contains;
using testing_support::TMessage;

using SendMailHelperTest = testing_support::Invitations;

TEST_F(SendMailHelperTest, CancellationByMailAndSms) {
  install_.SetInteger("SMSActivate", 1);
  pugi::xml_document response;
  response.append_child("RESPONSE");
  // Never mailed: nothing to cancel.
  EXPECT_FALSE(SendMailHelper("1", std::to_string(anna_), false, response));
  EXPECT_EQ(NodeText(FindXMLNode(response.document_element(), "result", false)),
            "Keine Teilnehmer gefunden");
  EXPECT_TRUE(peers_.Messages().empty());

  MarkMailed(anna_);
  pugi::xml_document second;
  second.append_child("RESPONSE");
  EXPECT_TRUE(SendMailHelper("1", std::to_string(anna_), false, second));
  const auto messages = peers_.Messages();
  ASSERT_EQ(messages.size(), 2u);
  const TMessage* mail = MessageTo(messages, "anna@example.test");
  ASSERT_NE(mail, nullptr);
  EXPECT_EQ(mail->subject, "Absage: \"Weekly\"");
  EXPECT_TRUE(Contains(mail->Calendar(), "\r\nMETHOD:CANCEL\r\n"));
  EXPECT_TRUE(Contains(mail->Calendar(), "\r\nSTATUS:CANCELLED\r\n"));
  const TMessage* sms = MessageTo(messages, "0170111@gw.example.test");
  ASSERT_NE(sms, nullptr);
  EXPECT_EQ(sms->ip, peers_.ip.at("gw"));
  EXPECT_EQ(sms->subject, "Konferenz");
  ASSERT_EQ(sms->parts.size(), 1u);  // no calendar in an SMS
  EXPECT_TRUE(Contains(sms->parts[0].text, "Absage: Ihre Teilnahme an der Telefonkonferenz"));
  // A cancellation does not change the mark; the caller deletes the membership.
  EXPECT_EQ(Mailed(anna_), "Wahr");
}

TEST_F(SendMailHelperTest, MissingLanguageIsSetOnlyWhereEmpty) {
  // Two members share an address holding an apostrophe; one has no language, the other English.
  const int quote = AddMember("Herr", "", "O'Brien", "Sean", "o'brien@example.test", "", "", "");
  const int twin =
      AddMember("Frau", "", "O'Brien", "Siobhan", "o'brien@example.test", "", "", "eng");
  const int plain = AddMember("Herr", "", "Lang", "Otto", "otto@example.test", "", "", "");
  Join(quote, false, "44444", "ger");
  Join(plain, false, "77777", "ger");
  pugi::xml_document response;
  response.append_child("RESPONSE");
  // The address is no valid mail address, so the mail itself fails; the language is set first.
  EXPECT_FALSE(SendMailHelper("1", std::to_string(quote), true, response));
  EXPECT_EQ(
      install_.Row("SELECT language FROM members WHERE ID=" + std::to_string(quote), {"language"}),
      std::vector<std::string>{"ger"});
  EXPECT_EQ(
      install_.Row("SELECT language FROM members WHERE ID=" + std::to_string(twin), {"language"}),
      std::vector<std::string>{"eng"});

  EXPECT_TRUE(SendMailHelper("1", std::to_string(plain), true, response))
      << DocumentXMLText(response);
  EXPECT_EQ(
      install_.Row("SELECT language FROM members WHERE ID=" + std::to_string(plain), {"language"}),
      std::vector<std::string>{"ger"});
  const auto messages = peers_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(Contains(messages[0].parts[0].text, "<p>Herr Otto Lang,</p>"));
}

TEST_F(SendMailHelperTest, SalutationFallbacksAndAnUnreadableConferenceLanguage) {
  // Member language without a file: the gender is male; the conference language gives the word.
  const int nofile =
      AddMember("Monsieur", "", "Dupont", "Jean", "jean@example.test", "", "", "fra");
  Join(nofile, false, "55555", "eng");
  auto answer = Run(SendInviteMail, Request("SendInviteMail", Entry(nofile, "1", "-")));
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  auto messages = peers_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(Contains(messages[0].parts[0].text, "Mr Jean Dupont")) << messages[0].parts[0].text;

  // A conference language without a language file: the message cannot be built, the invitation
  // fails without a reason and the membership stays unmailed.
  const int nolang = AddMember("Frau", "", "Weber", "Eva", "eva@example.test", "", "", "ger");
  Join(nolang, false, "66666", "../ger");
  answer = Run(SendInviteMail, Request("SendInviteMail", Entry(nolang, "1", "-")));
  EXPECT_FALSE(answer.Has("result"));
  EXPECT_EQ(peers_.Messages().size(), 1u);
  EXPECT_EQ(Mailed(nolang), "Falsch");
}

TEST_F(SendMailHelperTest, InjectedSendSeesTheComposedMessageAndDecidesTheMark) {
  install_.SetInteger("SMSActivate", 1);
  std::vector<TSendMail> seen;
  bool accept = false;
  const TMailSend send = [&](const TSendMail& mail) {
    seen.push_back(mail);
    return accept;
  };
  pugi::xml_document response;
  response.append_child("RESPONSE");
  // A refused invitation writes no reason and leaves the membership unmailed.
  EXPECT_FALSE(SendMailHelper("1", std::to_string(anna_), true, response, send));
  EXPECT_FALSE(FindXMLNode(response.document_element(), "result", false));
  EXPECT_EQ(Mailed(anna_), "Falsch");
  ASSERT_EQ(seen.size(), 1u);  // an invitation never goes out by SMS here
  const TSendMail& mail = seen[0];
  EXPECT_TRUE(mail.IsEMail);
  EXPECT_TRUE(mail.Invite);
  EXPECT_EQ(mail.EMail, "anna@example.test");
  EXPECT_EQ(mail.Host, "Max Host");
  EXPECT_EQ(mail.Title, " Dr.");
  EXPECT_EQ(mail.ConferenceName, "\"Weekly\"");
  EXPECT_EQ(mail.RoomName, "\"Room 1\"");
  EXPECT_EQ(mail.SMSText, "0170111");
  EXPECT_EQ(mail.ConferenceID, "1");
  ASSERT_EQ(mail.MemberList.size(), 3u);
  EXPECT_EQ(mail.MemberList[0].Company, "Acme, Inc.");
  EXPECT_TRUE(peers_.Messages().empty());

  accept = true;
  EXPECT_TRUE(SendMailHelper("1", std::to_string(anna_), true, response, send));
  EXPECT_EQ(Mailed(anna_), "Wahr");
  // The cancellation goes by mail and by SMS; the SMS carries the mobile number.
  EXPECT_TRUE(SendMailHelper("1", std::to_string(anna_), false, response, send));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_TRUE(seen[2].IsEMail);
  EXPECT_FALSE(seen[3].IsEMail);
  EXPECT_EQ(seen[3].EMail, "0170111");
  EXPECT_FALSE(seen[3].Invite);
  EXPECT_TRUE(peers_.Messages().empty());
}

TEST_F(SendMailHelperTest, AnInvitationOnItsWayIsSentOnceAndAFailedOneCanBeSentAgain) {
  std::mutex mutex;
  std::condition_variable changed;
  int sends = 0;
  bool release = false;
  // The first send waits until the test lets it go; the others go at once.
  const TMailSend send = [&](const TSendMail&) {
    std::unique_lock lock(mutex);
    if (++sends == 1) {
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    }
    return true;
  };
  bool first_result = false;
  std::thread first([&] {
    pugi::xml_document response;
    response.append_child("RESPONSE");
    first_result = SendMailHelper("1", std::to_string(anna_), true, response, send);
  });
  {
    testing_support::TWatchdog dog("the first send");
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return sends == 1; });
  }
  // Meanwhile a second request for the same invitation sends nothing and says why.
  pugi::xml_document response;
  response.append_child("RESPONSE");
  EXPECT_FALSE(SendMailHelper("1", std::to_string(anna_), true, response, send));
  EXPECT_EQ(NodeText(FindXMLNode(response.document_element(), "result", false)),
            "Einladung wird bereits versendet");
  // Another member's invitation is not held up by it.
  EXPECT_TRUE(SendMailHelper("1", std::to_string(bob_), true, response, send));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(sends, 2);
    release = true;
  }
  changed.notify_all();
  testing_support::JoinWithin(first, "the first send");
  EXPECT_TRUE(first_result);
  EXPECT_EQ(Mailed(anna_), "Wahr");
  // Once marked, it is not due any more.
  pugi::xml_document after;
  after.append_child("RESPONSE");
  EXPECT_FALSE(SendMailHelper("1", std::to_string(anna_), true, after, send));
  EXPECT_EQ(NodeText(FindXMLNode(after.document_element(), "result", false)),
            "Keine Teilnehmer gefunden");
  EXPECT_EQ(sends, 2);

  // A failed send gives its claim back: the next request sends it.
  const TMailSend refuse = [](const TSendMail&) { return false; };
  EXPECT_FALSE(SendMailHelper("1", std::to_string(host_), true, after, refuse));
  EXPECT_EQ(Mailed(host_), "Falsch");
  EXPECT_TRUE(SendMailHelper("1", std::to_string(host_), true, after, send));
  EXPECT_EQ(Mailed(host_), "Wahr");
  EXPECT_EQ(sends, 3);
}

}  // namespace
}  // namespace parlevo
