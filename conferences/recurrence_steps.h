// The stepping rules of the repeating series: from a series, the number of its conferences from
// today on and its newest conference, which dates one run of the daily, weekly or monthly creator
// adds. Pure apart from logging, so that the rules can be checked against a given "now".
//
// A series keeps a horizon of ten future conferences, or runs up to its end date. An end date
// not after the start date means the series has no end; a series whose end date has passed
// creates nothing. A date for which the series already has a conference is not planned again,
// nor one before the series' start or before today. However far its end date, one run adds no
// more than the horizon: the scans of the days to come carry the series on.
//
// Thread safety: the functions may be called from any thread; the run's newest-conference
// callable is called at most once, on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "conferences/recurrence.h"
#include "platform/datetime.h"

namespace parlevo {

// Future conferences a series without end keeps.
inline constexpr int kRecurrenceHorizon = 10;
// Passes of one run at most; a longer series is continued by the next scan.
inline constexpr int64_t kMaxPassesPerRun = 1000;

// One conference a run adds.
struct TPlannedConference {
  TDateTime Date = 0;       // the day
  TDateTime StartTime = 0;  // full date and time
  TDateTime EndTime = 0;
  std::optional<TDateTime> EndDate;  // sent by the monthly creator only
  std::string Room;                  // of the conference the walk started from
  std::string Name;
};

// What a run knows besides the series.
struct TSeriesRun {
  int count = 0;      // conferences of the series from today on
  TDateTime now = 0;  // local date and time of the run
  // The series' conference with the highest ID; asked only when count > 0.
  std::function<std::optional<TConference>()> newest;
  // Day numbers on which the series has a conference already.
  std::set<int64_t> existing_days;
};

std::vector<TPlannedConference> PlanDaily(TRecurrence series, const TSeriesRun& run);
std::vector<TPlannedConference> PlanWeekly(TRecurrence series, const TSeriesRun& run);
std::vector<TPlannedConference> PlanMonthly(TRecurrence series, const TSeriesRun& run);

// The end date that stands for "no end".
TDateTime NoEndDate();

}  // namespace parlevo
