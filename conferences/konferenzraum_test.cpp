#include "conferences/konferenzraum.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "conferences/conference_test_support.h"
#include "webservice/base64.h"

namespace parlevo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_support::At;
using testing_support::ChildNames;
using testing_support::Envelope;
using testing_support::InstallFolderTest;
using testing_support::Request;

class RoomActions : public InstallFolderTest {
 protected:
  std::string AddRoom(const std::string& name, const std::string& durchwahl,
                      const std::string& pin) {
    return Call(AddRaum, Request("addRaum", "<Name>" + Base64Encode(name) + "</Name><Durchwahl>" +
                                                durchwahl + "</Durchwahl><Pin>" + pin + "</Pin>"));
  }
  void AddConference(const std::string& room, const std::string& name, const std::string& date,
                     const std::string& start, const std::string& end) {
    Exec(
        "INSERT INTO [conferences] (room, name, [date], starttime, endtime, RecurrenceId) "
        "VALUES (\"" +
        room + "\", \"" + name + "\", \"" + date + "\", \"" + start + "\", \"" + end + "\", -1)");
  }
  std::string LastConferenceId() { return Scalar("SELECT MAX(ID) FROM [conferences]"); }
  std::string GetRaeumeNow(TDateTime now) {
    return Call([now](auto& req, auto& resp, auto& res) { GetRaeumeAt(req, resp, res, now); },
                Request("GetRaeume", ""));
  }
};

TEST_F(RoomActions, AddedRoomIsListedWithItsNameAsSent) {
  const std::string name = "Raum 1 \"Süd\" 50%";
  EXPECT_EQ(AddRoom(name, "100", "4711"), Envelope(0, "Konferenzraum erfolgreich angelegt"));
  EXPECT_EQ(Rows("SELECT name, directdial, pin FROM [rooms]"),
            (std::vector<std::vector<std::string>>{{name, "100", "4711"}}));

  pugi::xml_document answer;
  ASSERT_TRUE(answer.load_string(GetRaeumeNow(At(2009, 5, 12)).c_str()));
  pugi::xml_node root = answer.document_element();
  EXPECT_THAT(ChildNames(root), ElementsAre("Liste", "result"));
  EXPECT_THAT(ChildNames(root.child("Liste")), ElementsAre("name", "durchwahl", "pin"));
  EXPECT_EQ(NodeText(root.child("Liste").child("name")), Base64Encode(name));
  EXPECT_EQ(NodeText(root.child("Liste").child("durchwahl")), "100");
  EXPECT_EQ(NodeText(root.child("result").child("code")), "0");
  EXPECT_EQ(NodeText(root.child("result").child("description")), "");
}

TEST_F(RoomActions, EmptyRoomTableAnswersOnlyTheResult) {
  pugi::xml_document answer;
  ASSERT_TRUE(answer.load_string(GetRaeumeNow(At(2009, 5, 12)).c_str()));
  EXPECT_STREQ(answer.document_element().name(), "RESPONSE");
  EXPECT_THAT(ChildNames(answer.document_element()), ElementsAre("result"));
  EXPECT_EQ(AnswerValue(GetRaeumeNow(At(2009, 5, 12)), "result.code"), "0");
}

TEST_F(RoomActions, NextConferenceIsTheOneEndingFirstAfterNow) {
  AddRoom("A", "100", "1");
  AddRoom("B", "200", "2");
  AddConference("100", "vorbei", "2009-05-11", "2009-05-11 09:00:00", "2009-05-11 10:00:00");
  AddConference("100", "lang", "2009-05-12", "2009-05-12 09:00:00", "2009-05-12 18:00:00");
  AddConference("100", "kurz", "2009-05-12", "2009-05-12 11:00:00", "2009-05-12 12:00:00");
  const std::string kurz = LastConferenceId();
  AddConference("100", "gleich", "2009-05-12", "2009-05-12 11:30:00", "2009-05-12 12:00:00");
  AddConference("200", "alt", "2009-05-01", "2009-05-01 09:00:00", "2009-05-01 10:00:00");
  Exec("INSERT INTO [conferenceMembers] (memberID, conferenceID) VALUES (1, " + kurz + ")");
  Exec("INSERT INTO [conferenceMembers] (memberID, conferenceID) VALUES (2, " + kurz + ")");

  // Before "kurz" starts: it is next (earliest end, first of two equal ends), not running.
  pugi::xml_document answer;
  ASSERT_TRUE(answer.load_string(GetRaeumeNow(At(2009, 5, 12, 10, 0)).c_str()));
  pugi::xml_node room_a = answer.document_element().child("Liste");
  pugi::xml_node next = room_a.child("Next");
  ASSERT_TRUE(next);
  EXPECT_THAT(ChildNames(next), ElementsAre("datum", "anfangszeit", "endzeit", "id",
                                            "nextconferencename", "nummembers", "aktuell"));
  EXPECT_EQ(NodeText(next.child("datum")), "12.05.2009");
  EXPECT_EQ(NodeText(next.child("anfangszeit")), "12.05.2009 11:00:00.000");
  EXPECT_EQ(NodeText(next.child("endzeit")), "12.05.2009 12:00:00.000");
  EXPECT_EQ(NodeText(next.child("id")), kurz);
  EXPECT_EQ(NodeText(next.child("nextconferencename")), Base64Encode("kurz"));
  EXPECT_EQ(NodeText(next.child("nummembers")), "2");
  EXPECT_EQ(NodeText(next.child("aktuell")), "false");
  // Room B's conferences all ended: no "Next".
  EXPECT_FALSE(room_a.next_sibling("Liste").child("Next"));

  ASSERT_TRUE(answer.load_string(GetRaeumeNow(At(2009, 5, 12, 11, 0)).c_str()));
  EXPECT_EQ(NodeText(answer.document_element().child("Liste").child("Next").child("aktuell")),
            "true");
  // At its very end it still counts; afterwards "lang" is next.
  ASSERT_TRUE(answer.load_string(GetRaeumeNow(At(2009, 5, 12, 12, 0)).c_str()));
  EXPECT_EQ(NodeText(answer.document_element().child("Liste").child("Next").child("id")),
            std::to_string(std::stoi(kurz) - 1));
}

TEST_F(RoomActions, WildcardsInDirectDialsMatchOnlyThemselves) {
  AddRoom("Prozent", "1%", "1");
  AddRoom("Unterstrich", "2_", "2");
  AddRoom("Stern", "3*", "3");
  AddConference("100", "fremd", "2009-05-12", "2009-05-12 11:00:00", "2009-05-12 12:00:00");
  AddConference("20", "fremd", "2009-05-12", "2009-05-12 11:00:00", "2009-05-12 12:00:00");
  AddConference("30", "fremd", "2009-05-12", "2009-05-12 11:00:00", "2009-05-12 12:00:00");
  AddConference("3*", "eigen", "2009-05-12", "2009-05-12 11:00:00", "2009-05-12 12:00:00");
  pugi::xml_document answer;
  ASSERT_TRUE(answer.load_string(GetRaeumeNow(At(2009, 5, 12, 10, 0)).c_str()));
  std::vector<std::string> next_names;
  for (pugi::xml_node liste : answer.document_element().children("Liste")) {
    next_names.push_back(liste.child("Next") ? Base64Decode(NodeText(
                                                   liste.child("Next").child("nextconferencename")))
                                             : "-");
  }
  EXPECT_THAT(next_names, ElementsAre("-", "-", "eigen"));
}

TEST_F(RoomActions, UpdateRenamesAndKeepsTheDirectDial) {
  AddRoom("Alt", "100", "1");
  AddRoom("Anderer", "200", "2");
  EXPECT_EQ(Call(UpdateRaum, Request("UpdateRaum", "<name>" + Base64Encode("Neu \"x\"") +
                                                       "</name><durchwahl>100</durchwahl>"
                                                       "<pin>9</pin>")),
            Envelope(0, "Konferenzraum erfolgreich geändert"));
  EXPECT_EQ(Rows("SELECT name, pin FROM [rooms] WHERE directdial=\"100\""),
            (std::vector<std::vector<std::string>>{{"Neu \"x\"", "9"}}));
  EXPECT_EQ(Scalar("SELECT name FROM [rooms] WHERE directdial=\"200\""), "Anderer");

  // Unknown direct dial, and one that tries to widen the WHERE clause: code -1, empty message.
  EXPECT_EQ(Call(UpdateRaum, Request("UpdateRaum", "<Name>" + Base64Encode("X") +
                                                       "</Name><Durchwahl>999</Durchwahl>")),
            Envelope(-1, ""));
  EXPECT_EQ(Call(UpdateRaum, Request("UpdateRaum", "<Name>" + Base64Encode("X") +
                                                       "</Name><Durchwahl>1\" OR \"\"=\"</"
                                                       "Durchwahl>")),
            Envelope(-1, ""));
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [rooms] WHERE name=\"X\""), "0");
}

TEST_F(RoomActions, DeleteRemovesRoomsWithConferencesMembersAndLogs) {
  AddRoom("A", "100", "1");
  AddRoom("B", "200", "2");
  AddRoom("C", "300", "3");
  for (const char* room : {"100", "200", "300"}) {
    AddConference(room, "k", "2009-05-12", "2009-05-12 11:00:00", "2009-05-12 12:00:00");
    const std::string id = LastConferenceId();
    Exec("INSERT INTO [conferenceMembers] (memberID, conferenceID) VALUES (1, " + id + ")");
    Exec("INSERT INTO [conferenceMemberLog] (conferenceID, memberID) VALUES (" + id + ", 1)");
  }
  Exec("INSERT INTO [conferenceRecurrences] (room, name) VALUES (\"100\", \"Serie\")");

  EXPECT_EQ(Call(DeleteRaum, Request("DeleteRaum",
                                     "<Durchwahl>100</Durchwahl>"
                                     "<DURCHWAHL>200</DURCHWAHL>")),
            Envelope(0, "Konferenzraum gelöscht"));
  EXPECT_EQ(Rows("SELECT directdial FROM [rooms]"),
            (std::vector<std::vector<std::string>>{{"300"}}));
  EXPECT_EQ(Rows("SELECT room FROM [conferences]"),
            (std::vector<std::vector<std::string>>{{"300"}}));
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferenceMembers]"), "1");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferenceMemberLog]"), "1");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferenceRecurrences]"), "1");

  // None given: nothing deleted, success. Unknown or hostile: -1 with an empty message.
  EXPECT_EQ(Call(DeleteRaum, Request("DeleteRaum", "")), Envelope(0, "Konferenzraum gelöscht"));
  EXPECT_EQ(Call(DeleteRaum, Request("DeleteRaum", "<Durchwahl>999</Durchwahl>")),
            Envelope(-1, ""));
  EXPECT_EQ(Call(DeleteRaum, Request("DeleteRaum", "<Durchwahl>x\" OR \"\"=\"</Durchwahl>")),
            Envelope(-1, ""));
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [rooms]"), "1");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferences]"), "1");
}

// Conferences whose room row is gone can still be removed; the answer stays -1, and a room
// named after them in the same request is not reached.
TEST_F(RoomActions, DeleteOfADirectDialWithoutRoomKeepsWhatItDeleted) {
  AddRoom("B", "200", "2");
  for (const char* room : {"100", "100", "200"}) {
    AddConference(room, "k", "2009-05-12", "2009-05-12 11:00:00", "2009-05-12 12:00:00");
    const std::string id = LastConferenceId();
    Exec("INSERT INTO [conferenceMembers] (memberID, conferenceID) VALUES (1, " + id + ")");
    Exec("INSERT INTO [conferenceMemberLog] (conferenceID, memberID) VALUES (" + id + ", 1)");
  }
  const std::string kept = LastConferenceId();
  EXPECT_EQ(Call(DeleteRaum, Request("DeleteRaum",
                                     "<Durchwahl>100</Durchwahl>"
                                     "<Durchwahl>200</Durchwahl>")),
            Envelope(-1, ""));
  EXPECT_EQ(Rows("SELECT ID FROM [conferences]"), (std::vector<std::vector<std::string>>{{kept}}));
  EXPECT_EQ(Rows("SELECT conferenceID FROM [conferenceMembers]"),
            (std::vector<std::vector<std::string>>{{kept}}));
  EXPECT_EQ(Rows("SELECT conferenceID FROM [conferenceMemberLog]"),
            (std::vector<std::vector<std::string>>{{kept}}));
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [rooms]"), "1");
}

TEST_F(RoomActions, DebugLogCarriesTheStatements) {
  AddRoom("A", "100", "1");
  Call(DeleteRaum, Request("DeleteRaum", "<Durchwahl>100</Durchwahl>"));
  const std::string log = [&] {
    std::ifstream in(dir_ + "/debug/log.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  EXPECT_THAT(log, HasSubstr("[Konferenzraum][AddRaum] Query: INSERT INTO [rooms] VALUES ("));
  EXPECT_THAT(log, HasSubstr("[Konferenzraum][DeleteRaum] Query: Delete FROM [rooms] WHERE "
                             "directdial=\"100\""));
  EXPECT_THAT(log, HasSubstr("[Konferenzraum][DeleteRaum] No conferences to delete"));
}

using StatementsWithoutInstallPath = InstallFolderTest;

TEST_F(StatementsWithoutInstallPath, NoConnectionAndFailingStatements) {
  {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(kParlevoRegistryKey, false));
    registry.DeleteValue("InstallPath");
  }
  EXPECT_EQ(UseConnectionString(), "");
  EXPECT_EQ(CurrentConnectionString(), "");
  TActionStatement query(UseConnectionString());
  const TStatementStatus status = query.Run("SELECT * FROM [rooms]", true);
  EXPECT_FALSE(status);
  EXPECT_NE(status.message(), "");
  EXPECT_THAT(Call(AddRaum, Request("addRaum", "<Name>QQ==</Name><Durchwahl>1</Durchwahl>")),
              HasSubstr("<code>-1</code>"));
}

}  // namespace
}  // namespace parlevo
