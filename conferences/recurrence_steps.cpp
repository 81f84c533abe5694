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

void ReportExisting(int64_t pass, int64_t missing, TDateTime date) {
  MainSession().LogMessage("Conference " + PassText(pass, missing) + " on " + DateToStr(date) +
                           " exists already");
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
  if (EndStateOf(series, run.now) == EndState::Until) {
    missing =
        CeilDiv(UnixSecondsOf(series.EndDate) - UnixSecondsOf(series.StartDate), kSecondsPerDay);
  } else {
    series.EndDate = NoEndDate();
  }
  missing = Bounded(missing);
  const int64_t end_limit = UnixSecondsOf(series.EndDate) + kSecondsPerDay;

  const bool workdays = series.DailyEveryWorkDay;
  const int64_t interval = workdays ? 1 : AtLeastOne(series.DailyInterval, "Interval", series);
  int64_t d = workdays ? (run.count == 0 ? -1 : 0) : (run.count == 0 ? -interval : 0);
  for (int64_t pass = 1; pass <= missing; ++pass) {
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
    if (Exists(run, date)) {
      ReportExisting(pass, missing, date);
      continue;
    }
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
  if (newest->StartDate + 1 < run.now) MoveByDays(*newest, run.now);
  if (EndStateOf(series, run.now) == EndState::Until) {
    missing =
        CeilDiv(UnixSecondsOf(series.EndDate) - UnixSecondsOf(series.StartDate), kSecondsPerDay);
  } else {
    series.EndDate = NoEndDate();
  }
  missing = Bounded(missing);
  const int64_t end_limit = UnixSecondsOf(series.EndDate) + 2 * kSecondsPerDay;

  const int64_t skip =
      7 * (static_cast<int64_t>(AtLeastOne(series.WeeklyInterval, "Interval", series)) - 1);
  const auto day = [&](int64_t offset) { return newest->StartDate + static_cast<double>(offset); };
  const auto sunday = [&](int64_t offset) { return DayOfWeek(day(offset)) == 1; };
  int64_t d = 0;
  for (int64_t pass = 1; pass <= missing; ++pass) {
    MainSession().LogMessage("Create conference " + PassText(pass, missing));
    if (!(pass == 1 && run.count == 0)) {
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
    } else if (Exists(run, date)) {
      ReportExisting(pass, missing, date);
    } else {
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
    const CivilDateTime s = DecodeDateTime(series.StartDate);
    const TDateTime first_of_start = EncodeDate(s.year, s.month, 1);
    missing = CeilDiv(UnixSecondsOf(series.EndDate) - UnixSecondsOf(first_of_start),
                      static_cast<int64_t>(interval) * kSecondsPer30Days);
  } else {
    series.EndDate = NoEndDate();
  }
  missing = Bounded(missing);
  if (run.count >= missing) {
    MainSession().LogMessage("Conferences already exists");
    return plan;
  }
  const int64_t end_limit = UnixSecondsOf(series.EndDate);

  // Only the time of day of the walking start and end is used from here on.
  const TDateTime start_time_of_day = TimeOf(newest->StartTime);
  const TDateTime end_time_of_day = TimeOf(newest->EndTime);
  TDateTime month = newest->StartDate;
  if (run.count > 0) month = IncMonth(month, interval);
  for (int64_t pass = 1; pass <= missing; ++pass) {
    MainSession().LogMessage("Create conference " + PassText(pass, missing));
    const CivilDateTime m = DecodeDateTime(month);
    const TDateTime first = EncodeDate(m.year, m.month, 1);
    const int k = (series.MonthlyWeekDay - MondayBasedWeekDay(first) + 7) % 7;
    const int64_t offset = k + 7 * (static_cast<int64_t>(series.MonthlyEveryX) - 1);
    const bool inside_month =
        series.MonthlyEveryX >= 1 &&
        offset < MonthDays(static_cast<uint16_t>(m.year), static_cast<uint16_t>(m.month));
    const TDateTime date = first + static_cast<double>(offset);
    if (!inside_month || UnixSecondsOf(date) > end_limit) {
      MainSession().LogMessage("Could not create conference " + PassText(pass, missing) +
                               " Start-Date past End-Date");
      // A month that lacks the day is skipped; past the end every later month is too.
      if (!inside_month) month = IncMonth(first, interval);
      continue;
    }
    if (Exists(run, date)) {
      ReportExisting(pass, missing, date);
    } else {
      plan.push_back({date, date + start_time_of_day, date + end_time_of_day, newest->EndDate,
                      newest->Room, newest->Name});
    }
    month = IncMonth(date, interval);
  }
  return plan;
}

}  // namespace parlevo
