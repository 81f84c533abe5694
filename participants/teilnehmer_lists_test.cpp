#include "participants/teilnehmer_lists.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "participants/teilnehmer_test_support.h"
#include "webservice/base64.h"

namespace parlevo {
namespace {

using ::testing::ElementsAre;
using testing_support::AnswerHas;
using testing_support::AnswerText;

using TEntry = std::map<std::string, std::string>;

std::vector<TEntry> Entries(const std::string& answer, const char* element) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(answer.c_str())) << answer;
  std::vector<TEntry> entries;
  for (pugi::xml_node e : doc.document_element().children(element)) {
    TEntry entry;
    for (pugi::xml_node child : e.children()) entry[child.name()] = child.child_value();
    entries.push_back(std::move(entry));
  }
  return entries;
}

class ParticipantLists : public testing_support::MemberDatabaseTest {
 protected:
  void SetUp() override {
    MemberDatabaseTest::SetUp();
    WriteLanguageFile("ger",
                      "<?xml version=\"1.0\" encoding=\"utf-8\"?><language><translation>"
                      "<eng>Englisch</eng><ger>Deutsch</ger></translation></language>");
    conf_ = AddConference("100", "A");
  }
  std::string List(testing_support::THandler handler = GetKonfTeilnehmer) {
    return Run(handler, "<request><action>x</action><KonferenzID>" + std::to_string(conf_) +
                            "</KonferenzID></request>");
  }
  int conf_ = 0;
};

TEST_F(ParticipantLists, FullListHasOneEntryPerStayWithEveryField) {
  const int anna = AddMember("Anna", "A", "a@example.org");
  const int bert = AddMember("Bert", "B", "b@example.org");
  const int cleo = AddMember("Cleo", "C", "c@example.org");
  AddMembership(anna, conf_, "10001", true, false, true, "eng");
  AddMembership(bert, conf_, "10002", false, true, false, "ger");
  AddMembership(cleo, conf_, "10003", false, false, false, "fra");  // no translation in the file
  Exec("UPDATE [members] SET company=\"Firma & Co\", sms=\"0171\" WHERE ID=" +
       std::to_string(anna));
  Exec("UPDATE [conferenceMembers] SET present=true, sms=true WHERE memberID=" +
       std::to_string(bert));
  AddLogRow(bert, conf_, "2026-03-07 10:00:00", "2026-03-07 10:15:00");
  AddLogRow(bert, conf_, "2026-03-07 10:20:00", "");
  const int other = AddConference("200", "B");
  AddMembership(anna, other, "20001");

  const std::string answer = List();
  EXPECT_FALSE(AnswerHas(answer, "result")) << answer;
  auto entries = Entries(answer, "Liste");
  ASSERT_EQ(entries.size(), 4u);

  pugi::xml_document doc;
  doc.load_string(answer.c_str());
  std::vector<std::string> names;
  for (pugi::xml_node c : doc.document_element().child("Liste").children())
    names.push_back(c.name());
  EXPECT_THAT(names, ElementsAre("teilnehmerid", "konferenzid", "gastgeber", "anrede", "titel",
                                 "name", "vorname", "email", "mobil", "firma", "projekt",
                                 "anwesend", "pin", "durchwahl", "fruehestens", "spaetestens",
                                 "sms_gesendet", "mail_gesendet", "von", "bis", "status",
                                 "listenonly", "kick", "languagecode", "membersvisible"));

  TEntry a = entries[0];
  EXPECT_EQ(a["teilnehmerid"], std::to_string(anna));
  EXPECT_EQ(a["konferenzid"], std::to_string(conf_));
  EXPECT_EQ(a["gastgeber"], "-1");
  EXPECT_EQ(Base64Decode(a["name"]), "Anna");
  EXPECT_EQ(Base64Decode(a["firma"]), "Firma & Co");
  EXPECT_EQ(a["email"], "a@example.org");
  EXPECT_EQ(a["mobil"], "0171");
  EXPECT_EQ(a["anwesend"], "0");
  EXPECT_EQ(a["pin"], "10001");
  EXPECT_EQ(a["durchwahl"], "100");
  EXPECT_EQ(a["fruehestens"], "07.03.2026 10:00:00.000");
  EXPECT_EQ(a["von"], "");
  EXPECT_EQ(a["bis"], "");
  EXPECT_EQ(a["status"], "0");
  EXPECT_EQ(Base64Decode(a["languagecode"]), "Englisch");
  EXPECT_EQ(a["membersvisible"], "-1");

  // Bert joined twice and is in again: one entry left, one present.
  std::set<std::string> statuses{entries[1]["status"], entries[2]["status"]};
  EXPECT_EQ(statuses, (std::set<std::string>{"1", "2"}));
  for (int i : {1, 2}) {
    EXPECT_EQ(entries[i]["teilnehmerid"], std::to_string(bert));
    EXPECT_EQ(entries[i]["anwesend"], "-1");
    EXPECT_EQ(entries[i]["sms_gesendet"], "-1");
    EXPECT_EQ(entries[i]["mail_gesendet"], "0");
    EXPECT_EQ(entries[i]["listenonly"], "-1");
    EXPECT_EQ(Base64Decode(entries[i]["languagecode"]), "Deutsch");
    if (entries[i]["status"] == "2") {
      EXPECT_EQ(entries[i]["von"], "07.03.2026 10:20:00.000");
      EXPECT_EQ(entries[i]["bis"], "");
    }
  }
  EXPECT_EQ(entries[3]["languagecode"], "");
}

TEST_F(ParticipantLists, UntranslatableLanguageLeavesTheEntryEmptyAndTheListGoesOn) {
  std::filesystem::remove_all(std::filesystem::path(dir_) / "Templates");
  for (int i = 0; i < 3; ++i) {
    AddMembership(AddMember("M" + std::to_string(i), "F", "m@example.org"), conf_,
                  "1000" + std::to_string(i));
  }
  const std::string answer = List();
  auto entries = Entries(answer, "Liste");
  ASSERT_EQ(entries.size(), 3u);
  for (auto& e : entries) EXPECT_EQ(e["languagecode"], "");
  EXPECT_FALSE(AnswerHas(answer, "result"));
}

TEST_F(ParticipantLists, NullFlagsWrittenByTheConferenceSideReadAsFalse) {
  const int anna = AddMember("Anna", "A", "a@example.org");
  MakeMembershipFlagsNullable();
  RawExec("INSERT INTO conferenceMembers (memberID, conferenceID, pin) VALUES (" +
          std::to_string(anna) + ", " + std::to_string(conf_) + ", '10001')");
  ASSERT_EQ(Rows("SELECT present FROM [conferenceMembers]")[0]["present"], "");  // NULL indeed
  auto entries = Entries(List(), "Liste");
  ASSERT_EQ(entries.size(), 1u);
  for (const char* flag : {"gastgeber", "anwesend", "kick", "listenonly", "membersvisible"}) {
    EXPECT_EQ(entries[0][flag], "0") << flag;
  }
  auto mobile = Entries(List(GetKonfTeilnehmerMobile), "l");
  ASSERT_EQ(mobile.size(), 1u);
  EXPECT_EQ(mobile[0]["m"], "0");
}

TEST_F(ParticipantLists, EmptyConferenceAndBadIds) {
  EXPECT_TRUE(Entries(List(), "Liste").empty());
  EXPECT_FALSE(AnswerHas(List(), "result"));
  EXPECT_TRUE(Entries(List(GetKonfTeilnehmerMobile), "l").empty());

  const std::string hostile =
      Run(GetKonfTeilnehmer, "<request><KonferenzID>1 OR 1=1</KonferenzID></request>");
  EXPECT_THAT(AnswerText(hostile, "result"), ::testing::HasSubstr("KonferenzID"));
  const std::string empty = Run(GetKonfTeilnehmerMobile, "<request></request>");
  EXPECT_NE(AnswerText(empty, "result"), "");
  EXPECT_TRUE(Entries(empty, "l").empty());
}

TEST_F(ParticipantLists, MobileListOrdersNeverJoinedPresentThenLeftLatestFirst) {
  const int left_early = AddMember("Frueh", "F", "f@example.org");
  const int present = AddMember("Da", "D", "d@example.org");
  const int never = AddMember("Nie", "N", "n@example.org");
  const int left_late = AddMember("Spaet", "S", "s@example.org");
  AddMembership(left_early, conf_, "10001");
  AddMembership(present, conf_, "10002", false, false, false);
  AddMembership(never, conf_, "10003");
  AddMembership(left_late, conf_, "10004");
  Exec("UPDATE [members] SET title=\"\", sex=\"Herr\" WHERE 1=1");
  AddLogRow(left_early, conf_, "2026-03-07 10:00:00", "2026-03-07 10:05:00");
  AddLogRow(present, conf_, "2026-03-07 10:01:00", "");
  AddLogRow(left_late, conf_, "2026-03-07 10:30:00", "2026-03-07 10:40:00");
  AddLogRow(present, conf_, "2026-03-07 09:00:00", "2026-03-07 09:10:00");

  auto entries = Entries(List(GetKonfTeilnehmerMobile), "l");
  ASSERT_EQ(entries.size(), 5u);
  std::vector<std::string> order;
  for (auto& e : entries) order.push_back(e["t"] + "/" + e["s"]);
  EXPECT_THAT(order,
              ElementsAre(std::to_string(never) + "/0", std::to_string(present) + "/2",
                          std::to_string(left_late) + "/1", std::to_string(left_early) + "/1",
                          std::to_string(present) + "/1"));
  EXPECT_EQ(Base64Decode(entries[0]["a"]), "Herr  Nie");  // empty title: two blanks
  EXPECT_EQ(entries[0]["v"], " - ");
  EXPECT_EQ(entries[0]["k"], std::to_string(conf_));
  EXPECT_EQ(entries[1]["v"], "07.03.2026 10:01:00.000 - ");
  EXPECT_EQ(entries[1]["m"], "0");
  EXPECT_EQ(entries[2]["v"], "07.03.2026 10:30:00.000 - 07.03.2026 10:40:00.000");

  pugi::xml_document doc;
  doc.load_string(List(GetKonfTeilnehmerMobile).c_str());
  std::vector<std::string> names;
  for (pugi::xml_node c : doc.document_element().child("l").children()) names.push_back(c.name());
  EXPECT_THAT(names, ElementsAre("t", "k", "a", "f", "v", "s", "m"));
}

TEST_F(ParticipantLists, MobileListHoldsAtMostFifteen) {
  for (int i = 0; i < 20; ++i) {
    AddMembership(AddMember("N" + std::to_string(i), "F", "n@example.org"), conf_,
                  std::to_string(10000 + i));
  }
  const int present = AddMember("Da", "D", "d@example.org");
  AddMembership(present, conf_, "20000");
  AddLogRow(present, conf_, "2026-03-07 10:01:00", "");
  auto entries = Entries(List(GetKonfTeilnehmerMobile), "l");
  ASSERT_EQ(entries.size(), 15u);
  for (auto& e : entries) EXPECT_EQ(e["s"], "0");

  // Twelve never joined and five present: passes 1 and 2 fill the list, pass 3 is skipped.
  Exec("DELETE FROM [conferenceMembers] WHERE pin > \"10011\" AND pin < \"20000\"");
  for (int i = 0; i < 5; ++i) {
    const int m = AddMember("P" + std::to_string(i), "F", "p@example.org");
    AddMembership(m, conf_, std::to_string(30000 + i));
    AddLogRow(m, conf_, "2026-03-07 10:0" + std::to_string(i) + ":00", "");
  }
  const int gone = AddMember("Weg", "W", "w@example.org");
  AddMembership(gone, conf_, "40000");
  AddLogRow(gone, conf_, "2026-03-07 09:00:00", "2026-03-07 09:30:00");
  entries = Entries(List(GetKonfTeilnehmerMobile), "l");
  ASSERT_EQ(entries.size(), 15u);
  int never = 0, now = 0;
  for (auto& e : entries) {
    never += e["s"] == "0";
    now += e["s"] == "2";
    EXPECT_NE(e["s"], "1");
  }
  EXPECT_EQ(never, 12);
  EXPECT_EQ(now, 3);
}

}  // namespace
}  // namespace parlevo
