#include "participants/teilnehmer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "participants/teilnehmer_test_support.h"
#include "platform/random.h"
#include "tests/deadline.h"
#include "webservice/base64.h"

namespace parlevo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_support::AnswerHas;
using testing_support::AnswerText;

class Membership : public testing_support::MemberDatabaseTest {
 protected:
  std::string InviteOne(int conference, const std::string& name, const std::string& email,
                        const std::string& gastgeber = "true",
                        const std::string& titel_element = "") {
    return Run(Participant_AddToConference,
               "<request><action>inviteOne</action><durchwahl>100</durchwahl><KonferenzID>" +
                   std::to_string(conference) + "</KonferenzID><gastgeber>" + gastgeber +
                   "</gastgeber><anrede>Herr</anrede><titel>" +
                   (titel_element.empty() ? Base64Encode("Dr.") : titel_element) +
                   "</titel><name>" + Base64Encode(name) + "</name><vorname>" +
                   Base64Encode("Max") + "</vorname><email>" + email + "</email><firma>" +
                   Base64Encode("Firma") + "</firma><projekt>" + Base64Encode("X") +
                   "</projekt><mobil>+49 171</mobil><minzeit>07.03.2026 10:00</minzeit>"
                   "<maxzeit>07.03.2026 11:00</maxzeit><listenonly>FALSE</listenonly>"
                   "<languagecode>eng</languagecode><membersvisible>-1</membersvisible></request>");
  }
};

TEST_F(Membership, InviteOneCreatesMemberAndMembershipWithFreshPin) {
  const int conf = AddConference("100", "Jour fixe");
  const std::string answer = InviteOne(conf, "Muster", "max@example.org");
  EXPECT_EQ(AnswerText(answer, "result.code"), "0");
  EXPECT_EQ(AnswerText(answer, "result.description"), "Teilnehmer erfolgreich angelegt");

  auto members = Rows("SELECT * FROM [members]");
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0]["title"], "Dr.");
  EXPECT_EQ(members[0]["sms"], "+49 171");
  EXPECT_EQ(members[0]["language"], "eng");

  auto rows = Rows("SELECT * FROM [conferenceMembers]");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["memberID"], members[0]["ID"]);
  EXPECT_EQ(rows[0]["conferenceID"], std::to_string(conf));
  EXPECT_EQ(rows[0]["host"], "Wahr");
  EXPECT_EQ(rows[0]["listenOnly"], "Falsch");
  EXPECT_EQ(rows[0]["membersvisible"], "Wahr");
  for (const char* flag : {"email", "sms", "present", "kick"}) {
    EXPECT_EQ(rows[0][flag], "Falsch") << flag;
  }
  EXPECT_EQ(rows[0]["languagecode"], "eng");
  EXPECT_EQ(rows[0]["directdial"], "100");
  const std::string pin = rows[0]["pin"];
  ASSERT_EQ(pin.size(), 5u);
  EXPECT_EQ(pin.find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(Membership, TheNewPinRoutesTheCallerIntoHisConference) {
  const int conf = AddConference("100", "Jour fixe");
  AddConference("100", "Andere");
  ASSERT_EQ(AnswerText(InviteOne(conf, "Muster", "max@example.org", "true"), "result.code"), "0");
  ASSERT_EQ(AnswerText(InviteOne(conf, "Gast", "gast@example.org", "false"), "result.code"), "0");
  for (const auto& membership : Rows("SELECT pin, host FROM [conferenceMembers]")) {
    // The lookup of GetConferenceIDFromMemberPIN, as that method runs it.
    auto found = Rows(
        "SELECT [conferenceMembers].conferenceID, [conferenceMembers].host, [conferences].name "
        "as conferenceName   FROM [conferenceMembers], [conferences]  WHERE "
        "[conferenceMembers].pin=\"" +
        membership.at("pin") + "\" AND [conferenceMembers].conferenceID=[conferences].ID");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]["conferenceID"], std::to_string(conf));
    EXPECT_EQ(found[0]["host"], membership.at("host"));
    EXPECT_EQ(found[0]["conferenceName"], "Jour fixe");
  }
  EXPECT_EQ(Rows("SELECT host FROM [conferenceMembers] WHERE host=true").size(), 1u);
}

TEST_F(Membership, InviteOneReusesAnEqualMemberAndAnswersDuplicates) {
  const int conf = AddConference("100", "Jour fixe");
  const int other = AddConference("200", "Andere");
  const int known = AddMember("Muster", "Max", "max@example.org");

  EXPECT_EQ(AnswerText(InviteOne(conf, "MUSTER", "Max@Example.org"), "result.code"), "0");
  EXPECT_EQ(Count("members"), 1u);
  EXPECT_EQ(Rows("SELECT memberID FROM [conferenceMembers]")[0]["memberID"], std::to_string(known));

  const std::string again = InviteOne(conf, "Muster", "max@example.org");
  EXPECT_EQ(AnswerText(again, "result.code"), "-1");
  EXPECT_EQ(AnswerText(again, "result.description"),
            "Teilnehmer exisitert in der Konferenz bereits");
  EXPECT_EQ(Count("conferenceMembers"), 1u);

  // The same member in another conference is a new membership with another PIN.
  EXPECT_EQ(AnswerText(InviteOne(other, "Muster", "max@example.org"), "result.code"), "0");
  auto pins = Rows("SELECT pin FROM [conferenceMembers]");
  ASSERT_EQ(pins.size(), 2u);
  EXPECT_NE(pins[0]["pin"], pins[1]["pin"]);
}

TEST_F(Membership, InviteOneWithInvalidBase64TitleStoresEmptyTitle) {
  const int conf = AddConference("100", "Jour fixe");
  EXPECT_EQ(
      AnswerText(InviteOne(conf, "Muster", "m@example.org", "false", "Dr. !!"), "result.code"),
      "0");
  EXPECT_EQ(Rows("SELECT title FROM [members]")[0]["title"], "");
}

TEST_F(Membership, InviteOneDrawsAgainForTakenPinsAndEndsWhenNoneIsFree) {
  const int conf = AddConference("100", "Jour fixe");
  const int filler = AddMember("Voll", "Voll", "voll@example.org");
  // Every PIN but 04711 is taken: the random draws fail, the search still finds the free one.
  RawExec(
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99999) "
      "INSERT INTO conferenceMembers (memberID, conferenceID, pin) SELECT " +
      std::to_string(filler) + ", 999, printf('%05d', i) FROM n WHERE i <> 4711");
  EXPECT_EQ(AnswerText(InviteOne(conf, "Muster", "m@example.org"), "result.code"), "0");
  EXPECT_EQ(Rows("SELECT pin FROM [conferenceMembers] WHERE conferenceID=" +
                 std::to_string(conf))[0]["pin"],
            "04711");

  const std::string full = InviteOne(conf, "Zweite", "z@example.org");
  EXPECT_EQ(AnswerText(full, "result.code"), "-999");
  EXPECT_EQ(AnswerText(full, "result.description"), "Keine freie PIN verfügbar");
  EXPECT_EQ(Count("conferenceMembers"), 100000u);
}

TEST_F(Membership, ConcurrentInvitesGiveDistinctPins) {
  const int conf = AddConference("100", "Jour fixe");
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      for (int j = 0; j < 5; ++j) {
        InviteOne(conf, "T" + std::to_string(i * 10 + j), "t@example.org");
      }
    });
  }
  testing_support::JoinAllWithin(threads, "the concurrent membership requests");
  auto rows = Rows("SELECT pin FROM [conferenceMembers]");
  ASSERT_EQ(rows.size(), 40u);
  std::set<std::string> pins;
  for (auto& r : rows) pins.insert(r["pin"]);
  EXPECT_EQ(pins.size(), 40u);
}

TEST_F(Membership, InviteOneRefusesHostileValuesBeforeWritingAnything) {
  const int conf = AddConference("100", "Jour fixe");
  AddMembership(AddMember("A", "A", "a@example.org"), conf, "12345");
  for (const std::string& gastgeber : {std::string("true, pin=\"00000\""), std::string("yes")}) {
    const std::string answer = InviteOne(conf, "Muster", "m@example.org", gastgeber);
    EXPECT_EQ(AnswerText(answer, "result.code"), "-999");
    EXPECT_THAT(AnswerText(answer, "result.description"), HasSubstr("gastgeber"));
  }
  const std::string bad_id = Run(Participant_AddToConference,
                                 "<request><KonferenzID>1 OR 1=1</KonferenzID><gastgeber>true"
                                 "</gastgeber><listenonly>0</listenonly><membersvisible>1"
                                 "</membersvisible></request>");
  EXPECT_EQ(AnswerText(bad_id, "result.code"), "-999");
  EXPECT_EQ(Count("members"), 1u);
  EXPECT_EQ(Count("conferenceMembers"), 1u);
  EXPECT_EQ(Rows("SELECT pin FROM [conferenceMembers]")[0]["pin"], "12345");
}

TEST_F(Membership, InviteOneWithUnreadableTimeAnswersDatabaseFailure) {
  const int conf = AddConference("100", "Jour fixe");
  const std::string answer =
      Run(Participant_AddToConference,
          "<request><KonferenzID>" + std::to_string(conf) +
              "</KonferenzID><gastgeber>false</gastgeber><listenonly>false</listenonly>"
              "<membersvisible>false</membersvisible><name>" +
              Base64Encode("Zeit") + "</name><minzeit>bald</minzeit></request>");
  EXPECT_EQ(AnswerText(answer, "result.code"), "-999");
  EXPECT_NE(AnswerText(answer, "result.description"), "");
  EXPECT_EQ(Count("conferenceMembers"), 0u);
}

class CopyMembers : public Membership {
 protected:
  std::string Copy(int target, const std::vector<int>& sources,
                   const std::string& durchwahl = "100") {
    std::string request =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><request><action>InviteKonfTeilnehmer</action>"
        "<KonferenzID>" +
        std::to_string(target) + "</KonferenzID><durchwahl>" + durchwahl +
        "</durchwahl><minzeit>2026-03-14 10:00:00</minzeit><maxzeit>2026-03-14 11:00:00"
        "</maxzeit>";
    for (int s : sources) request += "<KonferenzIDVon>" + std::to_string(s) + "</KonferenzIDVon>";
    return Run(InviteKonfTeilnehmer, request + "</request>");
  }
};

TEST_F(CopyMembers, MergesEqualEntriesKeepsVariantsAndTakesTheLastRoom) {
  const int a = AddConference("100", "A");
  const int b = AddConference("200", "B");
  const int target = AddConference("100", "Ziel");
  const int anna = AddMember("Anna", "A", "a@example.org");
  const int bert = AddMember("Bert", "B", "b@example.org");
  const int cleo = AddMember("Cleo", "C", "c@example.org");
  AddMembership(anna, a, "10001", true, true, false, "ger");
  AddMembership(anna, b, "10002", false, true, false, "GER");  // equal but for case: merged
  AddMembership(bert, a, "10003", false, false, true, "ger");
  AddMembership(bert, b, "10004", false, false, true, "eng");  // another language: both copied
  AddMembership(cleo, b, "10005", false, false, true, "ger");

  const std::string answer = Copy(target, {a, b});
  EXPECT_EQ(AnswerText(answer, "result.code"), "0");
  EXPECT_EQ(AnswerText(answer, "result.description"), "Teilnehmer eingeladen");

  auto rows =
      Rows("SELECT * FROM [conferenceMembers] WHERE conferenceID=" + std::to_string(target) +
           " ORDER BY memberID, languagecode");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0]["memberID"], std::to_string(anna));
  EXPECT_EQ(rows[0]["listenOnly"], "Wahr");
  EXPECT_EQ(rows[0]["membersvisible"], "Falsch");
  EXPECT_EQ(rows[1]["languagecode"], "eng");
  EXPECT_EQ(rows[2]["languagecode"], "ger");
  std::set<std::string> pins;
  for (auto& r : rows) {
    EXPECT_EQ(r["host"], "Falsch");
    EXPECT_EQ(r["directdial"], "200");  // the room of the last source, not "durchwahl"
    EXPECT_EQ(r["email"], "Falsch");
    pins.insert(r["pin"]);
  }
  auto all = Rows("SELECT pin FROM [conferenceMembers]");
  std::set<std::string> all_pins;
  for (auto& r : all) all_pins.insert(r["pin"]);
  EXPECT_EQ(all_pins.size(), all.size()) << "member PINs are unique over all memberships";
}

TEST_F(CopyMembers, NullFlagsFromTheConferenceSideCountAsFalse) {
  const int a = AddConference("100", "A");
  const int target = AddConference("100", "Ziel");
  const int anna = AddMember("Anna", "A", "a@example.org");
  MakeMembershipFlagsNullable();
  RawExec("INSERT INTO conferenceMembers (memberID, conferenceID, languagecode, pin) VALUES (" +
          std::to_string(anna) + ", " + std::to_string(a) + ", 'ger', '55555')");
  EXPECT_EQ(AnswerText(Copy(target, {a}), "result.code"), "0");
  auto rows =
      Rows("SELECT * FROM [conferenceMembers] WHERE conferenceID=" + std::to_string(target));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["listenOnly"], "Falsch");
  EXPECT_EQ(rows[0]["membersvisible"], "Falsch");
}

TEST_F(CopyMembers, UnknownOrMissingSourcesInsertNothing) {
  const int empty = AddConference("100", "Leer");
  const int target = AddConference("100", "Ziel");
  EXPECT_EQ(AnswerText(Copy(target, {empty}), "result.code"), "0");

  const std::string unknown = Copy(target, {4242});
  EXPECT_EQ(AnswerText(unknown, "result.code"), "-999");
  EXPECT_EQ(AnswerText(unknown, "result.description"), "");

  EXPECT_EQ(Copy(target, {}), "error");

  const int source = AddConference("100", "Quelle");
  AddMembership(AddMember("Anna", "A", "a@example.org"), source, "10001");
  const std::string bad_target =
      Run(InviteKonfTeilnehmer, "<request><KonferenzID>1 OR 1=1</KonferenzID><KonferenzIDVon>" +
                                    std::to_string(source) + "</KonferenzIDVon></request>");
  EXPECT_EQ(AnswerText(bad_target, "result.code"), "-999");
  EXPECT_THAT(AnswerText(bad_target, "result.description"), HasSubstr("KonferenzID"));
  Exec("DELETE FROM [conferenceMembers] WHERE conferenceID=" + std::to_string(source));

  const std::string hostile = Run(InviteKonfTeilnehmer,
                                  "<request><KonferenzID>1</KonferenzID><KonferenzIDVon>1 OR 1=1"
                                  "</KonferenzIDVon></request>");
  EXPECT_EQ(AnswerText(hostile, "result.code"), "-999");
  EXPECT_EQ(Count("conferenceMembers"), 0u);
}

TEST_F(CopyMembers, RunsOnAnInternalRequestAsTheSeriesBuildsIt) {
  const int a = AddConference("300", "A");
  const int anna = AddMember("Anna", "A", "a@example.org");
  AddMembership(anna, a, "10001");
  const int target = AddConference("300", "Neu");
  // The series engine builds its text with CR LF between the lines, parses it as a request
  // (tag names lowered) and calls the action directly.
  pugi::xml_document request;
  LoadRequestDocument(
      request,
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><request><action>InviteKonfTeilnehmer</action>\r\n"
      "<KonferenzID>" +
          std::to_string(target) +
          "</KonferenzID>\r\n<durchwahl>300</durchwahl>"
          "\r\n<minzeit>2026-03-07 10:00:00</minzeit>\r\n<maxzeit>2026-03-07 11:00:00</maxzeit>\r\n"
          "<KonferenzIDVon>" +
          std::to_string(a) + "</KonferenzIDVon>\r\n</request>");
  pugi::xml_document response;
  response.append_child("RESPONSE");
  std::string result;
  InviteKonfTeilnehmer(request, response, result);
  EXPECT_EQ(AnswerText(result, "result.code"), "0");
  EXPECT_EQ(Count("conferenceMembers"), 2u);
}

class RemoveMembers : public Membership {
 protected:
  struct Call {
    std::string conference, participant;
    bool invite;
    size_t memberships_then;
  };
  void RecordMails(bool succeed) {
    mailer_ = [this, succeed](const std::string& conference, const std::string& participant,
                              bool invite, pugi::xml_document& response) {
      calls_.push_back({conference, participant, invite, Count("conferenceMembers")});
      if (!succeed) GetQueryResultText(response, "Keine Teilnehmer gefunden");
      return succeed;
    };
  }
  std::string Remove(int conference, const std::vector<std::string>& ids) {
    std::string request = "<request><action>DeleteKonfTeilnehmer</action><KonferenzID>" +
                          std::to_string(conference) + "</KonferenzID>";
    for (const auto& id : ids) request += "<TeilnehmerID>" + id + "</TeilnehmerID>";
    return RunActionRequest(
        [this](pugi::xml_document& req, pugi::xml_document& resp, std::string& res) {
          DeleteKonfTeilnehmerWith(req, resp, res, mailer_);
        },
        request + "</request>");
  }
  TSendMailHelper mailer_;
  std::vector<Call> calls_;
};

TEST_F(RemoveMembers, SendsEachCancellationBeforeItsDelete) {
  RecordMails(true);
  const int conf = AddConference("100", "A");
  const int anna = AddMember("Anna", "A", "a@example.org");
  const int bert = AddMember("Bert", "B", "b@example.org");
  const int cleo = AddMember("Cleo", "C", "c@example.org");
  AddMembership(anna, conf, "10001");
  AddMembership(bert, conf, "10002");
  AddMembership(cleo, conf, "10003");
  AddLogRow(anna, conf, "2026-03-07 10:00:00", "2026-03-07 10:10:00");

  const std::string answer = Remove(conf, {std::to_string(anna), std::to_string(bert)});
  EXPECT_EQ(AnswerText(answer, "result"), "Konferenz-Teilnehmer gelöscht");
  EXPECT_FALSE(AnswerHas(answer, "fehler"));
  ASSERT_EQ(calls_.size(), 2u);
  EXPECT_EQ(calls_[0].conference, std::to_string(conf));
  EXPECT_EQ(calls_[0].participant, std::to_string(anna));
  EXPECT_FALSE(calls_[0].invite);
  EXPECT_EQ(calls_[0].memberships_then, 3u);  // nothing deleted before the first mail
  EXPECT_EQ(calls_[1].participant, std::to_string(bert));
  EXPECT_EQ(calls_[1].memberships_then, 2u);  // anna's delete ran between the two mails
  auto left = Rows("SELECT memberID FROM [conferenceMembers]");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["memberID"], std::to_string(cleo));
  EXPECT_EQ(Count("conferenceMemberLog"), 1u);  // attendance and address book stay
  EXPECT_EQ(Count("members"), 3u);
}

TEST_F(RemoveMembers, FailedMailAddsFehlerAndAMissingMembershipAnswersFehler) {
  RecordMails(false);
  const int conf = AddConference("100", "A");
  const int anna = AddMember("Anna", "A", "a@example.org");
  AddMembership(anna, conf, "10001");

  const std::string removed = Remove(conf, {std::to_string(anna)});
  EXPECT_EQ(AnswerText(removed, "result"), "Konferenz-Teilnehmer gelöscht");
  EXPECT_EQ(AnswerText(removed, "fehler"), "Mail konnte nicht gesendet werden");
  EXPECT_EQ(Count("conferenceMembers"), 0u);

  const std::string missing = Remove(conf, {std::to_string(anna)});
  EXPECT_EQ(AnswerText(missing, "result"), "Fehler");
  EXPECT_EQ(AnswerText(missing, "fehler"), "Mail konnte nicht gesendet werden");
}

TEST_F(RemoveMembers, HostileIdsNeitherMailNorDelete) {
  RecordMails(true);
  const int conf = AddConference("100", "A");
  AddMembership(AddMember("Anna", "A", "a@example.org"), conf, "10001");
  AddMembership(AddMember("Bert", "B", "b@example.org"), conf, "10002");
  const std::string answer = Remove(conf, {"1 OR 1=1"});
  EXPECT_THAT(AnswerText(answer, "result"), HasSubstr("TeilnehmerID"));
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(Count("conferenceMembers"), 2u);
}

}  // namespace
}  // namespace parlevo
