#include "conferences/recurrence_steps.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace parlevo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TDateTime Day(int y, int m, int d) {
  return EncodeDate(y, m, d);
}
TDateTime At(int y, int m, int d, int h, int n = 0) {
  return EncodeDate(y, m, d) + EncodeTime(h, n, 0, 0);
}

// A series from the given day, 10:00 to 11:00, without end (end date = start date).
TRecurrence Series(TDateTime start) {
  TRecurrence r;
  r.Id = 7;
  r.Room = "100";
  r.Name = "Jour fixe";
  r.StartDate = start;
  r.EndDate = start;
  r.StartTime = start + EncodeTime(10, 0, 0, 0);
  r.EndTime = start + EncodeTime(11, 0, 0, 0);
  r.IsRecurrenceElement = true;
  return r;
}

TRecurrence DailySeries(TDateTime start, int interval) {
  TRecurrence r = Series(start);
  r.Daily = true;
  r.DailyInterval = interval;
  return r;
}

TRecurrence MonthlySeries(TDateTime start, int every_x, int week_day, int interval) {
  TRecurrence r = Series(start);
  r.Monthly = true;
  r.MonthlyEveryX = every_x;
  r.MonthlyWeekDay = week_day;
  r.MonthlyInterval = interval;
  return r;
}

TSeriesRun FirstRun(TDateTime now) {
  TSeriesRun run;
  run.now = now;
  run.newest = [] {
    ADD_FAILURE() << "a first run must not look for the newest conference";
    return std::optional<TConference>();
  };
  return run;
}

// A later run that continues from a conference on the given day.
TSeriesRun LaterRun(TDateTime now, int count, TDateTime newest_day) {
  TSeriesRun run;
  run.now = now;
  run.count = count;
  run.newest = [newest_day] {
    TConference c;
    c.Id = 40;
    c.Room = "100";
    c.Name = "Jour fixe (newest)";
    c.StartDate = newest_day;
    c.StartTime = newest_day + EncodeTime(10, 0, 0, 0);
    c.EndTime = newest_day + EncodeTime(11, 0, 0, 0);
    return std::optional<TConference>(c);
  };
  return run;
}

std::vector<std::string> Dates(const std::vector<TPlannedConference>& plan) {
  std::vector<std::string> out;
  for (const auto& p : plan) out.push_back(FormatISODate(p.Date));
  return out;
}

TEST(DailyPlan, IntervalTwoKeepsTenConferencesAhead) {
  const auto plan = PlanDaily(DailySeries(Day(2026, 3, 7), 2), FirstRun(At(2026, 3, 7, 8)));
  EXPECT_THAT(Dates(plan),
              ElementsAre("2026-03-07", "2026-03-09", "2026-03-11", "2026-03-13", "2026-03-15",
                          "2026-03-17", "2026-03-19", "2026-03-21", "2026-03-23", "2026-03-25"));
  // Each conference keeps the series' time of day on its own date.
  EXPECT_EQ(FormatISODateTime(plan[3].StartTime), "2026-03-13 10:00:00");
  EXPECT_EQ(FormatISODateTime(plan[3].EndTime), "2026-03-13 11:00:00");
  EXPECT_FALSE(plan[0].EndDate.has_value());
  EXPECT_EQ(plan[0].Name, "Jour fixe");
}

TEST(DailyPlan, LaterRunsOnlyFillTheHorizon) {
  const TRecurrence series = DailySeries(Day(2026, 3, 7), 2);
  EXPECT_THAT(PlanDaily(series, LaterRun(At(2026, 3, 7, 18), 10, Day(2026, 3, 25))), IsEmpty());
  // The next day one conference has passed: one more after the newest.
  const auto next = PlanDaily(series, LaterRun(At(2026, 3, 8, 6), 9, Day(2026, 3, 25)));
  EXPECT_THAT(Dates(next), ElementsAre("2026-03-27"));
  // Room and name come from the conference the walk continues.
  EXPECT_EQ(next[0].Name, "Jour fixe (newest)");
  EXPECT_EQ(next[0].Room, "100");
}

TEST(DailyPlan, PlainIntervalAndIntervalBelowOne) {
  EXPECT_THAT(Dates(PlanDaily(DailySeries(Day(2026, 3, 7), 1), FirstRun(At(2026, 3, 7, 8)))),
              ElementsAre("2026-03-07", "2026-03-08", "2026-03-09", "2026-03-10", "2026-03-11",
                          "2026-03-12", "2026-03-13", "2026-03-14", "2026-03-15", "2026-03-16"));
  // An interval of 0 would stand still; it counts as 1.
  EXPECT_EQ(PlanDaily(DailySeries(Day(2026, 3, 7), 0), FirstRun(At(2026, 3, 7, 8))).size(), 10u);
  EXPECT_EQ(Dates(PlanDaily(DailySeries(Day(2026, 3, 7), -3), FirstRun(At(2026, 3, 7, 8))))[1],
            "2026-03-08");
}

TEST(DailyPlan, WorkdaysStartingOnSaturday) {
  TRecurrence series = DailySeries(Day(2026, 3, 7), 5);  // 7 March 2026 is a Saturday
  series.DailyEveryWorkDay = true;
  EXPECT_THAT(Dates(PlanDaily(series, FirstRun(At(2026, 3, 6, 8)))),
              ElementsAre("2026-03-09", "2026-03-10", "2026-03-11", "2026-03-12", "2026-03-13",
                          "2026-03-16", "2026-03-17", "2026-03-18", "2026-03-19", "2026-03-20"));
  // A later run steps on from the newest conference to the next workday.
  EXPECT_THAT(Dates(PlanDaily(series, LaterRun(At(2026, 3, 9, 8), 9, Day(2026, 3, 20)))),
              ElementsAre("2026-03-23"));
}

TEST(DailyPlan, WorkdaysStartingOnAWorkdayBeginWithTheStart) {
  // 13 March 2026 is a Friday; the run is the day before, so the start lies ahead of it.
  TRecurrence series = DailySeries(Day(2026, 3, 13), 1);
  series.DailyEveryWorkDay = true;
  EXPECT_THAT(Dates(PlanDaily(series, FirstRun(At(2026, 3, 12, 8)))),
              ElementsAre("2026-03-13", "2026-03-16", "2026-03-17", "2026-03-18", "2026-03-19",
                          "2026-03-20", "2026-03-23", "2026-03-24", "2026-03-25", "2026-03-26"));
}

TEST(DailyPlan, PastStartMovesToToday) {
  const auto plan = PlanDaily(DailySeries(Day(2026, 2, 1), 1), FirstRun(At(2026, 3, 7, 12)));
  ASSERT_EQ(plan.size(), 10u);
  EXPECT_EQ(FormatISODateTime(plan[0].StartTime), "2026-03-07 10:00:00");
  EXPECT_EQ(FormatISODate(plan[9].Date), "2026-03-16");
}

TEST(DailyPlan, EndDates) {
  // Inside the run: 1 to 5 March gives four passes; the daily end test lets one day past the
  // end through on the next run.
  TRecurrence series = DailySeries(Day(2026, 3, 1), 1);
  series.EndDate = Day(2026, 3, 5);
  EXPECT_THAT(Dates(PlanDaily(series, FirstRun(At(2026, 3, 1, 8)))),
              ElementsAre("2026-03-01", "2026-03-02", "2026-03-03", "2026-03-04"));
  EXPECT_THAT(Dates(PlanDaily(series, LaterRun(At(2026, 3, 1, 9), 4, Day(2026, 3, 4)))),
              ElementsAre("2026-03-05", "2026-03-06"));
  EXPECT_THAT(PlanDaily(series, LaterRun(At(2026, 3, 1, 9), 6, Day(2026, 3, 6))), IsEmpty());
  // On the end day itself the series still runs.
  EXPECT_THAT(Dates(PlanDaily(series, FirstRun(At(2026, 3, 5, 8)))).front(), "2026-03-05");

  // Passed: a finished series creates nothing at all.
  EXPECT_THAT(PlanDaily(series, FirstRun(At(2026, 3, 6, 0, 1))), IsEmpty());
  EXPECT_THAT(PlanDaily(series, FirstRun(At(2027, 1, 1, 8))), IsEmpty());

  // Equal to the start: no end, also for a series that starts in the future.
  const auto future = PlanDaily(DailySeries(Day(2026, 3, 20), 1), FirstRun(At(2026, 3, 7, 8)));
  EXPECT_THAT(Dates(future).front(), "2026-03-20");
  EXPECT_EQ(future.size(), 10u);
  // Before the start: no end either.
  TRecurrence earlier_end = DailySeries(Day(2026, 3, 7), 1);
  earlier_end.EndDate = Day(2026, 1, 1);
  EXPECT_EQ(PlanDaily(earlier_end, FirstRun(At(2026, 3, 7, 8))).size(), 10u);
}

TEST(DailyPlan, DatesTheSeriesHasAreSkipped) {
  TSeriesRun run = FirstRun(At(2026, 3, 7, 8));
  run.existing_days = {static_cast<int64_t>(Day(2026, 3, 9)),
                       static_cast<int64_t>(Day(2026, 3, 8))};
  EXPECT_THAT(Dates(PlanDaily(DailySeries(Day(2026, 3, 7), 1), run)),
              ElementsAre("2026-03-07", "2026-03-10", "2026-03-11", "2026-03-12", "2026-03-13",
                          "2026-03-14", "2026-03-15", "2026-03-16"));
}

TEST(DailyPlan, MissingNewestConferenceCreatesNothing) {
  TSeriesRun run;
  run.now = At(2026, 3, 7, 8);
  run.count = 3;
  run.newest = [] { return std::optional<TConference>(); };
  EXPECT_THAT(PlanDaily(DailySeries(Day(2026, 3, 7), 1), run), IsEmpty());
}

TEST(DailyPlan, FarEndDateAddsNoMoreThanTheHorizon) {
  TRecurrence series = DailySeries(Day(2026, 3, 7), 1);
  series.EndDate = Day(2100, 12, 30);
  const auto plan = PlanDaily(series, FirstRun(At(2026, 3, 7, 8)));
  EXPECT_EQ(Dates(plan).size(), 10u);
  EXPECT_EQ(Dates(plan).back(), "2026-03-16");
  // With ten ahead a later run adds nothing; with seven it tops up to ten.
  EXPECT_THAT(PlanDaily(series, LaterRun(At(2026, 3, 7, 9), 10, Day(2026, 3, 16))), IsEmpty());
  EXPECT_THAT(Dates(PlanDaily(series, LaterRun(At(2026, 3, 10, 9), 7, Day(2026, 3, 16)))),
              ElementsAre("2026-03-17", "2026-03-18", "2026-03-19"));
  // A start long past creates nothing before today, and stops after the end.
  TRecurrence old = DailySeries(Day(1990, 1, 1), 1);
  old.EndDate = Day(2026, 3, 10);
  EXPECT_THAT(Dates(PlanDaily(old, FirstRun(At(2026, 3, 7, 12)))),
              ElementsAre("2026-03-07", "2026-03-08", "2026-03-09", "2026-03-10", "2026-03-11"));
}

TRecurrence WeeklySeries(TDateTime start, int interval) {
  TRecurrence r = Series(start);
  r.Weekly = true;
  r.WeeklyInterval = interval;
  return r;
}

TEST(WeeklyPlan, MondayAndThursdayEveryOtherWeek) {
  TRecurrence series = WeeklySeries(Day(2026, 3, 2), 2);  // a Monday
  series.WeeklyMonday = series.WeeklyThursday = true;
  EXPECT_THAT(Dates(PlanWeekly(series, FirstRun(At(2026, 3, 2, 8)))),
              ElementsAre("2026-03-02", "2026-03-05", "2026-03-16", "2026-03-19", "2026-03-30",
                          "2026-04-02", "2026-04-13", "2026-04-16", "2026-04-27", "2026-04-30"));
}

TEST(WeeklyPlan, StartOnAnUnselectedWeekday) {
  TRecurrence series = WeeklySeries(Day(2026, 3, 4), 1);  // a Wednesday
  series.WeeklyMonday = true;
  const auto plan = PlanWeekly(series, FirstRun(At(2026, 3, 4, 8)));
  EXPECT_THAT(Dates(plan),
              ElementsAre("2026-03-04", "2026-03-09", "2026-03-16", "2026-03-23", "2026-03-30",
                          "2026-04-06", "2026-04-13", "2026-04-20", "2026-04-27", "2026-05-04"));
  EXPECT_EQ(FormatISODateTime(plan[1].EndTime), "2026-03-09 11:00:00");
}

TEST(WeeklyPlan, SundayClosesTheWeek) {
  TRecurrence series = WeeklySeries(Day(2026, 3, 1), 3);  // a Sunday
  series.WeeklySunday = series.WeeklySaturday = true;
  EXPECT_THAT(Dates(PlanWeekly(series, FirstRun(At(2026, 3, 1, 8)))),
              ElementsAre("2026-03-01", "2026-03-21", "2026-03-22", "2026-04-11", "2026-04-12",
                          "2026-05-02", "2026-05-03", "2026-05-23", "2026-05-24", "2026-06-13"));
}

TEST(WeeklyPlan, HorizonLaterRunsAndDegenerateSeries) {
  TRecurrence series = WeeklySeries(Day(2026, 3, 2), 1);
  series.WeeklyFriday = true;
  EXPECT_THAT(PlanWeekly(series, LaterRun(At(2026, 3, 2, 8), 10, Day(2026, 5, 8))), IsEmpty());
  // Fewer than ten ahead: ten more after the newest.
  const auto more = PlanWeekly(series, LaterRun(At(2026, 3, 2, 8), 4, Day(2026, 3, 27)));
  EXPECT_EQ(more.size(), 10u);
  EXPECT_EQ(FormatISODate(more.front().Date), "2026-04-03");

  // No weekday selected: nothing, and no endless search.
  series.WeeklyFriday = false;
  EXPECT_THAT(PlanWeekly(series, FirstRun(At(2026, 3, 2, 8))), IsEmpty());
}

TEST(WeeklyPlan, EndDateAndPastCorrection) {
  TRecurrence series = WeeklySeries(Day(2026, 3, 2), 1);
  series.WeeklyMonday = true;
  series.EndDate = Day(2026, 3, 16);
  EXPECT_THAT(Dates(PlanWeekly(series, FirstRun(At(2026, 3, 2, 8)))),
              ElementsAre("2026-03-02", "2026-03-09", "2026-03-16"));
  EXPECT_THAT(PlanWeekly(series, FirstRun(At(2026, 3, 17, 8))), IsEmpty());

  // A start weeks ago continues from today.
  TRecurrence old = WeeklySeries(Day(2026, 1, 5), 1);
  old.WeeklyMonday = true;
  const auto plan = PlanWeekly(old, FirstRun(At(2026, 3, 9, 12)));
  EXPECT_THAT(Dates(plan).front(), "2026-03-09");
  EXPECT_THAT(Dates(plan)[1], "2026-03-16");
}

TEST(WeeklyPlan, NothingFromTheSecondDayAfterTheEndDate) {
  // Mondays and Wednesdays from Monday 2 March to Monday 16 March 2026, planned the day before
  // the start: Wednesday 18 March is two days past the end and no longer part of the series.
  TRecurrence series = WeeklySeries(Day(2026, 3, 2), 1);
  series.WeeklyMonday = series.WeeklyWednesday = true;
  series.EndDate = Day(2026, 3, 16);
  EXPECT_THAT(Dates(PlanWeekly(series, FirstRun(At(2026, 3, 1, 8)))),
              ElementsAre("2026-03-02", "2026-03-04", "2026-03-09", "2026-03-11", "2026-03-16"));
}

TEST(MonthlyPlan, SecondTuesday) {
  const auto plan =
      PlanMonthly(MonthlySeries(Day(2026, 3, 1), 2, 1, 1), FirstRun(At(2026, 3, 1, 8)));
  EXPECT_THAT(Dates(plan),
              ElementsAre("2026-03-10", "2026-04-14", "2026-05-12", "2026-06-09", "2026-07-14",
                          "2026-08-11", "2026-09-08", "2026-10-13", "2026-11-10", "2026-12-08"));
  EXPECT_EQ(FormatISODateTime(plan[2].StartTime), "2026-05-12 10:00:00");
  ASSERT_TRUE(plan[0].EndDate.has_value());
  EXPECT_EQ(FormatISODate(*plan[0].EndDate), "2026-03-01");  // the series' end date as stored
}

TEST(MonthlyPlan, FifthMondaySkipsMonthsWithoutOne) {
  EXPECT_THAT(
      Dates(PlanMonthly(MonthlySeries(Day(2026, 3, 1), 5, 0, 1), FirstRun(At(2026, 3, 1, 8)))),
      ElementsAre("2026-03-30", "2026-06-29", "2026-08-31", "2026-11-30"));
  // A later run starts after the newest conference and skips again.
  EXPECT_THAT(Dates(PlanMonthly(MonthlySeries(Day(2026, 3, 1), 5, 0, 1),
                                LaterRun(At(2026, 3, 1, 8), 4, Day(2026, 11, 30))))
                  .front(),
              "2027-03-29");
}

TEST(MonthlyPlan, EveryThirdMonth) {
  EXPECT_THAT(
      Dates(PlanMonthly(MonthlySeries(Day(2026, 3, 1), 1, 4, 3), FirstRun(At(2026, 3, 1, 8)))),
      ElementsAre("2026-03-06", "2026-06-05", "2026-09-04", "2026-12-04", "2027-03-05",
                  "2027-06-04", "2027-09-03", "2027-12-03", "2028-03-03", "2028-06-02"));
}

TEST(MonthlyPlan, EndDateLaterRunsAndExistingDates) {
  TRecurrence series = MonthlySeries(Day(2026, 3, 1), 2, 1, 1);
  series.EndDate = Day(2026, 6, 30);
  EXPECT_THAT(Dates(PlanMonthly(series, FirstRun(At(2026, 3, 1, 8)))),
              ElementsAre("2026-03-10", "2026-04-14", "2026-05-12", "2026-06-09"));
  // Five passes for that span: with five conferences ahead nothing more is needed.
  EXPECT_THAT(PlanMonthly(series, LaterRun(At(2026, 3, 1, 8), 5, Day(2026, 6, 9))), IsEmpty());
  // Two ahead: continue in the month after the newest, up to the end.
  EXPECT_THAT(Dates(PlanMonthly(series, LaterRun(At(2026, 3, 1, 8), 2, Day(2026, 4, 14)))),
              ElementsAre("2026-05-12", "2026-06-09"));

  // A date the series has counts as made: the walk moves on to the next month.
  TSeriesRun run = FirstRun(At(2026, 3, 1, 8));
  run.existing_days = {static_cast<int64_t>(Day(2026, 4, 14))};
  EXPECT_THAT(Dates(PlanMonthly(series, run)),
              ElementsAre("2026-03-10", "2026-05-12", "2026-06-09"));
}

TEST(MonthlyPlan, DegenerateParameters) {
  EXPECT_THAT(PlanMonthly(MonthlySeries(Day(2026, 3, 1), 2, 7, 1), FirstRun(At(2026, 3, 1, 8))),
              IsEmpty());
  EXPECT_THAT(PlanMonthly(MonthlySeries(Day(2026, 3, 1), 2, -1, 1), FirstRun(At(2026, 3, 1, 8))),
              IsEmpty());
  // No such weekday in any month.
  EXPECT_THAT(PlanMonthly(MonthlySeries(Day(2026, 3, 1), 0, 1, 1), FirstRun(At(2026, 3, 1, 8))),
              IsEmpty());
  EXPECT_THAT(PlanMonthly(MonthlySeries(Day(2026, 3, 1), 6, 1, 1), FirstRun(At(2026, 3, 1, 8))),
              IsEmpty());
  // Interval 0 counts as 1.
  EXPECT_EQ(
      PlanMonthly(MonthlySeries(Day(2026, 3, 1), 2, 1, 0), FirstRun(At(2026, 3, 1, 8))).size(),
      10u);
}

TEST(MonthlyPlan, PastStartAndFinishedSeries) {
  TRecurrence series = MonthlySeries(Day(2025, 1, 1), 2, 1, 1);
  // Moved to today (15 March 2026), whose month's second Tuesday has passed already: the series
  // goes on in April, never in the past.
  EXPECT_THAT(Dates(PlanMonthly(series, FirstRun(At(2026, 3, 15, 8)))).front(), "2026-04-14");
  series.EndDate = Day(2025, 12, 31);
  EXPECT_THAT(PlanMonthly(series, FirstRun(At(2026, 3, 15, 8))), IsEmpty());
}

TEST(MonthlyPlan, FirstDateIsNeitherBeforeTheStartNorBeforeToday) {
  // Wednesday 4 March 2026: the month's first Monday was two days ago.
  const TRecurrence from_today = MonthlySeries(Day(2026, 3, 4), 1, 0, 1);
  EXPECT_THAT(Dates(PlanMonthly(from_today, FirstRun(At(2026, 3, 4, 8)))).front(), "2026-04-06");
  // A start later this month, chosen ahead: the month's day before it does not count either.
  const TRecurrence ahead = MonthlySeries(Day(2026, 5, 20), 2, 1, 1);
  EXPECT_THAT(Dates(PlanMonthly(ahead, FirstRun(At(2026, 3, 4, 8)))).front(), "2026-06-09");
  // On its day the series begins that very day; with interval 2 the rhythm holds after a skip.
  EXPECT_THAT(
      Dates(PlanMonthly(MonthlySeries(Day(2026, 3, 2), 1, 0, 1), FirstRun(At(2026, 3, 2, 23, 59))))
          .front(),
      "2026-03-02");
  EXPECT_THAT(
      Dates(PlanMonthly(MonthlySeries(Day(2026, 3, 4), 1, 0, 2), FirstRun(At(2026, 3, 4, 8))))
          .front(),
      "2026-05-04");
  // A far end date: ten, and a later run with ten ahead adds none.
  TRecurrence far = MonthlySeries(Day(2026, 3, 1), 2, 1, 1);
  far.EndDate = Day(2100, 12, 1);
  EXPECT_EQ(PlanMonthly(far, FirstRun(At(2026, 3, 1, 8))).size(), 10u);
  EXPECT_THAT(PlanMonthly(far, LaterRun(At(2026, 3, 1, 8), 10, Day(2026, 12, 8))), IsEmpty());
}

TEST(WeeklyPlan, AMovedStartBeginsOnTheFirstSelectedDayFromToday) {
  // Mondays only, started last Monday (2 March), no conference yet; today is Wednesday 4 March.
  TRecurrence series = WeeklySeries(Day(2026, 3, 2), 1);
  series.WeeklyMonday = true;
  EXPECT_THAT(Dates(PlanWeekly(series, FirstRun(At(2026, 3, 4, 9)))),
              ElementsAre("2026-03-09", "2026-03-16", "2026-03-23", "2026-03-30", "2026-04-06",
                          "2026-04-13", "2026-04-20", "2026-04-27", "2026-05-04", "2026-05-11"));
  // Today selected: it begins today. Every other week: the following weeks keep the rhythm.
  series.WeeklyWednesday = true;
  EXPECT_THAT(Dates(PlanWeekly(series, FirstRun(At(2026, 3, 4, 9)))).front(), "2026-03-04");
  TRecurrence fortnight = WeeklySeries(Day(2026, 2, 2), 2);
  fortnight.WeeklyFriday = true;
  EXPECT_THAT(Dates(PlanWeekly(fortnight, FirstRun(At(2026, 3, 4, 9)))),
              ElementsAre("2026-03-06", "2026-03-20", "2026-04-03", "2026-04-17", "2026-05-01",
                          "2026-05-15", "2026-05-29", "2026-06-12", "2026-06-26", "2026-07-10"));
}

TEST(Plans, NoDateBeforeTheStartOrBeforeToday) {
  // Every kind, starts behind, at and ahead of the run, runs just after midnight and just before.
  for (const TDateTime now : {At(2026, 3, 4, 0, 1), At(2026, 3, 4, 12), At(2026, 3, 4, 23, 59)}) {
    for (const TDateTime start :
         {Day(2025, 11, 30), Day(2026, 3, 3), Day(2026, 3, 4), Day(2026, 3, 5), Day(2026, 4, 30)}) {
      TRecurrence weekly = WeeklySeries(start, 3);
      weekly.WeeklyMonday = weekly.WeeklySaturday = true;
      TRecurrence workdays = DailySeries(start, 1);
      workdays.DailyEveryWorkDay = true;
      const TRecurrence kinds[] = {DailySeries(start, 3), workdays, weekly,
                                   MonthlySeries(start, 1, 0, 1), MonthlySeries(start, 4, 6, 2)};
      const TDateTime first = std::max(start, DateOf(now));
      for (const TRecurrence& series : kinds) {
        const auto plan = series.Daily    ? PlanDaily(series, FirstRun(now))
                          : series.Weekly ? PlanWeekly(series, FirstRun(now))
                                          : PlanMonthly(series, FirstRun(now));
        EXPECT_FALSE(plan.empty()) << FormatISODateTime(now) << " " << FormatISODate(start);
        EXPECT_LE(plan.size(), 10u);
        for (const TPlannedConference& p : plan) {
          EXPECT_GE(p.Date, first) << FormatISODateTime(now) << " " << FormatISODate(start) << " "
                                   << FormatISODate(p.Date);
          EXPECT_EQ(DateOf(p.StartTime), p.Date);
        }
      }
    }
  }
}

}  // namespace
}  // namespace parlevo
