#include "conferences/recurrence_scan.h"

#include <exception>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "conferences/conference_actions.h"
#include "conferences/recurrence_requests.h"
#include "conferences/recurrence_steps.h"
#include "logging/lg_auto.h"
#include "participants/teilnehmer.h"
#include "service/action_statement.h"
#include "webservice/action_request.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

std::mutex& SeriesMutex() {
  static std::mutex mutex;
  return mutex;
}

// Conferences taken by a series deletion and not deleted yet. Taken under the series lock,
// given back without it (after the conference is gone), hence a lock of its own.
struct TTakenConferences {
  std::mutex lock;
  std::set<std::string> ids;
};

TTakenConferences& TakenConferences() {
  static TTakenConferences taken;
  return taken;
}

ColumnText RowReader(TADOQuery& rows) {
  return [&rows](std::string_view column) { return rows.FieldByName(column).AsString(); };
}

struct TEnvelope {
  int code = -1;
  std::string id;
};

// The code and the "id" of a result envelope; code -1 when the text is no envelope.
TEnvelope ReadEnvelope(const std::string& result) {
  TEnvelope envelope;
  try {
    pugi::xml_document doc;
    LoadRequestDocument(doc, result);
    const pugi::xml_node root = doc.document_element();
    const std::string code = NodeText(FindXMLNode(root, "result.code", false));
    envelope.code = code.empty() ? -1 : ColumnTextToInteger("code", code);
    envelope.id = NodeText(FindXMLNode(root, "id", false));
  } catch (const std::exception&) {
    envelope.code = -1;
  }
  return envelope;
}

// Stores one conference of the series through "addKonferenz", as the front end would, with the
// series' PINs; a conference of a one-off series belongs to no series (no recurrence_id).
std::string AddSeriesConference(const TRecurrence& series, const TPlannedConference& planned,
                                std::optional<int32_t> recurrence_id) {
  const TConferenceRequest request{.Name = planned.Name,
                                   .Date = planned.Date,
                                   .EndDate = planned.EndDate,
                                   .StartTime = planned.StartTime,
                                   .EndTime = planned.EndTime,
                                   .Room = planned.Room,
                                   .PinHost = series.PinHost,
                                   .PinMember = series.PinMember,
                                   .PinListenOnly = series.PinListenOnly,
                                   .RecurrenceId = recurrence_id};
  const std::string text = ConferenceRequestText(request, LocalUtcOffsetMinutes(Now()));
  MainSession().LogText(TLgLevel::Debug, "Conference request", text);
  return RunActionRequest(&AddKonferenz, text);
}

void CreateConferences(const TRecurrence& series, const std::vector<TPlannedConference>& plan) {
  for (const TPlannedConference& planned : plan) {
    const std::string result = AddSeriesConference(series, planned, series.Id);
    if (ReadEnvelope(result).code != 0) {
      MainSession().LogError("Conference of series " + std::to_string(series.Id) + " on " +
                             DateToStr(planned.Date) + " not stored: " + result);
    } else {
      MainSession().LogString(TLgLevel::Debug, "AddKonferenz", result);
    }
  }
}

TSeriesRun RunOf(const TRecurrence& series, TDateTime now) {
  TSeriesRun run;
  run.now = now;
  run.count = CheckRecurrence(series, now);
  run.newest = [id = series.Id] { return GetNewestConference(id); };
  run.existing_days = RecurrenceConferenceDays(series.Id);
  return run;
}

}  // namespace

TSeriesLock LockSeries() {
  return TSeriesLock(SeriesMutex());
}

void HandleRecurrences(const std::string& take_over) {
  HandleRecurrencesAt(take_over, Now());
}

void HandleRecurrencesAt(const std::string& take_over, TDateTime now) {
  const TSeriesLock held = LockSeries();
  HandleRecurrencesLocked(held, take_over, now);
}

void HandleRecurrencesLocked(const TSeriesLock& held, const std::string& take_over, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::HandleRecurrences");
  TActionStatement query(UseConnectionString());
  if (const TStatementStatus selected = query.Run("Select * FROM conferenceRecurrences", true);
      !selected) {
    MainSession().LogError(selected.message());
    return;
  }
  // The rows were read whole when the select opened, so the creators may change the table.
  for (TADOQuery& rows = query.Rows(); !rows.Eof(); rows.Next()) {
    try {
      const TRecurrence series = LoadRecurrence(RowReader(rows));
      switch (series.Kind()) {
        case TRecurrenceKind::None:
          AddRecurrence_None(held, series, take_over, now);
          break;
        case TRecurrenceKind::Daily:
          AddRecurrence_Daily(held, series, now);
          break;
        case TRecurrenceKind::Weekly:
          AddRecurrence_Weekly(held, series, now);
          break;
        case TRecurrenceKind::Monthly:
          AddRecurrence_Monthly(held, series, now);
          break;
        case TRecurrenceKind::Unused:
          break;
      }
    } catch (const std::exception& e) {
      MainSession().LogException(e, "HandleRecurrences");
    } catch (...) {
      MainSession().LogException("HandleRecurrences");
    }
  }
}

int CheckRecurrence(const TRecurrence& series, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::CheckRecurrence");
  const CivilDateTime today = DecodeDateTime(now);
  const std::string sql =
      "Select * FROM conferences WHERE RecurrenceId = " + std::to_string(series.Id) +
      " AND starttime>=#" + std::to_string(today.year) + "-" + std::to_string(today.month) + "-" +
      std::to_string(today.day) + "#";
  TActionStatement query(UseConnectionString(), [](std::string_view statement) {
    MainSession().LogSql(TLgLevel::Debug, "CheckRecurrence", statement);
  });
  if (const TStatementStatus selected = query.Run(sql, true); !selected) {
    MainSession().LogError(selected.message());
    return 0;
  }
  const int count = static_cast<int>(query.Rows().RecordCount());
  MainSession().LogInteger("count", count);
  return count;
}

std::optional<TConference> GetNewestConference(int32_t recurrence_id) {
  TLgMethodScope scope(MainSession(), "Recurrence::GetNewestConference");
  TActionStatement query(UseConnectionString());
  if (const TStatementStatus selected = query.Run(
          "Select * FROM conferences WHERE RecurrenceId = " + std::to_string(recurrence_id), true);
      !selected) {
    MainSession().LogError(selected.message());
    return std::nullopt;
  }
  TADOQuery& rows = query.Rows();
  if (rows.RecordCount() == 0) {
    MainSession().LogMessage("No conferences found");
    return std::nullopt;
  }
  std::optional<TConference> newest;
  try {
    for (; !rows.Eof(); rows.Next()) {
      const int32_t id = ColumnTextToInteger("ID", rows.FieldByName("ID").AsString());
      if (newest && id <= newest->Id) {
        MainSession().LogDebug("Not higher");
        continue;
      }
      newest = LoadConference(RowReader(rows));
    }
  } catch (const std::exception& e) {
    MainSession().LogException(e, "GetNewestConference");
  }
  return newest;
}

std::set<int64_t> RecurrenceConferenceDays(int32_t recurrence_id) {
  std::set<int64_t> days;
  TActionStatement query(UseConnectionString());
  if (const TStatementStatus selected = query.Run(
          "SELECT [date] FROM conferences WHERE RecurrenceId = " + std::to_string(recurrence_id),
          true);
      !selected) {
    MainSession().LogError(selected.message());
    return days;
  }
  for (TADOQuery& rows = query.Rows(); !rows.Eof(); rows.Next()) {
    try {
      days.insert(static_cast<int64_t>(ColumnTextToDate("date", rows.Fields(0).AsString())));
    } catch (const std::exception& e) {
      MainSession().LogException(e, "RecurrenceConferenceDays");
    }
  }
  return days;
}

void AddRecurrence_None(const TSeriesLock& held, const TRecurrence& series,
                        const std::string& take_over, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::AddRecurrence_None");
  if (CheckRecurrence(series, now) >= 1) {
    MainSession().LogMessage("Conference already exists");
    return;
  }
  MainSession().LogMessage("Conference does not exist");
  const TPlannedConference one_off{.Date = series.StartDate,
                                   .StartTime = series.StartTime,
                                   .EndTime = series.EndTime,
                                   .EndDate = std::nullopt,
                                   .Room = series.Room,
                                   .Name = series.Name};
  const std::string result = AddSeriesConference(series, one_off, std::nullopt);
  MainSession().LogString(TLgLevel::Debug, "AddKonferenz", result);
  const TEnvelope envelope = ReadEnvelope(result);
  if (envelope.code != 0 || envelope.id.empty()) {
    // The element stays, so that the next scan tries again.
    MainSession().LogError("Conference of one-off series " + std::to_string(series.Id) +
                           " not stored, kept for the next scan: " + result);
    return;
  }
  // The conference of a one-off element belongs to no series: the element has none to delete,
  // and nothing is mailed under the lock.
  DeleteRecurrence(held, series.Id).Run();
  if (take_over.empty()) return;
  MainSession().LogMessage("TakeOver members");
  const std::string invite =
      InviteRequestText(envelope.id, series.Room, series.StartTime, series.EndTime,
                        SplitString(take_over, ';', false, false));
  MainSession().LogText(TLgLevel::Debug, "Invite request", invite);
  MainSession().LogString(TLgLevel::Debug, "InviteKonfTeilnehmer",
                          RunActionRequest(&InviteKonfTeilnehmer, invite));
}

void AddRecurrence_Daily(const TSeriesLock& held, const TRecurrence& series, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::AddRecurrence_Daily");
  CreateConferences(series, PlanDaily(series, RunOf(series, now)));
}

void AddRecurrence_Weekly(const TSeriesLock& held, const TRecurrence& series, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::AddRecurrence_Weekly");
  CreateConferences(series, PlanWeekly(series, RunOf(series, now)));
}

void AddRecurrence_Monthly(const TSeriesLock& held, const TRecurrence& series, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::AddRecurrence_Monthly");
  CreateConferences(series, PlanMonthly(series, RunOf(series, now)));
}

TSeriesConferenceDeletions::~TSeriesConferenceDeletions() {
  try {
    Run();
  } catch (const std::exception& e) {
    MainSession().LogException(e, "Recurrence::DeleteRecurrence");
  }
}

TSeriesConferenceDeletions::TSeriesConferenceDeletions(TSeriesConferenceDeletions&& other) noexcept
    : ids_(std::exchange(other.ids_, {})) {}

TSeriesConferenceDeletions& TSeriesConferenceDeletions::operator=(
    TSeriesConferenceDeletions&& other) {
  if (this != &other) {
    Run();
    ids_ = std::exchange(other.ids_, {});
  }
  return *this;
}

void TSeriesConferenceDeletions::Run() {
  if (ids_.empty()) return;
  MainSession().LogMessage("3. Delete all conferences");
  TTakenConferences& taken = TakenConferences();
  while (!ids_.empty()) {
    const std::string conference_id = ids_.front();
    ids_.erase(ids_.begin());
    try {
      MainSession().LogMessage("Delete conference id " + conference_id);
      MainSession().LogString(
          TLgLevel::Debug, "DeleteKonferenz",
          RunActionRequest(&DeleteKonferenz, DeleteConferenceRequestText(conference_id)));
    } catch (...) {
      std::lock_guard lock(taken.lock);
      taken.ids.erase(conference_id);
      throw;
    }
    std::lock_guard lock(taken.lock);
    taken.ids.erase(conference_id);
  }
}

TSeriesConferenceDeletions DeleteRecurrence(const TSeriesLock& held, int32_t recurrence_id) {
  TLgMethodScope scope(MainSession(), "Recurrence::DeleteRecurrence");
  TSeriesConferenceDeletions deletions;
  // Single conferences carry -1: an identifier below 1 must never select them.
  if (recurrence_id < 1) {
    MainSession().LogError("No series has the identifier " + std::to_string(recurrence_id));
    return deletions;
  }
  const std::string id = std::to_string(recurrence_id);
  MainSession().LogMessage("1. Get all conference ids");
  std::vector<std::string> ids;
  {
    TActionStatement query(UseConnectionString());
    if (const TStatementStatus selected =
            query.Run("SELECT * FROM conferences WHERE RecurrenceId = " + id, true);
        !selected) {
      MainSession().LogError(selected.message());
      return deletions;
    }
    for (TADOQuery& rows = query.Rows(); !rows.Eof(); rows.Next()) {
      ids.push_back(rows.FieldByName("ID").AsString());
    }
  }
  MainSession().LogMessage("2. Delete recurrence information");
  {
    TActionStatement query(UseConnectionString());
    if (const TStatementStatus deleted =
            query.Run("DELETE * FROM conferenceRecurrences WHERE RecurrenceId = " + id, false);
        !deleted) {
      MainSession().LogString(TLgLevel::Debug, "Delete recurrence", deleted.message());
    }
  }
  TTakenConferences& taken = TakenConferences();
  std::lock_guard lock(taken.lock);
  for (std::string& conference_id : ids) {
    if (taken.ids.insert(conference_id).second) {
      deletions.ids_.push_back(std::move(conference_id));
    } else {
      MainSession().LogMessage("Conference id " + conference_id + " is being deleted already");
    }
  }
  return deletions;
}

}  // namespace parlevo
