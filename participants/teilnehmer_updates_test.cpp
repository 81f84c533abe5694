#include "participants/teilnehmer_updates.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "participants/teilnehmer_test_support.h"

namespace parlevo {
namespace {

using ::testing::HasSubstr;
using testing_support::AnswerHas;
using testing_support::AnswerText;

class MembershipUpdates : public testing_support::MemberDatabaseTest {
 protected:
  void SetUp() override {
    MemberDatabaseTest::SetUp();
    conf_ = AddConference("100", "A");
    anna_ = AddMember("Anna", "A", "a@example.org");
    bert_ = AddMember("Bert", "B", "b@example.org");
    AddMembership(anna_, conf_, "10001");
    AddMembership(bert_, conf_, "10002");
  }

  std::string Update(const std::string& member, const std::string& gastgeber,
                     const std::string& languagecode = "eng") {
    return Run(Participants_UpdateConferenceData,
               "<request><action>updateKonfTeilnehmer</action><TeilnehmerID>" + member +
                   "</TeilnehmerID><KonferenzID>" + std::to_string(conf_) +
                   "</KonferenzID><minzeit>08.03.2026 09:00</minzeit><maxzeit>08.03.2026 12:00"
                   "</maxzeit><gastgeber>" +
                   gastgeber +
                   "</gastgeber><listenOnly>True"
                   "</listenOnly><languagecode>" +
                   languagecode + "</languagecode><membersvisible>0</membersvisible></request>");
  }

  std::map<std::string, std::string> Membership(int member) {
    return Rows("SELECT * FROM [conferenceMembers] WHERE memberID=" + std::to_string(member))[0];
  }

  int conf_ = 0, anna_ = 0, bert_ = 0;
};

TEST_F(MembershipUpdates, UpdateChangesOneMembershipAndKeepsPinAndMailFlags) {
  const std::string answer = Update(std::to_string(anna_), "TRUE", "e\"ng");
  EXPECT_EQ(AnswerText(answer, "result.code"), "0");
  EXPECT_EQ(AnswerText(answer, "result.description"), "Teilnehmerdaten (Konferenz) aktualisiert");
  auto row = Membership(anna_);
  EXPECT_EQ(row["host"], "Wahr");
  EXPECT_EQ(row["listenOnly"], "Wahr");
  EXPECT_EQ(row["membersvisible"], "Falsch");
  EXPECT_EQ(row["languagecode"], "e\"ng");
  EXPECT_EQ(row["min"], "08.03.2026 09:00:00.000");
  EXPECT_EQ(row["pin"], "10001");
  EXPECT_EQ(row["email"], "Falsch");
  EXPECT_EQ(Membership(bert_)["host"], "Falsch");
}

TEST_F(MembershipUpdates, UpdateOfNoRowOrWithHostileValuesAnswersFailure) {
  const std::string none = Update("4242", "false");
  EXPECT_EQ(AnswerText(none, "result.code"), "-1");
  EXPECT_EQ(AnswerText(none, "result.description"), "");

  const std::string flag = Update(std::to_string(anna_), "true, pin=\"00000\"");
  EXPECT_EQ(AnswerText(flag, "result.code"), "-1");
  EXPECT_THAT(AnswerText(flag, "result.description"), HasSubstr("gastgeber"));

  const std::string id = Update(std::to_string(anna_) + " OR 1=1", "true");
  EXPECT_EQ(AnswerText(id, "result.code"), "-1");
  for (int member : {anna_, bert_}) {
    EXPECT_EQ(Membership(member)["host"], "Falsch");
    EXPECT_NE(Membership(member)["pin"], "00000");
  }
}

TEST_F(MembershipUpdates, KickHandlesEveryEntryInAnyCaseAndStopsAtTheFirstFailure) {
  const int cleo = AddMember("Cleo", "C", "c@example.org");
  AddMembership(cleo, conf_, "10003");
  auto entry = [&](const std::string& tag, const std::string& member) {
    return "<" + tag + "><TeilnehmerID>" + member + "</TeilnehmerID><KonferenzID>" +
           std::to_string(conf_) + "</KonferenzID></" + tag + ">";
  };
  const std::string all =
      Run(Participants_Kick, "<request><action>kickTeilnehmer</action>" +
                                 entry("Teilnehmer", std::to_string(anna_)) +
                                 entry("TEILNEHMER", std::to_string(bert_)) + "<other/>" +
                                 entry("teilnehmer", std::to_string(cleo)) + "</request>");
  EXPECT_EQ(AnswerText(all, "result.code"), "0");
  EXPECT_EQ(AnswerText(all, "result.description"), "Teilnehmer gekickt");
  for (int m : {anna_, bert_, cleo}) EXPECT_EQ(Membership(m)["kick"], "Wahr");

  Exec("UPDATE [conferenceMembers] SET kick=false WHERE 1=1");
  const std::string stopped =
      Run(Participants_Kick, "<request>" + entry("Teilnehmer", std::to_string(anna_)) +
                                 entry("Teilnehmer", "4242") +
                                 entry("Teilnehmer", std::to_string(cleo)) + "</request>");
  EXPECT_EQ(AnswerText(stopped, "result.code"), "-1");
  EXPECT_EQ(Membership(anna_)["kick"], "Wahr");
  EXPECT_EQ(Membership(cleo)["kick"], "Falsch");

  Exec("UPDATE [conferenceMembers] SET kick=false WHERE 1=1");
  const std::string hostile =
      Run(Participants_Kick, "<request>" + entry("Teilnehmer", "1 OR 1=1") + "</request>");
  EXPECT_EQ(AnswerText(hostile, "result.code"), "-1");
  for (int m : {anna_, bert_, cleo}) EXPECT_EQ(Membership(m)["kick"], "Falsch");

  const std::string nothing =
      Run(Participants_Kick, "<request><action>kickTeilnehmer</action></request>");
  EXPECT_EQ(AnswerText(nothing, "result.code"), "0");
}

TEST_F(MembershipUpdates, LogListsEveryStayAsTheConferenceSideWroteIt) {
  const std::string empty =
      Run(Participants_GetLog,
          "<request><KonferenzID>" + std::to_string(conf_) + "</KonferenzID></request>");
  EXPECT_EQ(AnswerText(empty, "result.code"), "0");
  EXPECT_TRUE(AnswerHas(empty, "result.description"));
  EXPECT_FALSE(AnswerHas(empty, "Liste"));

  AddLogRow(anna_, conf_, "2026-03-07 10:01:00", "2026-03-07 10:20:00");
  AddLogRow(anna_, conf_, "2026-03-07T10:30:00", "");
  // A day number, as the file format stores dates: 07.03.2026 10:05.
  Exec("INSERT INTO [conferenceMemberLog] (conferenceID, memberID, [from]) VALUES (" +
       std::to_string(conf_) + ", " + std::to_string(bert_) + ", 46088.4201388889)");

  const std::string answer =
      Run(Participants_GetLog,
          "<request><KonferenzID>" + std::to_string(conf_) + "</KonferenzID></request>");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str()));
  std::vector<std::vector<std::string>> entries;
  for (pugi::xml_node e : doc.document_element().children("Liste")) {
    entries.push_back({e.child_value("name"), e.child_value("von"), e.child_value("bis")});
  }
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], (std::vector<std::string>{"Anna", "07.03.2026 10:01:00.000",
                                                  "07.03.2026 10:20:00.000"}));
  EXPECT_EQ(entries[1], (std::vector<std::string>{"Anna", "07.03.2026 10:30:00.000", ""}));
  EXPECT_EQ(entries[2][0], "Bert");
  EXPECT_EQ(entries[2][1], "07.03.2026 10:05:00.000");

  const std::string hostile =
      Run(Participants_GetLog, "<request><KonferenzID>1 OR 1=1</KonferenzID></request>");
  EXPECT_EQ(AnswerText(hostile, "result.code"), "-1");
}

TEST_F(MembershipUpdates, SalutationOfALanguageFileOrTheDispatchersError) {
  WriteLanguageFile(
      "ger",
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><language><localsettings><salutation>"
      "<male>Herr</male><female>Frau</female></salutation></localsettings>"
      "</language>");
  const std::string answer =
      Run(GetSalutation,
          "<request><action>getSalutation</action><languagecode>ger</languagecode>"
          "</request>");
  EXPECT_EQ(AnswerText(answer, "type"), "getSalutation");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str()));
  pugi::xml_node salutation = doc.document_element().child("Salutation");
  EXPECT_EQ(std::string(salutation.child_value("male")), "Herr");
  EXPECT_EQ(std::string(salutation.child_value("female")), "Frau");
  EXPECT_FALSE(AnswerHas(answer, "result"));

  EXPECT_THROW(Run(GetSalutation, "<request><languagecode>xyz</languagecode></request>"),
               std::runtime_error);
  EXPECT_THROW(Run(GetSalutation, "<request><languagecode>../ger</languagecode></request>"),
               std::runtime_error);
}

TEST_F(MembershipUpdates, RegistryLanguageTranslatesCodes) {
  WriteLanguageFile("ger",
                    "<?xml version=\"1.0\" encoding=\"utf-8\"?><language><translation>"
                    "<eng>Englisch</eng><ger>Deutsch</ger></translation></language>");
  EXPECT_EQ(ReadRegistryLanguage(), "ger");
  EXPECT_EQ(TranslateRegistryLanguage("eng"), "Englisch");
  EXPECT_EQ(TranslateRegistryLanguage("ENG"), "Englisch");
  EXPECT_EQ(TranslateRegistryLanguage("fra"), "");
}

}  // namespace
}  // namespace parlevo
