// The series engine: the scan over every series (HandleRecurrences), the creators that turn one
// series into conferences through the conference action AddKonferenz, and the deletion of a
// series with its conferences through DeleteKonferenz.
//
// One process-wide series lock serialises every scan and every change of a series by the series
// actions, so that two runs never add the same dates. The routines that take the lock as an
// argument expect the caller to hold it; the others take it themselves. No mail is sent under
// the lock: the conferences of a deleted series, whose members get cancellations, are deleted
// after it is released (TSeriesConferenceDeletions).
//
// Thread safety: every routine may be called from any thread; the lock orders them.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "conferences/recurrence.h"
#include "platform/datetime.h"

namespace parlevo {

using TSeriesLock = std::unique_lock<std::mutex>;

// Takes the process-wide series lock (waits while another thread holds it).
TSeriesLock LockSeries();

// Reads every series and hands each to the creator of its kind. take_over lists, separated by
// ";", the conferences whose members a one-off element takes over. Errors of a single series are
// logged and the scan goes on with the next one.
void HandleRecurrences(const std::string& take_over);
void HandleRecurrencesAt(const std::string& take_over, TDateTime now);
void HandleRecurrencesLocked(const TSeriesLock& held, const std::string& take_over, TDateTime now);

// Conferences of the series from the day of `now` on (also those earlier that day); 0 when the
// query fails.
int CheckRecurrence(const TRecurrence& series, TDateTime now);

// The conference of the series with the highest ID, or none.
std::optional<TConference> GetNewestConference(int32_t recurrence_id);

// Day numbers of the days on which the series has a conference.
std::set<int64_t> RecurrenceConferenceDays(int32_t recurrence_id);

// The creators. AddRecurrence_None stores the conference of a one-off element and removes the
// element once the conference exists, taking over the members of the take_over conferences.
void AddRecurrence_None(const TSeriesLock& held, const TRecurrence& series,
                        const std::string& take_over, TDateTime now);
void AddRecurrence_Daily(const TSeriesLock& held, const TRecurrence& series, TDateTime now);
void AddRecurrence_Weekly(const TSeriesLock& held, const TRecurrence& series, TDateTime now);
void AddRecurrence_Monthly(const TSeriesLock& held, const TRecurrence& series, TDateTime now);

// The conferences of deleted series, taken under the series lock and deleted after it, each
// through DeleteKonferenz so that its members get their cancellations: a mail server that keeps
// one deletion waiting holds neither the other series requests nor the scan. A conference stays
// taken until it is deleted, so that a second deletion of the same series leaves it alone (it
// would cancel the same memberships again). What Run has not deleted, the destructor deletes.
class TSeriesConferenceDeletions {
 public:
  TSeriesConferenceDeletions() = default;
  ~TSeriesConferenceDeletions();
  TSeriesConferenceDeletions(TSeriesConferenceDeletions&& other) noexcept;
  TSeriesConferenceDeletions& operator=(TSeriesConferenceDeletions&& other);
  TSeriesConferenceDeletions(const TSeriesConferenceDeletions&) = delete;
  TSeriesConferenceDeletions& operator=(const TSeriesConferenceDeletions&) = delete;

  // Deletes the taken conferences in the order they were taken. Call it without the lock.
  void Run();
  // The conferences taken and not deleted yet, by ID.
  const std::vector<std::string>& ids() const { return ids_; }

 private:
  friend TSeriesConferenceDeletions DeleteRecurrence(const TSeriesLock&, int32_t);
  std::vector<std::string> ids_;
};

// Removes the series row and takes every conference of the series that no other deletion has
// taken, for deletion once the lock is released. A failing first query leaves everything in
// place (and takes nothing).
[[nodiscard]] TSeriesConferenceDeletions DeleteRecurrence(const TSeriesLock& held,
                                                          int32_t recurrence_id);

}  // namespace parlevo
