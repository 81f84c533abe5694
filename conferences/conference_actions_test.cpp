#include "conferences/conference_actions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "conferences/conference_test_support.h"
#include "participants/invitations_test_fixture.h"
#include "platform/db.h"
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

TEST(XMLTimeConversion, OffsetsMoveToTheLocalOffsetInForceNow) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const TDateTime winter = At(2026, 1, 15, 12);
  const TDateTime summer = At(2026, 7, 15, 12);
  // No zone counts as UTC; the offset in force now decides, not the one at the date.
  EXPECT_EQ(FormatISODateTime(*XMLTimeToLocalDateTime("2009-05-12T10:00:00", winter)),
            "2009-05-12 11:00:00");
  EXPECT_EQ(FormatISODateTime(*XMLTimeToLocalDateTime("2009-05-12T10:00:00", summer)),
            "2009-05-12 12:00:00");
  EXPECT_EQ(FormatISODateTime(*XMLTimeToLocalDateTime("2009-05-12T10:00:00.000+02:00", winter)),
            "2009-05-12 09:00:00");
  EXPECT_EQ(FormatISODateTime(*XMLTimeToLocalDateTime("2009-05-12T10:00:00Z", summer)),
            "2009-05-12 12:00:00");
  EXPECT_EQ(FormatISODateTime(*XMLTimeToLocalDateTime("2009-12-31T23:30:00-01:00", winter)),
            "2010-01-01 01:30:00");
  EXPECT_EQ(FormatISODate(*XMLTimeToLocalDateTime("2009-05-12", winter)), "2009-05-12");
  for (const char* bad : {"", "  ", "12.05.2009", "10:00:00", "2009-13-01T10:00:00", "morgen",
                          "2009-05-12T25:00:00"}) {
    EXPECT_FALSE(XMLTimeToLocalDateTime(bad, winter)) << bad;
  }
  unsetenv("TZ");
  tzset();
}

class ConferenceActions : public InstallFolderTest {
 protected:
  // A winter day: local time is UTC+1.
  const TDateTime now_ = At(2026, 1, 15, 12);

  std::string Add(const std::string& fields) {
    return Call([this](auto& req, auto& resp, auto& res) { AddKonferenzAt(req, resp, res, now_); },
                Request("addKonferenz", fields));
  }
  std::string AddSimple(const std::string& room, const std::string& day, const std::string& start,
                        const std::string& end, const std::string& extra = "") {
    return Add("<Durchwahl>" + room + "</Durchwahl><Name>" + Base64Encode("K") + "</Name><Datum>" +
               day + "T00:00:00+01:00</Datum><Startzeit>" + day + "T" + start +
               "+01:00</Startzeit><Endzeit>" + day + "T" + end + "+01:00</Endzeit>" + extra);
  }
  std::string IdOf(const std::string& answer) { return AnswerValue(answer, "id"); }
  std::string Get(const std::string& fields, TDateTime now) {
    return Call([now](auto& req, auto& resp, auto& res) { Conferences_GetAt(req, resp, res, now); },
                Request("GetKonferenzen", fields));
  }
  std::vector<std::string> ListedNames(const std::string& answer) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(answer.c_str())) << answer;
    std::vector<std::string> names;
    for (pugi::xml_node liste : doc.document_element().children("Liste")) {
      names.push_back(Base64Decode(NodeText(liste.child("name"))));
    }
    return names;
  }
  void AddNamed(const std::string& room, const std::string& name, const std::string& start) {
    Exec("INSERT INTO [conferences] (room, name, [date], starttime, endtime) VALUES (\"" + room +
         "\", \"" + name + "\", \"" + start.substr(0, 10) + "\", \"" + start + "\", \"" + start +
         "\")");
  }
};

TEST_F(ConferenceActions, AddStoresConvertedTimesAndAnswersTheId) {
  const std::string answer =
      Add("<Durchwahl>100</Durchwahl><Name>" + Base64Encode("Jour \"fixe\"") +
          "</Name><Startzeit>2009-05-12T10:00:00</Startzeit><Endzeit>2009-05-12T11:30:00.000+"
          "02:00</Endzeit><Datum>2009-05-12T00:00:00</Datum><EndDatum>2009-06-30T00:00:00+01:00"
          "</EndDatum><PinHost>1234</PinHost><PinMember>2345</PinMember><PinListenOnly>3456"
          "</PinListenOnly>");
  const std::string id = Scalar("SELECT MAX(ID) FROM [conferences]");
  EXPECT_EQ(answer, Envelope(0, "Konferenz erfolgreich angelegt", "<id>" + id + "</id>"));
  EXPECT_EQ(Rows("SELECT room, name, [date], enddate, starttime, endtime, RecurrenceId, PinHost, "
                 "PinMember, PinListenOnly FROM [conferences]"),
            (std::vector<std::vector<std::string>>{
                {"100", "Jour \"fixe\"", "12.05.2009", "30.06.2009", "12.05.2009 11:00:00.000",
                 "12.05.2009 10:30:00.000", "-1", "1234", "2345", "3456"}}));
}

TEST_F(ConferenceActions, EmptyEndDateStoresNoneAndBadDatesInsertNothing) {
  EXPECT_EQ(AnswerValue(AddSimple("100", "2009-05-12", "10:00:00", "11:00:00",
                                  "<RecurrenceId>7</RecurrenceId>"),
                        "result.code"),
            "0");
  EXPECT_EQ(Rows("SELECT enddate, RecurrenceId FROM [conferences]"),
            (std::vector<std::vector<std::string>>{{"", "7"}}));

  const std::string good = "2009-05-12T10:00:00";
  const auto with = [&](const std::string& datum, const std::string& start, const std::string& end,
                        const std::string& enddatum) {
    return Add("<Durchwahl>100</Durchwahl><Datum>" + datum + "</Datum><Startzeit>" + start +
               "</Startzeit><Endzeit>" + end + "</Endzeit><EndDatum>" + enddatum + "</EndDatum>");
  };
  EXPECT_EQ(with("", good, good, ""), Envelope(-1, "Ungültiges Datum: Datum"));
  EXPECT_EQ(with(good, "12.05.2009 10:00", good, ""), Envelope(-1, "Ungültiges Datum: Startzeit"));
  EXPECT_EQ(with(good, good, "", ""), Envelope(-1, "Ungültiges Datum: Endzeit"));
  EXPECT_EQ(with(good, good, good, "bald"), Envelope(-1, "Ungültiges Datum: EndDatum"));
  // Integer slots take whole numbers only.
  EXPECT_EQ(AnswerValue(AddSimple("100", "2009-05-12", "10:00:00", "11:00:00",
                                  "<PinHost>1 OR 1=1</PinHost>"),
                        "result.code"),
            "-1");
  EXPECT_EQ(AnswerValue(AddSimple("100", "2009-05-12", "10:00:00", "11:00:00",
                                  "<RecurrenceId>1); DELETE FROM rooms; --</RecurrenceId>"),
                        "result.code"),
            "-1");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferences]"), "1");
}

TEST_F(ConferenceActions, SeriesEngineCallsAddDirectlyAndReadsTheId) {
  // The form the series creators build: lines joined with CR LF, parsed, a fresh answer document.
  const std::string text = std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?><request>\r\n") +
                           "<Name>" + Base64Encode("Serie") + "</Name>\r\n" +
                           "<Datum>2026-03-07T10:00:00.000+01:00</Datum>\r\n"
                           "<Startzeit>2026-03-07T10:00:00.000+01:00</Startzeit>\r\n"
                           "<Endzeit>2026-03-07T11:00:00.000+01:00</Endzeit>\r\n"
                           "<Durchwahl>100</Durchwahl>\r\n<PinHost>1111</PinHost>\r\n"
                           "<PinMember></PinMember>\r\n<PinListenOnly>3333</PinListenOnly>\r\n"
                           "<RecurrenceId>4</RecurrenceId>\r\n</request>";
  pugi::xml_document request;
  ASSERT_TRUE(request.load_string(text.c_str()));
  pugi::xml_document response;
  response.append_child("RESPONSE");
  std::string result;
  AddKonferenz(request, response, result);
  pugi::xml_document answer;
  ASSERT_TRUE(answer.load_string(result.c_str())) << result;
  const std::string id = NodeText(answer.document_element().child("id"));
  ASSERT_FALSE(id.empty()) << result;
  EXPECT_EQ(Rows("SELECT ID, starttime, PinMember, RecurrenceId FROM [conferences]"),
            (std::vector<std::vector<std::string>>{{id, "07.03.2026 10:00:00.000", "", "4"}}));
}

TEST_F(ConferenceActions, MonthWindowHoldsTheConferencesStartingInThatMonth) {
  AddNamed("100", "Nov", "2009-11-30 23:59:59");
  AddNamed("100", "DezEnde", "2009-12-31 23:59:00");
  AddNamed("100", "DezAnfang", "2009-12-01 00:00:00");
  AddNamed("100", "Jan", "2010-01-01 00:00:00");
  AddNamed("100", "Mar", "2010-03-10 08:00:00");
  AddNamed("101", "Fremd", "2009-12-10 08:00:00");
  const TDateTime now = At(2009, 1, 1);
  EXPECT_THAT(ListedNames(Get("<Durchwahl>100</Durchwahl><Monat>12</Monat><Jahr>2009</Jahr>", now)),
              ElementsAre("DezAnfang", "DezEnde"));
  EXPECT_THAT(ListedNames(Get("<Durchwahl>100</Durchwahl><Monat>1</Monat><Jahr>2010</Jahr>", now)),
              ElementsAre("Jan"));
  EXPECT_THAT(ListedNames(Get("<Durchwahl>100</Durchwahl><Monat>3</Monat><Jahr>2010</Jahr>", now)),
              ElementsAre("Mar"));
  // Without a month: every conference of the room.
  EXPECT_EQ(ListedNames(Get("<Durchwahl>100</Durchwahl><Jahr>2010</Jahr>", now)).size(), 5u);
  // A wildcard matches only a room of that very name.
  EXPECT_TRUE(ListedNames(Get("<Durchwahl>%</Durchwahl>", now)).empty());
  EXPECT_TRUE(ListedNames(Get("<Durchwahl>10_</Durchwahl>", now)).empty());
  // Month and year take whole numbers only.
  for (const char* fields : {"<Durchwahl>100</Durchwahl><Monat>1 OR 1=1</Monat><Jahr>2009</Jahr>",
                             "<Durchwahl>100</Durchwahl><Monat>12</Monat><Jahr>2009#</Jahr>",
                             "<Durchwahl>100</Durchwahl><Monat>13</Monat><Jahr>2009</Jahr>"}) {
    const std::string answer = Get(fields, now);
    EXPECT_EQ(AnswerValue(answer, "result.code"), "-1") << fields;
    EXPECT_NE(AnswerValue(answer, "result.description"), "") << fields;
  }
}

TEST_F(ConferenceActions, ListedRowsCarryTheirFieldsInOrder) {
  Exec(
      "INSERT INTO [conferences] (room, name, [date], starttime, endtime, RecurrenceId, PinHost, "
      "PinMember, PinListenOnly) VALUES (\"100\", \"Mitternacht\", \"2009-05-12\", "
      "\"2009-05-12 00:00:00\", \"2009-05-12 01:00:00\", NULL, 1111, 2222, 3333)");
  const std::string id = Scalar("SELECT MAX(ID) FROM [conferences]");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(
      Get("<Durchwahl>100</Durchwahl><Monat>5</Monat><Jahr>2009</Jahr>", At(2009, 1, 1)).c_str()));
  pugi::xml_node root = doc.document_element();
  EXPECT_THAT(ChildNames(root), ElementsAre("Liste", "result"));
  pugi::xml_node liste = root.child("Liste");
  EXPECT_THAT(ChildNames(liste),
              ElementsAre("id", "durchwahl", "name", "datum", "anfangszeit", "endzeit", "aktuell",
                          "recurrenceid", "pinhost", "pinmember", "pinlistenonly"));
  std::vector<std::string> values;
  for (pugi::xml_node child : liste.children()) values.push_back(NodeText(child));
  EXPECT_THAT(values, ElementsAre(id, "100", Base64Encode("Mitternacht"), "12.05.2009",
                                  "12.05.2009 00:00:00", "12.05.2009 01:00:00.000", "0", "-1",
                                  "1111", "2222", "3333"));
  EXPECT_EQ(NodeText(root.child("result").child("code")), "0");
}

TEST_F(ConferenceActions, CurrentFromFifteenMinutesBeforeStartToTheEnd) {
  AddNamed("100", "x", "2009-05-12 10:00:00");
  Exec("UPDATE [conferences] SET endtime=\"2009-05-12 11:00:00\"");
  pugi::xml_document doc;
  const auto current = [&](TDateTime now) {
    doc.load_string(Get("<Durchwahl>100</Durchwahl>", now).c_str());
    return NodeText(doc.document_element().child("Liste").child("aktuell"));
  };
  EXPECT_EQ(current(At(2009, 5, 12, 9, 44, 59)), "0");
  EXPECT_EQ(current(At(2009, 5, 12, 9, 45)), "-1");
  EXPECT_EQ(current(At(2009, 5, 12, 9, 50)), "-1");
  EXPECT_EQ(current(At(2009, 5, 12, 11, 0)), "-1");
  EXPECT_EQ(current(At(2009, 5, 12, 11, 1)), "0");
}

TEST_F(ConferenceActions, UpdateTakesTheConferenceOutOfItsSeriesAndResetsMembers) {
  AddSimple("100", "2009-05-12", "10:00:00", "11:00:00", "<RecurrenceId>5</RecurrenceId>");
  const std::string id = Scalar("SELECT MAX(ID) FROM [conferences]");
  AddSimple("100", "2009-05-13", "10:00:00", "11:00:00", "<RecurrenceId>5</RecurrenceId>");
  Exec(
      "INSERT INTO [conferenceMembers] (memberID, conferenceID, email, sms, [min], [max]) "
      "VALUES (1, " +
      id + ", TRUE, TRUE, \"2009-05-12 10:00:00\", \"2009-05-12 11:00:00\")");
  const std::string fields = "<Durchwahl>200</Durchwahl><Name>" + Base64Encode("Neu") +
                             "</Name><Startzeit>2009-05-20 14:00:00</Startzeit><Endzeit>"
                             "2009-05-20 15:00:00</Endzeit><Datum>2009-05-20</Datum><PinHost>"
                             "1</PinHost><PinMember>2</PinMember><PinListenOnly>3</PinListenOnly>";
  EXPECT_EQ(Call(Conferences_Update,
                 Request("UpdateKonferenz", "<KonferenzID>" + id + "</KonferenzID>" + fields)),
            Envelope(0, "Konferenz erfolgreich geändert"));
  EXPECT_EQ(Rows("SELECT room, name, starttime, RecurrenceId, PinHost FROM [conferences] WHERE "
                 "ID=" +
                 id),
            (std::vector<std::vector<std::string>>{
                {"200", "Neu", "20.05.2009 14:00:00.000", "-1", "1"}}));
  EXPECT_EQ(Rows("SELECT [min], [max], email, sms FROM [conferenceMembers]"),
            (std::vector<std::vector<std::string>>{
                {"20.05.2009 14:00:00.000", "20.05.2009 15:00:00.000", "Falsch", "Falsch"}}));
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferences] WHERE RecurrenceId=5"), "1");

  // Unknown ID: -1 with an empty message. Hostile ID: -1 with a message, nothing changed.
  EXPECT_EQ(Call(Conferences_Update,
                 Request("UpdateKonferenz", "<KonferenzID>9999</KonferenzID>" + fields)),
            Envelope(-1, ""));
  const std::string hostile =
      Call(Conferences_Update,
           Request("UpdateKonferenz", "<KonferenzID>1 OR 1=1</KonferenzID>" + fields));
  EXPECT_EQ(AnswerValue(hostile, "result.code"), "-1");
  EXPECT_NE(AnswerValue(hostile, "result.description"), "");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferences] WHERE room=\"200\""), "1");
}

TEST_F(ConferenceActions, UpdateTakesDatesAsListedAndRefusesNonDates) {
  AddSimple("100", "2009-05-12", "10:00:00", "11:00:00", "");
  const std::string id = Scalar("SELECT MAX(ID) FROM [conferences]");
  const auto update = [&](const std::string& datum, const std::string& start) {
    return Call(
        Conferences_Update,
        Request("UpdateKonferenz", "<KonferenzID>" + id + "</KonferenzID><Durchwahl>100" +
                                       "</Durchwahl><Datum>" + datum + "</Datum><Startzeit>" +
                                       start + "</Startzeit><Endzeit>21.05.2009 " +
                                       "15:00:00</Endzeit><PinHost>1</PinHost>"));
  };
  // The form the conference lists show comes back as it was sent.
  EXPECT_EQ(update("21.05.2009", "21.05.2009 14:00:00"),
            Envelope(0, "Konferenz erfolgreich geändert"));
  EXPECT_EQ(Scalar("SELECT starttime FROM [conferences] WHERE ID=" + id),
            "21.05.2009 14:00:00.000");
  // With the milliseconds of the lists, and in the XML Schema form addKonferenz takes.
  EXPECT_EQ(update("21.05.2009", "21.05.2009 14:00:00.000"),
            Envelope(0, "Konferenz erfolgreich geändert"));
  EXPECT_EQ(update("2009-05-21", "2009-05-21T14:00:00"),
            Envelope(0, "Konferenz erfolgreich geändert"));
  // Empty, blank, a bare day number or a time alone would leave the conference without a day.
  EXPECT_EQ(update("", "21.05.2009 14:00:00"), Envelope(-1, "Ungültiges Datum: Datum"));
  EXPECT_EQ(update("21.05.2009", "\r\n"), Envelope(-1, "Ungültiges Datum: Startzeit"));
  EXPECT_EQ(update("21.05.2009", " 5 "), Envelope(-1, "Ungültiges Datum: Startzeit"));
  EXPECT_EQ(update("21.05.2009", "14:00"), Envelope(-1, "Ungültiges Datum: Startzeit"));
  EXPECT_EQ(update("21.05.2009", "100.5"), Envelope(-1, "Ungültiges Datum: Startzeit"));
  EXPECT_EQ(update("01.01.1899", "21.05.2009 14:00:00"), Envelope(-1, "Ungültiges Datum: Datum"));
  EXPECT_EQ(Scalar("SELECT starttime FROM [conferences] WHERE ID=" + id),
            "21.05.2009 14:00:00.000");
}

class DeleteConference : public ConferenceActions {
 protected:
  struct MailCall {
    std::string conference_id;
    std::string member_id;
    bool invite;
    std::string conference_rows;  // rows of the conference when the mail went out
  };

  std::string Delete(const std::string& ids) {
    return Call(
        [this](auto& req, auto& resp, auto& res) {
          DeleteKonferenzWith(
              req, resp, res,
              [this](const std::string& k, const std::string& t, bool invite, pugi::xml_document&) {
                mails_.push_back({k, t, invite,
                                  Scalar("SELECT COUNT(*) FROM [conferenceMembers] WHERE "
                                         "conferenceID=" +
                                         k + " AND memberID=" + t)});
                if (t == "13") throw std::runtime_error("SMTP down");
                return true;
              });
        },
        Request("DeleteKonferenz", ids));
  }
  std::string NewConference() {
    AddSimple("100", "2009-05-12", "10:00:00", "11:00:00");
    return Scalar("SELECT MAX(ID) FROM [conferences]");
  }
  void AddMember(const std::string& conference, const std::string& member) {
    Exec("INSERT INTO [conferenceMembers] (memberID, conferenceID) VALUES (" + member + ", " +
         conference + ")");
    Exec("INSERT INTO [conferenceMemberLog] (conferenceID, memberID) VALUES (" + conference + ", " +
         member + ")");
  }
  std::vector<MailCall> mails_;
};

TEST_F(DeleteConference, MailsEveryMemberBeforeAnyRowGoes) {
  const std::string a = NewConference();
  const std::string b = NewConference();
  const std::string keep = NewConference();
  AddMember(a, "11");
  AddMember(a, "12");
  AddMember(b, "13");  // its mail fails: the deletion goes on
  AddMember(keep, "14");
  EXPECT_EQ(Delete("<KonferenzID>" + a + "</KonferenzID><konferenzid>" + b + "</konferenzid>"),
            Envelope(0, "Konferenz gelöscht"));
  ASSERT_EQ(mails_.size(), 3u);
  EXPECT_EQ(mails_[0].conference_id, a);
  EXPECT_EQ(mails_[0].member_id, "11");
  EXPECT_EQ(mails_[1].member_id, "12");
  EXPECT_EQ(mails_[2].conference_id, b);
  EXPECT_EQ(mails_[2].member_id, "13");
  for (const MailCall& mail : mails_) {
    EXPECT_FALSE(mail.invite);
    EXPECT_EQ(mail.conference_rows, "1") << "membership deleted before its mail";
  }
  EXPECT_EQ(Rows("SELECT ID FROM [conferences]"), (std::vector<std::vector<std::string>>{{keep}}));
  EXPECT_EQ(Rows("SELECT memberID FROM [conferenceMembers]"),
            (std::vector<std::vector<std::string>>{{"14"}}));
  // The attendance log stays.
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferenceMemberLog]"), "4");
  std::ifstream in(dir_ + "/debug/log.txt");
  const std::string log(std::istreambuf_iterator<char>(in), {});
  EXPECT_THAT(log, HasSubstr("[Konferenzraum][DeleteKonferenz] Exception: SMTP down"));
  EXPECT_THAT(log, HasSubstr("[Konferenzraum][DeleteKonferenz] Query: Delete FROM [conferences] "
                             "WHERE ID=" +
                             b));
}

TEST_F(DeleteConference, UnknownAndHostileIdsDeleteNothing) {
  const std::string a = NewConference();
  AddMember(a, "11");
  EXPECT_EQ(Delete("<KonferenzID>99999</KonferenzID>"), Envelope(0, "Konferenz gelöscht"));
  EXPECT_EQ(
      Delete("<KonferenzID>1 OR 1=1</KonferenzID><KonferenzID>" + a + " OR 1=1</KonferenzID>"),
      Envelope(0, "Konferenz gelöscht"));
  EXPECT_TRUE(mails_.empty());
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferences]"), "1");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM [conferenceMembers]"), "1");
}

TEST_F(DeleteConference, ARefusedDeleteKeepsThatConferenceWholeAndTheOthersGo) {
  const std::string refused = NewConference();
  const std::string deleted = NewConference();
  AddMember(refused, "11");
  AddMember(deleted, "12");
  // The memberships go first; a rule of the file refuses the conference row after them.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db::DataSourceOf(connect_str_).c_str(), &raw), SQLITE_OK);
  const std::string trigger =
      "CREATE TRIGGER keep_conference BEFORE DELETE ON conferences WHEN "
      "OLD.ID = " +
      refused + " BEGIN SELECT RAISE(ABORT, 'conference is kept'); END";
  const int rc = sqlite3_exec(raw, trigger.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  ASSERT_EQ(rc, SQLITE_OK);

  const std::string answer = Delete("<KonferenzID>" + refused + "</KonferenzID><KonferenzID>" +
                                    deleted + "</KonferenzID><KonferenzID>99999</KonferenzID>");
  EXPECT_THAT(answer, HasSubstr("<code>-1</code>"));
  EXPECT_THAT(answer, HasSubstr("conference is kept"));
  // The cancellations went out before the deletes, for both.
  ASSERT_EQ(mails_.size(), 2u);
  EXPECT_EQ(Rows("SELECT ID FROM [conferences]"),
            (std::vector<std::vector<std::string>>{{refused}}));
  EXPECT_EQ(Rows("SELECT memberID FROM [conferenceMembers]"),
            (std::vector<std::vector<std::string>>{{"11"}}));
}

// The cancellations go out through the participant mail routine to real mail peers.
using DeleteConferenceMails = testing_support::Invitations;

TEST_F(DeleteConferenceMails, MailedMembersGetTheirCancellation) {
  MarkMailed(anna_);
  install_.Exec("INSERT INTO [conferenceMemberLog] (conferenceID, memberID) VALUES (1, " +
                std::to_string(anna_) + ")");
  // The request of the series deletion, as it builds it.
  pugi::xml_document request;
  ASSERT_TRUE(
      request.load_string("<?xml version=\"1.0\" encoding=\"utf-8\"?><request><action>"
                          "deleteKonferenz</action><konferenzid>1</konferenzid></request>"));
  pugi::xml_document response;
  response.append_child("RESPONSE");
  std::string result;
  DeleteKonferenz(request, response, result);
  EXPECT_EQ(result, CreateResultXML(0, "Konferenz gelöscht", ""));

  const auto messages = peers_.Messages();
  ASSERT_EQ(messages.size(), 1u);  // the others were never invited
  const testing_support::TMessage* mail = MessageTo(messages, "anna@example.test");
  ASSERT_NE(mail, nullptr);
  EXPECT_EQ(mail->subject, "Absage: \"Weekly\"");
  EXPECT_EQ(install_.Count("SELECT COUNT(*) FROM [conferences]"), 0);
  EXPECT_EQ(install_.Count("SELECT COUNT(*) FROM [conferenceMembers]"), 0);
  EXPECT_EQ(install_.Count("SELECT COUNT(*) FROM [conferenceMemberLog]"), 1);
}

}  // namespace
}  // namespace parlevo
