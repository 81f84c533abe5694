#include "conferences/recurrence_actions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <pugixml.hpp>

#include "conferences/recurrence_test_support.h"
#include "webservice/base64.h"

namespace parlevo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing_support::SeriesTest;

const TDateTime kNow = EncodeDate(2026, 3, 7) + EncodeTime(8, 0, 0, 0);

std::string Request(const std::string& action, const std::string& fields) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><Request><Action>" + action + "</Action>" +
         fields + "</Request>";
}

// The fields of a daily series every other day from 7 March 2026, as the front end sends them.
std::string DailyFields(const std::string& name = "Jour fixe", const std::string& interval = "2") {
  return "<Durchwahl>100</Durchwahl><Name>" + Base64Encode(name) +
         "</Name><Startzeit>2026-03-07T10:00:00</Startzeit><Endzeit>2026-03-07T11:00:00"
         "</Endzeit><Datum>2026-03-07</Datum><EndDatum>2026-03-07</EndDatum>"
         "<PinHost>1234</PinHost><PinMember>2345</PinMember><PinListenOnly>3456</PinListenOnly>"
         "<TakeOver></TakeOver><Recurrence><IsRecurrenceElement>1</IsRecurrenceElement>"
         "<Daily>1</Daily><DailyInterval>" +
         interval +
         "</DailyInterval><DailyEveryWorkDay>0</DailyEveryWorkDay><Weekly>0</Weekly>"
         "<WeeklyInterval></WeeklyInterval><Monthly>0</Monthly><MonthlyInterval>0"
         "</MonthlyInterval><MonthlyEveryX></MonthlyEveryX><MonthlyWeekDay></MonthlyWeekDay>"
         "</Recurrence>";
}

class RecurrenceActions : public SeriesTest {
 protected:
  std::string Add(const std::string& fields) {
    return Call([](auto& q, auto& a, auto& r) { Recurrence_AddAt(q, a, r, kNow); },
                Request("addRecurrence", fields));
  }
  std::string Update(const std::string& id, const std::string& fields) {
    return Call([](auto& q, auto& a, auto& r) { Recurrence_UpdateAt(q, a, r, kNow); },
                Request("updateRecurrence", "<RecurrenceId>" + id + "</RecurrenceId>" + fields));
  }
  std::string Delete(const std::string& id) {
    return Call([](auto& q, auto& a, auto& r) { Recurrence_DeleteAt(q, a, r, kNow); },
                Request("deleteRecurrence", "<recurrenceid>" + id + "</recurrenceid>"));
  }
  std::string Get(const std::string& id) {
    return Call(GetRecurrence, Request("getRecurrence", "<RecurrenceId>" + id + "</RecurrenceId>"));
  }
  std::string LastSeries() { return Scalar("SELECT MAX(RecurrenceId) FROM conferenceRecurrences"); }
};

TEST_F(RecurrenceActions, AddCreatesTheSeriesAndItsConferencesAtOnce) {
  EXPECT_EQ(Add(DailyFields()), CreateResultXML(0, "Konferenz erfolgreich angelegt", ""));
  const std::string id = LastSeries();
  EXPECT_EQ(SeriesDays(id).size(), 10u);
  EXPECT_EQ(SeriesDays(id)[1], "09.03.2026");
  EXPECT_THAT(Rows("SELECT name, Daily, DailyInterval, Weekly, WeeklyInterval, MonthlyEveryX "
                   "FROM conferenceRecurrences")[0],
              ElementsAre("Jour fixe", "1", "2", "0", "", ""));
}

TEST_F(RecurrenceActions, AddReadsOnlyOneAsAFlagAndAnySpellingOfTheNames) {
  std::string fields = DailyFields();
  fields.replace(fields.find("<Daily>1</Daily>"), 16, "<DAILY>true</DAILY>");
  EXPECT_EQ(Add(fields), CreateResultXML(0, "Konferenz erfolgreich angelegt", ""));
  EXPECT_EQ(Scalar("SELECT Daily FROM conferenceRecurrences"), "0");
  EXPECT_EQ(Scalar("SELECT DailyInterval FROM conferenceRecurrences"), "2");
  EXPECT_EQ(ConferenceCount(), 0);  // a series of no kind makes nothing
}

TEST_F(RecurrenceActions, AddStoresTextsAsSentAndRejectsBadNumbers) {
  EXPECT_EQ(Add(DailyFields("Jour \"fixe\"; DROP")).substr(0, 10), "<?xml vers");
  EXPECT_EQ(Scalar("SELECT name FROM conferenceRecurrences"), "Jour \"fixe\"; DROP");
  EXPECT_EQ(Scalar("SELECT MIN(name) FROM conferences"), "Jour \"fixe\"; DROP");

  // A number slot that holds no number: the statement fails with a clear message.
  const std::string answer = Add(DailyFields("x", "2); DELETE"));
  EXPECT_THAT(answer, HasSubstr("<code>-1</code>"));
  EXPECT_THAT(answer, HasSubstr("2); DELETE"));
  EXPECT_EQ(SeriesCount(), 1);

  // A monthly interval that is no number raises past the handler; the answer stays "error".
  std::string fields = DailyFields();
  fields.replace(fields.find("<MonthlyInterval>0"), 18, "<MonthlyInterval>x");
  pugi::xml_document request;
  LoadRequestDocument(request, Request("addRecurrence", fields));
  pugi::xml_document response;
  response.append_child("RESPONSE");
  std::string result = "error";
  EXPECT_ANY_THROW(Recurrence_AddAt(request, response, result, kNow));
  EXPECT_EQ(result, "error");
  EXPECT_EQ(SeriesCount(), 1);
}

TEST_F(RecurrenceActions, GetAnswersTheLayout) {
  Add(DailyFields("Jour fixe"));
  const std::string answer = Get(LastSeries());
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str()));
  std::vector<std::string> names;
  for (pugi::xml_node child : doc.document_element().children()) names.push_back(child.name());
  EXPECT_THAT(
      names,
      ElementsAre("id", "room", "name", "startdate", "enddate", "starttime", "endtime", "pinhost",
                  "pinmember", "pinlistenonly", "isrecurrenceelement", "daily", "dailyinterval",
                  "dailyeveryworkday", "weekly", "weeklyinterval", "weeklymonday", "weeklytuesday",
                  "weeklywednesday", "weeklythursday", "weeklyfriday", "weeklysaturday",
                  "weeklysunday", "monthly", "monthlyinterval", "result"));
  EXPECT_EQ(AnswerValue(answer, "id"), LastSeries());
  EXPECT_EQ(AnswerValue(answer, "name"), "Jour fixe");  // plain, not Base64
  EXPECT_EQ(AnswerValue(answer, "startdate"), "07.03.2026");
  EXPECT_EQ(AnswerValue(answer, "starttime"), "07.03.2026 10:00:00.000");
  EXPECT_EQ(AnswerValue(answer, "daily"), "1");
  EXPECT_EQ(AnswerValue(answer, "weekly"), "0");
  EXPECT_EQ(AnswerValue(answer, "dailyinterval"), "2");
  EXPECT_EQ(AnswerValue(answer, "weeklyinterval"), "0");  // empty column of another kind
  EXPECT_EQ(AnswerValue(answer, "result.code"), "0");
  EXPECT_EQ(AnswerValue(answer, "result.description"), "");

  // No such series: only the result.
  const std::string none = Get("999");
  ASSERT_TRUE(doc.load_string(none.c_str()));
  EXPECT_EQ(std::distance(doc.document_element().begin(), doc.document_element().end()), 1);
  EXPECT_EQ(AnswerValue(none, "result.code"), "0");
  EXPECT_THAT(Get("abc"), HasSubstr("<code>-1</code>"));
}

TEST_F(RecurrenceActions, UpdateReplacesSeriesAndConferences) {
  Add(DailyFields());
  const std::string old_id = LastSeries();
  const std::string first =
      Rows("SELECT ID FROM conferences WHERE RecurrenceId = " + old_id + " ORDER BY [date]")[0][0];
  AddMembership(first, "Alpha", "ger", false);
  EXPECT_EQ(Update(old_id, DailyFields("Neu", "3")),
            CreateResultXML(0, "Serienkonferenz erfolgreich aktualisiert", ""));
  const std::string new_id = LastSeries();
  EXPECT_NE(new_id, old_id);
  EXPECT_EQ(SeriesCount(), 1);
  EXPECT_THAT(SeriesDays(old_id), IsEmpty());
  EXPECT_EQ(SeriesDays(new_id).size(), 10u);
  EXPECT_EQ(SeriesDays(new_id)[1], "10.03.2026");
  // The old conferences went through the conference action, memberships included.
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM conferenceMembers WHERE conferenceID = " + first), "0");
  EXPECT_EQ(Scalar("SELECT name FROM conferenceRecurrences"), "Neu");
}

// A front end reads a series and sends its texts back to change it.
TEST_F(RecurrenceActions, UpdateTakesTheTextsGetAnswered) {
  Add(DailyFields());
  const std::string old_id = LastSeries();
  pugi::xml_document got;
  ASSERT_TRUE(got.load_string(Get(old_id).c_str()));
  const auto text = [&](const char* name) {
    return std::string(got.document_element().child(name).text().get());
  };
  ASSERT_EQ(text("starttime"), "07.03.2026 10:00:00.000");
  std::string fields = DailyFields("Neu", "3");
  const auto put = [&](const std::string& element, const std::string& value) {
    const size_t begin = fields.find("<" + element + ">") + element.size() + 2;
    fields.replace(begin, fields.find("</" + element + ">") - begin, value);
  };
  put("Datum", text("startdate"));
  put("EndDatum", text("enddate"));
  put("Startzeit", text("starttime"));
  put("Endzeit", text("endtime"));
  EXPECT_EQ(Update(old_id, fields),
            CreateResultXML(0, "Serienkonferenz erfolgreich aktualisiert", ""));
  const std::string new_id = LastSeries();
  EXPECT_NE(new_id, old_id);
  EXPECT_EQ(SeriesDays(new_id).size(), 10u);
  EXPECT_EQ(SeriesDays(new_id)[1], "10.03.2026");
  EXPECT_THAT(Rows("SELECT startdate, enddate, starttime, endtime FROM conferenceRecurrences")[0],
              ElementsAre("07.03.2026", "07.03.2026", "07.03.2026 10:00:00.000",
                          "07.03.2026 11:00:00.000"));
  // What names no day is still refused, in the listed form too.
  put("Datum", "32.03.2026");
  EXPECT_EQ(Update(new_id, fields), CreateResultXML(-1, "Ungültiges Datum: Datum", ""));
  EXPECT_EQ(LastSeries(), new_id);
}

TEST_F(RecurrenceActions, FailedUpdateKeepsTheOldSeries) {
  Add(DailyFields());
  const std::string old_id = LastSeries();
  EXPECT_THAT(Update(old_id, DailyFields("Neu", "zwei")), HasSubstr("<code>-1</code>"));
  std::string fields = DailyFields("Neu");
  fields.replace(fields.find("<MonthlyInterval>0"), 18, "<MonthlyInterval>x");
  EXPECT_THAT(Update(old_id, fields), HasSubstr("<code>-1</code>"));
  fields = DailyFields("Neu");
  fields.replace(fields.find("2026-03-07</Datum>"), 10, "kein Datum");
  EXPECT_THAT(Update(old_id, fields), HasSubstr("<code>-1</code>"));
  EXPECT_THAT(Update("abc", DailyFields("Neu")), HasSubstr("<code>-1</code>"));
  EXPECT_EQ(LastSeries(), old_id);
  EXPECT_EQ(SeriesCount(), 1);
  EXPECT_EQ(SeriesDays(old_id).size(), 10u);
}

TEST_F(RecurrenceActions, DeleteRemovesSeriesAndConferences) {
  Add(DailyFields());
  const std::string id = LastSeries();
  EXPECT_EQ(Delete("abc").find("<code>-1</code>") != std::string::npos, true);
  EXPECT_EQ(SeriesCount(), 1);
  EXPECT_EQ(Delete(id), CreateResultXML(0, "Serientermin erfolgreich gelöscht.", ""));
  EXPECT_EQ(SeriesCount(), 0);
  EXPECT_EQ(ConferenceCount(), 0);
}

TEST_F(RecurrenceActions, OneOffElementWithTakeOver) {
  const std::string source = AddPlainConference("2026-03-01");
  AddMembership(source, "Alpha", "ger", false);
  std::string fields = DailyFields();
  fields.replace(fields.find("<IsRecurrenceElement>1"), 22, "<IsRecurrenceElement>0");
  fields.replace(fields.find("<TakeOver></TakeOver>"), 21, "<TakeOver>" + source + "</TakeOver>");
  EXPECT_EQ(Add(fields), CreateResultXML(0, "Konferenz erfolgreich angelegt", ""));
  EXPECT_EQ(SeriesCount(), 0);
  EXPECT_EQ(ConferenceCount(), 2);
  const std::string created = Scalar("SELECT MAX(ID) FROM conferences");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM conferenceMembers WHERE conferenceID = " + created), "1");
  EXPECT_EQ(Scalar("SELECT RecurrenceId FROM conferences WHERE ID = " + created), "-1");
}

}  // namespace
}  // namespace parlevo
