#include "participants/teilnehmer_addressbook.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "participants/teilnehmer_test_support.h"
#include "tests/deadline.h"
#include "webservice/base64.h"

namespace parlevo {
namespace {

using testing_support::AnswerHas;
using testing_support::AnswerText;

class AddressBook : public testing_support::MemberDatabaseTest {
 protected:
  std::string AddRequest(const std::string& name, const std::string& firstname,
                         const std::string& email, const std::string& sprache_element) {
    return "<request><action>AddTeilnehmer</action><Anrede>Frau</Anrede><Titel>" +
           Base64Encode("Dr.") + "</Titel><Name>" + Base64Encode(name) + "</Name><Vorname>" +
           Base64Encode(firstname) + "</Vorname><Email>" + email + "</Email><Firma>" +
           Base64Encode("Müller & Söhne") + "</Firma><Projekt>" + Base64Encode("P1") +
           "</Projekt><Sprache>" + sprache_element + "</Sprache><Mobil>0171 555</Mobil></request>";
  }
};

TEST_F(AddressBook, AddStoresDecodedTextsAndSkipsEqualMembersInAnyCase) {
  const std::string answer =
      Run(Participants_Add, AddRequest("Meier", "Anna", "anna@example.org", Base64Encode("eng")));
  EXPECT_EQ(AnswerText(answer, "result.code"), "0");
  EXPECT_EQ(AnswerText(answer, "result.description"), "Teilnehmer zur Konferenz hinzugefügt");
  auto rows = Rows("SELECT * FROM [members]");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["sex"], "Frau");
  EXPECT_EQ(rows[0]["title"], "Dr.");
  EXPECT_EQ(rows[0]["name"], "Meier");
  EXPECT_EQ(rows[0]["company"], "Müller & Söhne");
  EXPECT_EQ(rows[0]["sms"], "0171 555");
  EXPECT_EQ(rows[0]["language"], "eng");

  const std::string again =
      Run(Participants_Add, AddRequest("MEIER", "anna", "Anna@Example.ORG", Base64Encode("eng")));
  EXPECT_EQ(AnswerText(again, "result.code"), "0");
  EXPECT_EQ(AnswerText(again, "result.description"), "Teilnehmer zur Konferenz hinzugefügt");
  EXPECT_EQ(Count("members"), 1u);

  // Another address is another member.
  Run(Participants_Add, AddRequest("Meier", "Anna", "anna@example.com", Base64Encode("eng")));
  EXPECT_EQ(Count("members"), 2u);
}

TEST_F(AddressBook, PlainLanguageInAddIsNoBase64AndStoresEmpty) {
  Run(Participants_Add, AddRequest("Kurz", "Karl", "k@example.org", "ger"));
  auto rows = Rows("SELECT * FROM [members]");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["language"], "");
}

TEST_F(AddressBook, HostileTextsAreStoredAsSent) {
  const std::string name = "O\"Brien\", \"x\"); DELETE FROM members; --";
  Run(Participants_Add, AddRequest(name, "'Pat'", "p\"@example.org", Base64Encode("ger")));
  auto rows = Rows("SELECT * FROM [members]");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["name"], name);
  EXPECT_EQ(rows[0]["firstname"], "'Pat'");
  EXPECT_EQ(rows[0]["email"], "p\"@example.org");
}

TEST_F(AddressBook, ConcurrentEqualAddsStoreOneMember) {
  const std::string request = AddRequest("Gleich", "Zeit", "z@example.org", Base64Encode("ger"));
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] { Run(Participants_Add, request); });
  }
  testing_support::JoinAllWithin(threads, "the concurrent address book requests");
  EXPECT_EQ(Count("members"), 1u);
}

TEST_F(AddressBook, GetListsEveryMemberWithTypeRule) {
  const std::string empty =
      Run(Participants_Get, "<request><action>GetTeilnehmer</action></request>");
  EXPECT_EQ(AnswerText(empty, "result"), "Fehler");
  EXPECT_FALSE(AnswerHas(empty, "result.code"));

  Run(Participants_Add, AddRequest("Meier", "Anna", "anna@example.org", Base64Encode("eng")));
  Exec(
      "INSERT INTO [members] ([name], [HideFromAddressbook], [title]) VALUES (\"Versteckt\", "
      "true, \"\")");

  const std::string answer =
      Run(Participants_Get, "<request><action>GetTeilnehmer</action></request>");
  EXPECT_EQ(AnswerText(answer, "type"), "GetTeilnehmer");
  EXPECT_EQ(AnswerText(answer, "result.code"), "0");
  EXPECT_TRUE(AnswerHas(answer, "result.description"));
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str()));
  std::vector<pugi::xml_node> entries;
  for (pugi::xml_node e : doc.document_element().children("Liste")) entries.push_back(e);
  ASSERT_EQ(entries.size(), 2u);
  std::vector<std::string> names;
  for (pugi::xml_node child : entries[0].children()) names.push_back(child.name());
  EXPECT_THAT(
      names, ::testing::ElementsAre("teilnehmerid", "anrede", "titel", "name", "vorname", "email",
                                    "mobil", "firma", "projekt", "hidefromaddressbook", "sprache"));
  EXPECT_EQ(Base64Decode(entries[0].child_value("name")), "Meier");
  EXPECT_EQ(Base64Decode(entries[0].child_value("firma")), "Müller & Söhne");
  EXPECT_EQ(std::string(entries[0].child_value("hidefromaddressbook")), "0");
  EXPECT_EQ(std::string(entries[0].child_value("sprache")), "eng");
  EXPECT_EQ(std::string(entries[1].child_value("hidefromaddressbook")), "-1");
  EXPECT_EQ(std::string(entries[1].child_value("titel")), "");

  const std::string overview =
      Run(Participants_Get,
          "<request><action>GetTeilnehmer</action><type>addressbookToOverview</type></request>");
  EXPECT_FALSE(AnswerHas(overview, "type"));
  const std::string other =
      Run(Participants_Get,
          "<request><action>GetTeilnehmer</action><type>AddressbookToOverview</type></request>");
  EXPECT_EQ(AnswerText(other, "type"), "GetTeilnehmer");
}

TEST_F(AddressBook, UpdateOverwritesOneMemberAndRefusesHostileIds) {
  const int anna = AddMember("Meier", "Anna", "anna@example.org");
  const int bert = AddMember("Berg", "Bert", "bert@example.org");
  const std::string request =
      "<request><action>updateTeilnehmer</action><TeilnehmerID>" + std::to_string(anna) +
      "</TeilnehmerID><Anrede>Frau</Anrede><Titel>" + Base64Encode("Prof.") + "</Titel><Name>" +
      Base64Encode("Neu\"mann") + "</Name><Vorname>" + Base64Encode("Anna") +
      "</Vorname><Email>neu@example.org</Email><Firma></Firma><Projekt></Projekt>"
      "<Mobil>0160</Mobil><Sprache>ger</Sprache></request>";
  const std::string answer = Run(Participants_UpdateAddressbook, request);
  EXPECT_EQ(AnswerText(answer, "result.code"), "0");
  EXPECT_EQ(AnswerText(answer, "result.description"), "Teilnehmerdaten (Adressbuch) aktualisiert");
  auto rows = Rows("SELECT * FROM [members] WHERE ID=" + std::to_string(anna));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["name"], "Neu\"mann");
  EXPECT_EQ(rows[0]["title"], "Prof.");
  EXPECT_EQ(rows[0]["language"], "ger");
  EXPECT_EQ(rows[0]["sms"], "0160");

  const std::string hostile =
      Run(Participants_UpdateAddressbook, "<request><TeilnehmerID>" + std::to_string(anna) +
                                              " OR 1=1</TeilnehmerID><Name>" +
                                              Base64Encode("Alle") + "</Name></request>");
  EXPECT_EQ(AnswerText(hostile, "result.code"), "-1");
  EXPECT_THAT(AnswerText(hostile, "result.description"), ::testing::HasSubstr("TeilnehmerID"));
  EXPECT_EQ(Rows("SELECT name FROM [members] WHERE ID=" + std::to_string(bert))[0]["name"], "Berg");

  const std::string unknown =
      Run(Participants_UpdateAddressbook, "<request><TeilnehmerID>9999</TeilnehmerID></request>");
  EXPECT_EQ(AnswerText(unknown, "result.code"), "-1");
}

TEST_F(AddressBook, DeleteRemovesMemberMembershipsAndLogTogether) {
  const int anna = AddMember("Meier", "Anna", "anna@example.org");
  const int bert = AddMember("Berg", "Bert", "bert@example.org");
  const int conf = AddConference("100", "Jour fixe");
  AddMembership(anna, conf, "11111");
  AddMembership(bert, conf, "22222");
  AddLogRow(anna, conf, "2026-03-07 10:01:00", "2026-03-07 10:30:00");
  AddLogRow(bert, conf, "2026-03-07 10:02:00", "");

  const std::string answer =
      Run(Participants_Delete,
          "<request><TeilnehmerID>" + std::to_string(anna) + "</TeilnehmerID></request>");
  EXPECT_EQ(AnswerText(answer, "result.code"), "0");
  EXPECT_EQ(AnswerText(answer, "result.description"), "Konferenzteilnehmer gelöscht");
  EXPECT_EQ(Count("members"), 1u);
  EXPECT_EQ(Count("conferenceMembers"), 1u);
  EXPECT_EQ(Count("conferenceMemberLog"), 1u);

  // A member without log rows or memberships, and an ID that names nobody: no error.
  const int lone = AddMember("Allein", "Ali", "ali@example.org");
  EXPECT_EQ(AnswerText(Run(Participants_Delete, "<request><TeilnehmerID>" + std::to_string(lone) +
                                                    "</TeilnehmerID></request>"),
                       "result.code"),
            "0");
  EXPECT_EQ(
      AnswerText(Run(Participants_Delete, "<request><TeilnehmerID>777</TeilnehmerID></request>"),
                 "result.code"),
      "0");

  const std::string hostile =
      Run(Participants_Delete, "<request><TeilnehmerID>1 OR 1=1</TeilnehmerID></request>");
  EXPECT_EQ(AnswerText(hostile, "result.code"), "-1");
  EXPECT_EQ(Count("members"), 1u);
  EXPECT_EQ(Count("conferenceMembers"), 1u);
}

TEST_F(AddressBook, DeleteThatFailsHalfWayChangesNothing) {
  const int anna = AddMember("Meier", "Anna", "anna@example.org");
  const int conf = AddConference("100", "Jour fixe");
  AddMembership(anna, conf, "11111");
  AddLogRow(anna, conf, "2026-03-07 10:01:00", "2026-03-07 10:30:00");
  // The last of the three deletes fails: the first two must be undone.
  RawExec(
      "CREATE TRIGGER refuse BEFORE DELETE ON members BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const std::string answer =
      Run(Participants_Delete,
          "<request><TeilnehmerID>" + std::to_string(anna) + "</TeilnehmerID></request>");
  EXPECT_EQ(AnswerText(answer, "result.code"), "-1");
  EXPECT_THAT(AnswerText(answer, "result.description"), ::testing::HasSubstr("refused"));
  EXPECT_EQ(Count("members"), 1u);
  EXPECT_EQ(Count("conferenceMembers"), 1u);
  EXPECT_EQ(Count("conferenceMemberLog"), 1u);
}

}  // namespace
}  // namespace parlevo
