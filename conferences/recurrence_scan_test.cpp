#include "conferences/recurrence_scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "conferences/recurrence_test_support.h"
#include "tests/deadline.h"

namespace parlevo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::SeriesTest;

TDateTime At(int y, int m, int d, int h, int n = 0) {
  return EncodeDate(y, m, d) + EncodeTime(h, n, 0, 0);
}

class RecurrenceScan : public SeriesTest {};

TEST_F(RecurrenceScan, DailySeriesGetsItsConferencesOnceAndThenOneMoreADay) {
  const std::string id = AddSeriesRow({{"Daily", "1"}, {"DailyInterval", "2"}});
  HandleRecurrencesAt("", At(2026, 3, 7, 8));
  EXPECT_THAT(SeriesDays(id),
              ElementsAre("07.03.2026", "09.03.2026", "11.03.2026", "13.03.2026", "15.03.2026",
                          "17.03.2026", "19.03.2026", "21.03.2026", "23.03.2026", "25.03.2026"));
  // What the conference action stored: the series' name, room, PINs and times.
  const auto rows = Rows(
      "SELECT name, room, starttime, endtime, PinHost, PinMember, "
      "PinListenOnly FROM conferences WHERE RecurrenceId = " +
      id + " ORDER BY [date]");
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_THAT(rows[1], ElementsAre("Jour fixe", "100", "09.03.2026 10:00:00.000",
                                   "09.03.2026 11:00:00.000", "1234", "2345", "3456"));

  // A second scan the same day adds nothing; the next day adds one after the newest.
  HandleRecurrencesAt("", At(2026, 3, 7, 18));
  EXPECT_EQ(SeriesDays(id).size(), 10u);
  HandleRecurrencesAt("", At(2026, 3, 8, 6));
  EXPECT_EQ(SeriesDays(id).size(), 11u);
  EXPECT_EQ(SeriesDays(id).back(), "27.03.2026");
}

TEST_F(RecurrenceScan, ConcurrentScansCreateNoDuplicates) {
  const std::string daily = AddSeriesRow({{"Daily", "1"}, {"DailyInterval", "1"}});
  const std::string monthly = AddSeriesRow({{"Monthly", "1"},
                                            {"MonthlyInterval", "1"},
                                            {"MonthlyEveryX", "2"},
                                            {"MonthlyWeekDay", "1"}});
  std::vector<std::thread> scans;
  for (int i = 0; i < 4; ++i) {
    scans.emplace_back([] { HandleRecurrencesAt("", At(2026, 3, 7, 8)); });
  }
  testing_support::JoinAllWithin(scans, "the concurrent scans");
  const auto daily_days = SeriesDays(daily);
  EXPECT_EQ(daily_days.size(), 10u);
  EXPECT_EQ(std::set<std::string>(daily_days.begin(), daily_days.end()).size(), 10u);
  const auto monthly_days = SeriesDays(monthly);
  EXPECT_EQ(monthly_days.size(), 10u);
  EXPECT_EQ(monthly_days.front(), "10.03.2026");
  EXPECT_EQ(std::set<std::string>(monthly_days.begin(), monthly_days.end()).size(), 10u);
}

TEST_F(RecurrenceScan, WeeklySeriesWithEmptyColumnsOfOtherKinds) {
  // The daily and monthly numbers are NULL: the weekly series must not fail on them.
  const std::string id = AddSeriesRow({{"startdate", "2026-03-02"},
                                       {"enddate", "2026-03-16"},
                                       {"starttime", "2026-03-02 09:00:00"},
                                       {"endtime", "2026-03-02 09:30:00"},
                                       {"Weekly", "1"},
                                       {"WeeklyInterval", "1"},
                                       {"WeeklyMonday", "1"},
                                       {"WeeklyThursday", "1"}});
  HandleRecurrencesAt("", At(2026, 3, 2, 7));
  EXPECT_THAT(SeriesDays(id),
              ElementsAre("02.03.2026", "05.03.2026", "09.03.2026", "12.03.2026", "16.03.2026"));
}

TEST_F(RecurrenceScan, DatesTheSeriesHasAlreadyAreNotAddedAgain) {
  const std::string id = AddSeriesRow({{"Monthly", "1"},
                                       {"MonthlyInterval", "1"},
                                       {"MonthlyEveryX", "2"},
                                       {"MonthlyWeekDay", "1"},
                                       {"enddate", "2026-05-31"}});
  // A conference of the series on 14 April exists, outside the count of today's run (it was
  // stored with an earlier start, so the walk starts from the series itself).
  Exec(
      "INSERT INTO [conferences] (room, name, [date], starttime, endtime, RecurrenceId) VALUES "
      "(\"100\", \"Jour fixe\", \"2026-04-14\", \"2026-03-01 10:00:00\", "
      "\"2026-03-01 11:00:00\", " +
      id + ")");
  HandleRecurrencesAt("", At(2026, 3, 7, 8));
  EXPECT_THAT(SeriesDays(id), ElementsAre("10.03.2026", "14.04.2026", "12.05.2026"));
}

TEST_F(RecurrenceScan, FinishedAndBrokenSeriesAndTheRestGoesOn) {
  const std::string over = AddSeriesRow({{"Daily", "1"},
                                         {"DailyInterval", "1"},
                                         {"startdate", "2026-02-01"},
                                         {"enddate", "2026-02-05"}});
  // Its own interval missing: the row fails, the scan goes on.
  const std::string broken = AddSeriesRow({{"Daily", "1"}, {"DailyInterval", ""}});
  const std::string fine = AddSeriesRow({{"Daily", "1"}, {"DailyInterval", "3"}});
  HandleRecurrencesAt("", At(2026, 3, 7, 8));
  EXPECT_THAT(SeriesDays(over), IsEmpty());
  EXPECT_THAT(SeriesDays(broken), IsEmpty());
  EXPECT_EQ(SeriesDays(fine).size(), 10u);
  EXPECT_EQ(SeriesCount(), 3);
}

TEST_F(RecurrenceScan, OneOffElementBecomesAConferenceWithTheMembersTakenOver) {
  const std::string source_a = AddPlainConference("2026-03-01");
  const std::string source_b = AddPlainConference("2026-03-02");
  AddMembership(source_a, "Alpha", "ger", true);
  AddMembership(source_b, "Beta", "eng", false);
  const std::string id = AddSeriesRow({{"IsRecurrenceElement", "0"},
                                       {"Daily", "1"},
                                       {"startdate", "2026-03-20"},
                                       {"enddate", ""},
                                       {"starttime", "2026-03-20 14:00:00"},
                                       {"endtime", "2026-03-20 15:30:00"}});
  HandleRecurrencesAt(source_a + ";" + source_b, At(2026, 3, 7, 8));

  EXPECT_EQ(SeriesCount(), 0);  // the element is done
  const std::string conference = Scalar("SELECT MAX(ID) FROM conferences");
  EXPECT_THAT(Rows("SELECT name, [date], starttime, endtime, RecurrenceId, PinHost FROM "
                   "conferences WHERE ID = " +
                   conference)[0],
              ElementsAre("Jour fixe", "20.03.2026", "20.03.2026 14:00:00.000",
                          "20.03.2026 15:30:00.000", "-1", "1234"));
  const auto members = Rows(
      "SELECT languagecode, listenOnly, host, [min], [max] FROM conferenceMembers WHERE "
      "conferenceID = " +
      conference + " ORDER BY languagecode");
  ASSERT_EQ(members.size(), 2u);
  EXPECT_THAT(members[0], ElementsAre("eng", "Falsch", "Falsch", "20.03.2026 14:00:00.000",
                                      "20.03.2026 15:30:00.000"));
  EXPECT_THAT(members[1], ElementsAre("ger", "Wahr", "Falsch", "20.03.2026 14:00:00.000",
                                      "20.03.2026 15:30:00.000"));
}

TEST_F(RecurrenceScan, OneOffElementStaysWhenItsConferenceCouldNotBeStored) {
  // The conference action must fail while the table stays readable and deletable, so that only
  // the scan's own check keeps the element: the file refuses new conferences and nothing else.
  AddSeriesRow({{"IsRecurrenceElement", "0"}});
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db::DataSourceOf(connect_str_).c_str(), &raw), SQLITE_OK);
  const int rc = sqlite3_exec(raw,
                              "CREATE TRIGGER refuse_conferences BEFORE INSERT ON conferences "
                              "BEGIN SELECT RAISE(ABORT, 'no new conferences'); END",
                              nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  ASSERT_EQ(rc, SQLITE_OK);
  HandleRecurrencesAt("12", At(2026, 3, 7, 8));
  EXPECT_EQ(ConferenceCount(), 0);
  EXPECT_EQ(SeriesCount(), 1);
}

TEST_F(RecurrenceScan, CheckRecurrenceCountsFromTodayAndNewestIsTheHighestId) {
  TRecurrence series;
  series.Id = 5;
  const auto add = [&](const std::string& date, const std::string& time) {
    Exec(
        "INSERT INTO [conferences] (room, name, [date], starttime, endtime, RecurrenceId) "
        "VALUES (\"100\", \"x\", \"" +
        date + "\", \"" + date + " " + time + "\", \"" + date + " 23:00:00\", 5)");
    return Scalar("SELECT MAX(ID) FROM conferences");
  };
  add("2026-03-06", "08:00:00");
  add("2026-03-07", "08:00:00");
  add("2026-03-20", "08:00:00");
  const std::string highest = add("2026-03-10", "09:00:00");
  EXPECT_EQ(CheckRecurrence(series, At(2026, 3, 7, 18)), 3);
  const auto newest = GetNewestConference(5);
  ASSERT_TRUE(newest);
  EXPECT_EQ(std::to_string(newest->Id), highest);
  EXPECT_EQ(newest->StartDate, EncodeDate(2026, 3, 10));
  EXPECT_FALSE(GetNewestConference(6));
  EXPECT_EQ(RecurrenceConferenceDays(5).size(), 4u);

  // The day begins at its midnight: a conference starting then counts, one a second before
  // does not, whatever the time of the run that day.
  add("2026-03-07", "00:00:00");
  add("2026-03-06", "23:59:59");
  EXPECT_EQ(CheckRecurrence(series, At(2026, 3, 7, 0)), 4);
  EXPECT_EQ(CheckRecurrence(series, At(2026, 3, 7, 23, 59)), 4);
  EXPECT_EQ(CheckRecurrence(series, At(2026, 3, 8, 0)), 2);
}

TEST_F(RecurrenceScan, DeleteRecurrenceRemovesSeriesAndConferencesThroughTheAction) {
  const std::string id = AddSeriesRow({{"Daily", "1"}, {"DailyInterval", "1"}});
  const std::string other = AddSeriesRow({{"Daily", "1"}, {"DailyInterval", "7"}});
  HandleRecurrencesAt("", At(2026, 3, 7, 8));
  const std::string first = Rows("SELECT ID FROM conferences WHERE RecurrenceId = " + id)[0][0];
  AddMembership(first, "Alpha", "ger", false);

  TSeriesConferenceDeletions deletions;
  {
    const TSeriesLock held = LockSeries();
    deletions = DeleteRecurrence(held, std::stoi(id));
    // A second deletion of the series meanwhile leaves them to the first: their members would
    // get a second cancellation.
    EXPECT_THAT(DeleteRecurrence(held, std::stoi(id)).ids(), IsEmpty());
  }
  // Under the lock only the series row went; the conferences go once it is released.
  EXPECT_EQ(SeriesCount(), 1);
  EXPECT_EQ(deletions.ids().size(), 10u);
  EXPECT_EQ(SeriesDays(id).size(), 10u);
  deletions.Run();
  EXPECT_THAT(deletions.ids(), IsEmpty());
  EXPECT_THAT(SeriesDays(id), IsEmpty());
  EXPECT_EQ(SeriesDays(other).size(), 10u);
  EXPECT_EQ(SeriesCount(), 1);
  // The memberships went with their conference: it was deleted through the conference action,
  // which cancels each membership before removing it.
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM conferenceMembers"), "0");

  // A series that does not exist: nothing happens.
  const TSeriesLock held = LockSeries();
  EXPECT_THAT(DeleteRecurrence(held, 999).ids(), IsEmpty());
  EXPECT_EQ(SeriesCount(), 1);
}

}  // namespace
}  // namespace parlevo
