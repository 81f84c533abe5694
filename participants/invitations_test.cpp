// The invitation actions against a real database file and real mail peers on loopback.
#include "participants/invitations.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "participants/invitations_test_fixture.h"

namespace parlevo {
namespace {

using testing_support::Contains;
using testing_support::Invitations;
using testing_support::TMailPeers;
using testing_support::TMessage;

TEST_F(Invitations, SendInviteMailDeliversOneInvitationPerMemberWithCalendar) {
  auto answer = Run(SendInviteMail,
                    Request("SendInviteMail", Entry(anna_, "1", "-") + Entry(bob_, "1", "-")));
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  EXPECT_EQ(answer.Element("valid.flag"), "0");
  EXPECT_EQ(answer.Element("valid.count"), "0");
  EXPECT_EQ(answer.result, DocumentXMLText(answer.response));

  const auto messages = peers_.Messages();
  ASSERT_EQ(messages.size(), 2u);
  const TMessage* anna = MessageTo(messages, "anna@example.test");
  ASSERT_NE(anna, nullptr);
  EXPECT_EQ(anna->ip, peers_.ip.at("a"));
  // The host is in the list: he is the sender and the organiser.
  EXPECT_EQ(anna->mail_from, "FROM:<max@example.test>");
  EXPECT_EQ(anna->subject,
            "Einladung: \"Weekly\" am 24.12.2030 um 09:30 Uhr, Raum \"Room 1\" (4711)");
  EXPECT_EQ(anna->defects, 0);
  ASSERT_EQ(anna->parts.size(), 2u);
  EXPECT_EQ(anna->parts[0].content_type, "text/html;charset=\"iso-8859-1\"");
  const std::string& html = anna->parts[0].text;
  EXPECT_TRUE(Contains(html, "<p>Frau Dr. Anna Meier,</p>")) << html;
  EXPECT_TRUE(Contains(html, "<td>Ihre PIN:</td><td>22222</td>"));
  EXPECT_TRUE(Contains(html, "<td>Gastgeber:</td><td>Max Host</td>"));
  EXPECT_TRUE(Contains(html, "Max Host (Acme, Inc.), max@example.test<br />"));
  EXPECT_TRUE(
      Contains(html, "<a href=\"http://pbx01:81/default.html?RoomID=4711&UserPIN=22222\">"));
  EXPECT_EQ(anna->parts[1].content_type,
            "text/calendar;method=REQUEST;name=\"invitation.ics\";charset=\"utf-8\"");
  const std::string ics = anna->Calendar();
  EXPECT_TRUE(Contains(ics, "\r\nMETHOD:REQUEST\r\n"));
  EXPECT_TRUE(Contains(ics,
                       "\r\nDTSTART;TZID=\"(GMT+01.00) Sarajevo/Warsaw/Zagreb\":"
                       "20301224T093000\r\n"));
  EXPECT_TRUE(Contains(ics,
                       "\r\nDTEND;TZID=\"(GMT+01.00) Sarajevo/Warsaw/Zagreb\":"
                       "20301224T104500\r\n"));
  EXPECT_TRUE(Contains(ics, "\r\nUID:OrvalenZyntParlevo1\r\n"));
  EXPECT_TRUE(Contains(ics, "\r\nORGANIZER;CN=\"Max Host\":MAILTO:max@example.test\r\n"));
  // Every member but the host is an attendee.
  EXPECT_TRUE(Contains(ics, "CN=\"Meier, Anna\":MAILTO:anna@example.test\r\n"));
  EXPECT_TRUE(Contains(ics, "CN=\"Schulz, Bob\":MAILTO:bob@example.test\r\n"));
  EXPECT_FALSE(
      Contains(ics, "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=\"Host"));
  EXPECT_TRUE(Contains(ics, "\r\nTRIGGER:-PT00H15M00S\r\n"));
  EXPECT_TRUE(Contains(ics, "\r\nSTATUS:CONFIRMED\r\n"));

  // Bob's language is English: his salutation "Mr" is the English male word, and his
  // membership's language gives the subject and the templates.
  const TMessage* bob = MessageTo(messages, "bob@example.test");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->subject, "Invitation: \"Weekly\"");
  EXPECT_TRUE(Contains(bob->parts[0].text, "Mr Bob Schulz")) << bob->parts[0].text;

  EXPECT_EQ(Mailed(anna_), "Wahr");
  EXPECT_EQ(Mailed(bob_), "Wahr");
  EXPECT_EQ(Mailed(host_), "Falsch");
}

TEST_F(Invitations, MemberLimitRefusesAboveAndAllowsExactly) {
  install_.SetInteger("MaxMembers", 2);
  MarkMailed(host_);
  auto answer = Run(SendInviteMail,
                    Request("SendInviteMail", Entry(anna_, "1", "-") + Entry(bob_, "1", "-")));
  EXPECT_EQ(answer.Element("valid.flag"), "1");
  EXPECT_EQ(answer.Element("valid.count"), "1");
  EXPECT_FALSE(answer.Has("result"));
  EXPECT_TRUE(peers_.Messages().empty());
  EXPECT_EQ(Mailed(anna_), "Falsch");

  // An entry not marked "-" does not count, but is mailed.
  answer = Run(SendInviteMail,
               Request("SendInviteMail", Entry(anna_, "1", "-") + Entry(bob_, "1", "x")));
  EXPECT_EQ(answer.Element("valid.flag"), "0");
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  EXPECT_EQ(peers_.Messages().size(), 2u);
}

TEST_F(Invitations, AlreadyMailedMemberStopsTheSendPass) {
  MarkMailed(bob_);
  auto answer =
      Run(SendInviteMail, Request("SendInviteMail", Entry(anna_, "1", "-") + Entry(bob_, "1", "-") +
                                                        Entry(host_, "1", "-")));
  EXPECT_EQ(answer.Element("result"), "Keine Teilnehmer gefunden");
  EXPECT_FALSE(answer.Has("valid.flag"));
  EXPECT_EQ(answer.result, DocumentXMLText(answer.response));
  const auto messages = peers_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<anna@example.test>"}));
  EXPECT_EQ(Mailed(host_), "Falsch");
}

// A host who may dial in before the start has the invitations of conferences overlapping his
// own earlier window counted, with his time as a day number in the statement: a count that fails
// ends the pass with the error before any mail goes out.
TEST_F(Invitations, AHostsEarlierWindowIsCountedAndThePassGoesOn) {
  install_.Exec("UPDATE [conferenceMembers] SET [min]=\"24.12.2030 09:00:00\" WHERE memberID=" +
                std::to_string(host_));
  MarkMailed(bob_);
  auto answer = Run(SendInviteMail,
                    Request("SendInviteMail", Entry(anna_, "1", "-") + Entry(host_, "1", "-")));
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  EXPECT_EQ(peers_.Messages().size(), 2u);
  EXPECT_EQ(Mailed(host_), "Wahr");
}

TEST_F(Invitations, NoEntryOrHostileIdsAnswerError) {
  EXPECT_EQ(Run(SendInviteMail, Request("SendInviteMail", "")).result, "error");
  EXPECT_EQ(Run(SendInviteMail, Request("SendInviteMail", Entry(anna_, "1 OR 1=1", "-"))).result,
            "error");
  // A member ID that is no number ends the action as a database failure would.
  auto answer = Run(SendInviteMail, Request("SendInviteMail",
                                            "<Teilnehmer><TeilnehmerID>2 OR 1=1</TeilnehmerID>"
                                            "<KonferenzID>1</KonferenzID><invite>-</invite>"
                                            "</Teilnehmer>"));
  EXPECT_NE(answer.Element("result"), "");
  EXPECT_NE(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  EXPECT_TRUE(peers_.Messages().empty());
  EXPECT_EQ(install_.Count("SELECT Count(*) FROM [conferenceMembers] WHERE email=true"), 0);
}

TEST_F(Invitations, MailOffSendsNothingAndAnswersTheDocumentAsItStood) {
  install_.SetInteger("MailActivate", 0);
  auto answer = Run(SendInviteMail, Request("SendInviteMail", Entry(anna_, "1", "-")));
  EXPECT_FALSE(answer.Has("result"));
  EXPECT_FALSE(answer.Has("valid.flag"));
  EXPECT_EQ(answer.result, DocumentXMLText(answer.response));
  EXPECT_TRUE(peers_.Messages().empty());
  EXPECT_EQ(Mailed(anna_), "Falsch");
}

TEST_F(Invitations, SendInviteMailAllMailsEveryUnmailedMember) {
  MarkMailed(bob_);
  auto answer =
      Run(SendInviteMailAll, Request("SendInviteMailAll", "<KonferenzID>1</KonferenzID>"));
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  std::vector<std::string> recipients;
  for (const auto& m : peers_.Messages()) recipients.push_back(m.rcpt.at(0));
  std::sort(recipients.begin(), recipients.end());
  EXPECT_EQ(recipients,
            (std::vector<std::string>{"TO:<anna@example.test>", "TO:<max@example.test>"}));
  EXPECT_EQ(Mailed(host_), "Wahr");

  // Nothing left to mail: the same answer at once.
  answer = Run(SendInviteMailAll, Request("SendInviteMailAll", "<KonferenzID>1</KonferenzID>"));
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  EXPECT_EQ(peers_.Messages().size(), 2u);

  answer = Run(SendInviteMailAll, Request("SendInviteMailAll", "<KonferenzID>1;x</KonferenzID>"));
  EXPECT_NE(answer.Element("result"), "EMail(s) erfolgreich verschickt");
}

TEST_F(Invitations, HostileTextsStayInTheirPlace) {
  install_.Exec("UPDATE [members] SET name=\"Meier\r\nBcc: evil@example.test\" WHERE ID=" +
                std::to_string(anna_));
  install_.Exec("UPDATE [conferences] SET name=\"Weekly\r\nX-Evil: 1\" WHERE ID=1");
  auto answer = Run(SendInviteMail, Request("SendInviteMail", Entry(anna_, "1", "-")));
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  const auto messages = peers_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<anna@example.test>"}));
  EXPECT_FALSE(Contains(messages[0].raw, "\r\nX-Evil"));
  EXPECT_FALSE(Contains(messages[0].raw, "\r\nBcc:"));
  EXPECT_EQ(messages[0].defects, 0);
  const std::string ics = messages[0].Calendar();
  EXPECT_FALSE(Contains(ics, "\r\nX-Evil"));
  EXPECT_FALSE(Contains(ics, "\r\nBcc:"));
}

TEST_F(Invitations, NextExchangerWhenTheFirstRefuses) {
  TMailPeers peers(
      {"--smtp", "down:refuse", "--smtp", "up:ok", "--mx", "example.test=10:down,20:up"});
  install_.UseMailPeers(peers);
  auto answer = Run(SendInviteMail, Request("SendInviteMail", Entry(anna_, "1", "-")));
  EXPECT_EQ(answer.Element("result"), "EMail(s) erfolgreich verschickt");
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].ip, peers.ip.at("up"));
}

}  // namespace
}  // namespace parlevo
