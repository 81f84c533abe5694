#include "conferences/recurrence_steps.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "conferences/recurrence_dates.h"
#include "logging/lg_auto.h"

namespace parlevo {
namespace {

using logging::MainSession;

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPer30Days = 2592000;

enum class EndState { NoEnd, Until, Over };

std::string PassText(int64_t pass, int64_t missing) {
  return std::to_string(pass) + "/" + std::to_string(missing);
}

// An end date after the start date ends the series; one on or before the start date means none.
// The end day itself still belongs to the series.
EndState EndStateOf(const TRecurrence& series, TDateTime now) {
  if (DateOf(series.EndDate) <= DateOf(series.StartDate)) return EndState::NoEnd;
  if (now >= DateOf(series.EndDate) + 1) return EndState::Over;
  return EndState::Until;
}

bool ReportOver(const TRecurrence& series, TDateTime now) {
  if (EndStateOf(series, now) != EndState::Over) return false;
  MainSession().LogMessage("Series " + std::to_string(series.Id) + " ended on " +
                           DateToStr(series.EndDate) + ", nothing to create");
  return true;
}

int32_t AtLeastOne(int32_t interval, const char* name, const TRecurrence& series) {
  if (interval >= 1) return interval;
  MainSession().LogWarning(std::string(name) + " " + std::to_string(interval) + " of series " +
                           std::to_string(series.Id) + " counts as 1");
  return 1;
}

int64_t Bounded(int64_t missing) {
  return std::clamp<int64_t>(missing, 0, kMaxPassesPerRun);
}

int64_t CeilDiv(int64_t numerator, int64_t denominator) {
  if (numerator <= 0) return 0;
  return (numerator + denominator - 1) / denominator;
}

TConference FromSeries(const TRecurrence& series, bool with_end_date) {
  TConference c;
  c.Id = 0;
  c.RecurrenceId = 0;
  c.PinHost = c.PinMember = c.PinListenOnly = 0;
  c.Room = series.Room;
  c.Name = series.Name;
  c.StartDate = series.StartDate;
  c.StartTime = series.StartTime;
  c.EndTime = series.EndTime;
  if (with_end_date) c.EndDate = series.EndDate;
  return c;
}

std::optional<TConference> Newest(const TRecurrence& series, const TSeriesRun& run,
                                  bool with_end_date) {
  if (run.count == 0) return FromSeries(series, with_end_date);
  std::optional<TConference> newest = run.newest ? run.newest() : std::nullopt;
  if (!newest) {
    MainSession().LogError("No conference of series " + std::to_string(series.Id) +
                           " found to continue from");
  }
  return newest;
}

// The first day a run may plan: the series' start day, or today when that has passed.
TDateTime FirstPlannableDay(const TRecurrence& series, TDateTime now) {
  return std::max(DateOf(series.StartDate), DateOf(now));
}

// The passes a run needs to reach the end date: the days (or, for monthly series, the spans of
// `unit` seconds from the first of its month) from the series' start on. A start long past gives
// passes before today, which create nothing: the horizon bounds what a run adds.
int64_t PassesUntilEnd(const TRecurrence& series, int64_t unit, bool from_month) {
  TDateTime from = DateOf(series.StartDate);
  if (from_month) {
    const CivilDateTime f = DecodeDateTime(from);
    from = EncodeDate(f.year, f.month, 1);
  }
  return CeilDiv(UnixSecondsOf(series.EndDate) - UnixSecondsOf(from), unit);
}

// Whether a run has added as many conferences as the horizon allows it.
bool HorizonReached(size_t planned, int64_t allowed) {
  if (static_cast<int64_t>(planned) < allowed) return false;
  MainSession().LogMessage("Horizon of " + std::to_string(allowed) +
                           " conferences reached, the next scan goes on");
  return true;
}

void MoveByDays(TConference& c, TDateTime now) {
  MainSession().LogError("Date is in past, set current date");
  const double days = std::trunc(std::fabs(now - c.StartDate));
  c.StartDate += days;
  c.StartTime += days;
  c.EndTime += days;
}

bool Exists(const TSeriesRun& run, TDateTime date) {
  return run.existing_days.count(static_cast<int64_t>(DateOf(date))) > 0;
}

// Whether a date found by the walk is to be created: never one before the series' start or
// before today, nor one on which the series has a conference already.
bool Plannable(const TSeriesRun& run, int64_t pass, int64_t missing, TDateTime date,
               TDateTime first_day) {
  std::string reason;
  if (DateOf(date) < first_day) {
    reason = " lies before " + DateToStr(first_day) + ", not created";
  } else if (Exists(run, date)) {
    reason = " exists already";
  } else {
    return true;
  }
  MainSession().LogMessage("Conference " + PassText(pass, missing) + " on " + DateToStr(date) +
                           reason);
  return false;
}

}  // namespace

TDateTime NoEndDate() {
  return EncodeDate(2100, 12, 31);
}

std::vector<TPlannedConference> PlanDaily(TRecurrence series, const TSeriesRun& run) {
  std::vector<TPlannedConference> plan;
  if (run.count >= kRecurrenceHorizon) {
    MainSession().LogMessage("Conferences already exists");
    return plan;
  }
  int64_t missing = kRecurrenceHorizon - run.count;
  MainSession().LogMessage("Conferences does not exist, create " + std::to_string(missing) +
                           " more conferences");
  if (ReportOver(series, run.now)) return plan;
  std::optional<TConference> newest = Newest(series, run, false);
  if (!newest) return plan;
  if (run.now - 1.0 / 24 > newest->StartDate) MoveByDays(*newest, run.now);
  // However far the end date, a run adds no more than it takes to keep ten ahead.
  const int64_t allowed = kRecurrenceHorizon - run.count;
  if (EndStateOf(series, run.now) == EndState::Until) {
    missing = PassesUntilEnd(series, kSecondsPerDay, false);
  } else {
    series.EndDate = NoEndDate();
  }
  missing = Bounded(missing);
  const int64_t end_limit = UnixSecondsOf(series.EndDate) + kSecondsPerDay;
  const TDateTime first_day = FirstPlannableDay(series, run.now);

  const bool workdays = series.DailyEveryWorkDay;
  const int64_t interval = workdays ? 1 : AtLeastOne(series.DailyInterval, "Interval", series);
  int64_t d = workdays ? (run.count == 0 ? -1 : 0) : (run.count == 0 ? -interval : 0);
  for (int64_t pass = 1; pass <= missing && !HorizonReached(plan.size(), allowed); ++pass) {
    MainSession().LogMessage("Create conference " + PassText(pass, missing));
    if (workdays) {
      do {
        ++d;
      } while (!IsWorkDay(newest->StartDate + static_cast<double>(d)));
    } else {
      d += interval;
    }
    const TDateTime date = newest->StartDate + static_cast<double>(d);
    if (UnixSecondsOf(date) > end_limit) {
      MainSession().LogMessage("Could not create conference " + PassText(pass, missing) +
                               " - Start-Date past End-Date");
      break;
    }
    if (!Plannable(run, pass, missing, date, first_day)) continue;
    plan.push_back({date, newest->StartTime + static_cast<double>(d),
                    newest->EndTime + static_cast<double>(d), std::nullopt, newest->Room,
                    newest->Name});
  }
  return plan;
}

std::vector<TPlannedConference> PlanWeekly(TRecurrence series, const TSeriesRun& run) {
  std::vector<TPlannedConference> plan;
  if (run.count >= kRecurrenceHorizon) {
    MainSession().LogMessage("Conferences already exists");
    return plan;
  }
  int64_t missing = kRecurrenceHorizon;
  MainSession().LogMessage("Conferences does not exist, create " + std::to_string(missing) +
                           " more conferences");
  if (ReportOver(series, run.now)) return plan;
  if (!series.AnyWeekdayFlag()) {
    MainSession().LogWarning("Weekly series " + std::to_string(series.Id) +
                             " has no weekday selected, nothing to create");
    return plan;
  }
  std::optional<TConference> newest = Newest(series, run, false);
  if (!newest) return plan;
  const bool moved = newest->StartDate + 1 < run.now;
  if (moved) MoveByDays(*newest, run.now);
  const int64_t allowed = kRecurrenceHorizon;
  if (EndStateOf(series, run.now) == EndState::Until) {
    missing = PassesUntilEnd(series, kSecondsPerDay, false);
  } else {
    series.EndDate = NoEndDate();
  }
  missing = Bounded(missing);
  const int64_t end_limit = UnixSecondsOf(series.EndDate) + 2 * kSecondsPerDay;
  const TDateTime first_day = FirstPlannableDay(series, run.now);

  const int64_t skip =
      7 * (static_cast<int64_t>(AtLeastOne(series.WeeklyInterval, "Interval", series)) - 1);
  const auto day = [&](int64_t offset) { return newest->StartDate + static_cast<double>(offset); };
  const auto sunday = [&](int64_t offset) { return DayOfWeek(day(offset)) == 1; };
  int64_t d = 0;
  for (int64_t pass = 1; pass <= missing && !HorizonReached(plan.size(), allowed); ++pass) {
    MainSession().LogMessage("Create conference " + PassText(pass, missing));
    if (pass == 1 && run.count == 0) {
      // A start the caller chose is used as it is; one moved to today by the past correction is
      // no chosen day, so the series begins on its first selected weekday from today on.
      if (moved) {
        while (!series.WeeklyFlag(DayOfWeek(day(d)))) ++d;
      }
    } else {
      // Ends within two weeks of steps since at least one weekday is selected.
      for (;;) {
        ++d;
        if (series.WeeklyFlag(DayOfWeek(day(d)))) break;
        if (sunday(d)) d += skip;
      }
    }
    const TDateTime date = day(d);
    if (UnixSecondsOf(date) >= end_limit) {
      MainSession().LogMessage("Could not create conference " + PassText(pass, missing) +
                               " - Start-Date past End-Date");
    } else if (Plannable(run, pass, missing, date, first_day)) {
      plan.push_back({date, newest->StartTime + static_cast<double>(d),
                      newest->EndTime + static_cast<double>(d), std::nullopt, newest->Room,
                      newest->Name});
    }
    if (sunday(d)) d += skip;
  }
  return plan;
}

std::vector<TPlannedConference> PlanMonthly(TRecurrence series, const TSeriesRun& run) {
  std::vector<TPlannedConference> plan;
  if (ReportOver(series, run.now)) return plan;
  if (series.MonthlyWeekDay < 0 || series.MonthlyWeekDay > 6) {
    MainSession().LogWarning("Monthly series " + std::to_string(series.Id) + " has weekday " +
                             std::to_string(series.MonthlyWeekDay) +
                             " outside 0..6, nothing to create");
    return plan;
  }
  std::optional<TConference> newest = Newest(series, run, true);
  if (!newest) return plan;
  const int32_t interval = AtLeastOne(series.MonthlyInterval, "MonthlyInterval", series);
  if (newest->StartDate + 1 < run.now) MoveByDays(*newest, run.now);

  int64_t missing = kRecurrenceHorizon;
  if (EndStateOf(series, run.now) == EndState::Until) {
    missing = PassesUntilEnd(series, static_cast<int64_t>(interval) * kSecondsPer30Days, true);
  } else {
    series.EndDate = NoEndDate();
  }
  missing = Bounded(missing);
  if (run.count >= missing) {
    MainSession().LogMessage("Conferences already exists");
    return plan;
  }
  const int64_t end_limit = UnixSecondsOf(series.EndDate);
  const int64_t allowed = kRecurrenceHorizon - run.count;
  const TDateTime first_day = FirstPlannableDay(series, run.now);

  // Only the time of day of the walking start and end is used from here on.
  const TDateTime start_time_of_day = TimeOf(newest->StartTime);
  const TDateTime end_time_of_day = TimeOf(newest->EndTime);
  TDateTime month = newest->StartDate;
  if (run.count > 0) month = IncMonth(month, interval);
  for (int64_t pass = 1; pass <= missing && !HorizonReached(plan.size(), allowed); ++pass) {
    MainSession().LogMessage("Create conference " + PassText(pass, missing));
    TDateTime first = 0;
    int64_t offset = 0;
    bool inside_month = false;
    // The day of a month can lie before the start or before today (the first Monday of a month
    // that began on a Wednesday): the series then begins in its next month.
    for (int tries = 0; tries < 3; ++tries) {
      const CivilDateTime m = DecodeDateTime(month);
      first = EncodeDate(m.year, m.month, 1);
      const int k = (series.MonthlyWeekDay - MondayBasedWeekDay(first) + 7) % 7;
      offset = k + 7 * (static_cast<int64_t>(series.MonthlyEveryX) - 1);
      inside_month =
          series.MonthlyEveryX >= 1 &&
          offset < MonthDays(static_cast<uint16_t>(m.year), static_cast<uint16_t>(m.month));
      if (!inside_month || first + static_cast<double>(offset) >= first_day) break;
      MainSession().LogMessage("Conference " + PassText(pass, missing) + " on " +
                               DateToStr(first + static_cast<double>(offset)) + " lies before " +
                               DateToStr(first_day) + ", next month");
      month = IncMonth(first, interval);
    }
    const TDateTime date = first + static_cast<double>(offset);
    if (!inside_month || UnixSecondsOf(date) > end_limit) {
      MainSession().LogMessage("Could not create conference " + PassText(pass, missing) +
                               " Start-Date past End-Date");
      // A month that lacks the day is skipped; past the end every later month is too.
      if (!inside_month) month = IncMonth(first, interval);
      continue;
    }
    if (Plannable(run, pass, missing, date, first_day)) {
      plan.push_back({date, date + start_time_of_day, date + end_time_of_day, newest->EndDate,
                      newest->Room, newest->Name});
    }
    month = IncMonth(date, interval);
  }
  return plan;
}

}  // namespace parlevo
