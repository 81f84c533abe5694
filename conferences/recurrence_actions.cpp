#include "conferences/recurrence_actions.h"

#include <exception>
#include <string_view>

#include "conferences/conference_actions.h"
#include "conferences/recurrence.h"
#include "conferences/recurrence_scan.h"
#include "logging/lg_auto.h"
#include "service/action_statement.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

std::string Field(pugi::xml_document& request, std::string_view path) {
  return NodeText(FindXMLNode(request.document_element(), path, true));
}

void Put(pugi::xml_node root, std::string_view name, const std::string& text) {
  FindXMLNode(root, name, true).text().set(text.c_str());
}

// A series' identifier from a request; throws with a clear message when it is no number.
int32_t RequestedId(std::string_view element, const std::string& text) {
  return ColumnTextToInteger(element, text);
}

// The insert of a series, or the message of the first request value that cannot go into it.
// Throws when "monthlyinterval" is no integer.
TStatementValue<std::string> SeriesInsertStatement(pugi::xml_document& request) {
  const auto flag = [&](std::string_view name) {
    return SqlText(Field(request, "recurrence." + std::string(name)) == "1" ? "1" : "0");
  };
  // Number columns stored as sent: empty, or a whole number.
  std::string refused;
  const auto number = [&](std::string_view path) -> std::string {
    const std::string text = Field(request, path);
    if (text.empty()) return "NULL";
    const auto value = SqlInt(text);
    if (!value) {
      if (refused.empty()) refused = SqlIntError(path, text);
      return {};
    }
    return SqlText(*value);
  };
  const int32_t monthly_interval =
      ColumnTextToInteger("monthlyinterval", Field(request, "recurrence.monthlyinterval"));

  std::string sql =
      "INSERT INTO conferenceRecurrences (room, name, startdate, enddate, starttime, endtime, "
      "IsRecurrenceElement, Daily, DailyInterval, DailyEveryWorkday, Weekly, WeeklyInterval, "
      "WeeklyMonday, WeeklyTuesday, WeeklyWednesday, WeeklyThursday, WeeklyFriday, "
      "WeeklySaturday, WeeklySunday,Monthly, MonthlyInterval, MonthlyEveryX, "
      "MonthlyWeekDay,PinHost, PinMember, PinListenOnly)VALUES (" +
      SqlText(Field(request, "Durchwahl")) + ", " + SqlText(Base64Decode(Field(request, "Name"))) +
      ", " + SqlText(Field(request, "Datum")) + ", " + SqlText(Field(request, "EndDatum")) + ", " +
      SqlText(Field(request, "Startzeit")) + ", " + SqlText(Field(request, "Endzeit")) + ", " +
      flag("isrecurrenceelement") + ", " + flag("daily") + ", " +
      number("recurrence.dailyinterval") + ", " + flag("dailyeveryworkday") + ", " +
      flag("weekly") + ", " + number("recurrence.weeklyinterval") + ", " + flag("weeklymonday") +
      ", " + flag("weeklytuesday") + ", " + flag("weeklywednesday") + ", " +
      flag("weeklythursday") + ", " + flag("weeklyfriday") + ", " + flag("weeklysaturday") + ", " +
      flag("weeklysunday") + ", " + flag("monthly") + ", " +
      SqlText(std::to_string(monthly_interval)) + ", " + number("recurrence.monthlyEveryX") + ", " +
      number("recurrence.monthlyWeekDay") + ", " + number("PinHost") + ", " + number("PinMember") +
      ", " + number("PinListenOnly") + ")";
  if (!refused.empty()) return TStatementStatus::Failed(std::move(refused));
  return sql;
}

// The dates of a series request must name days, in any form addKonferenz takes or as
// getRecurrence answered them (a front end reads a series and sends it back changed); the front
// end sends the start date as end date for a series without end. Empty when they do.
std::string SeriesDateError(pugi::xml_document& request, TDateTime now) {
  for (const char* name : {"Datum", "EndDatum", "Startzeit", "Endzeit"}) {
    if (!IsStorableRequestDateTime(Field(request, name), now)) {
      return std::string("Ungültiges Datum: ") + name;
    }
  }
  return {};
}

// Whether the series row exists, or the message of why the question failed.
TStatementValue<bool> SeriesExists(int32_t id) {
  TActionStatement query(UseConnectionString());
  const TStatementStatus selected = query.Run(
      "SELECT RecurrenceId FROM [conferenceRecurrences] WHERE RecurrenceId = " + std::to_string(id),
      true);
  if (!selected) return selected;
  return !query.Rows().Eof();
}

// A series identifier below 1 names no series (single conferences carry -1).
std::string NoSeriesError(int32_t id) {
  return "Keine Serie mit RecurrenceId " + std::to_string(id);
}

// Stores the series of the request, or logs why it could not be stored.
TStatementStatus InsertSeries(pugi::xml_document& request) {
  const TStatementValue<std::string> insert = SeriesInsertStatement(request);
  if (!insert) {
    MainSession().LogError(insert.message());
    return TStatementStatus::Failed(insert.message());
  }
  TActionStatement query(UseConnectionString(), [](std::string_view sql) {
    MainSession().LogSql(TLgLevel::Debug, "Insert series", sql);
  });
  TStatementStatus stored = query.Run(*insert, false);
  if (!stored) MainSession().LogError(stored.message());
  return stored;
}

std::string Flag(bool value) {
  return value ? "1" : "0";
}

}  // namespace

void GetRecurrence(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  TLgMethodScope scope(MainSession(), "Recurrence::GetRecurrence");
  result = "error";
  try {
    const int32_t id = RequestedId("RecurrenceId", Field(request, "RecurrenceId"));
    TActionStatement query(UseConnectionString());
    const TStatementStatus selected = query.Run(
        "SELECT * FROM [conferenceRecurrences] WHERE RecurrenceId = " + std::to_string(id), true);
    if (!selected) {
      MainSession().LogError(selected.message());
      result = CreateResultXML(-1, selected.message(), "");
      return;
    }
    const pugi::xml_node root = response.document_element();
    TADOQuery& rows = query.Rows();
    if (!rows.Eof()) {
      const TRecurrence r =
          LoadRecurrence([&rows](std::string_view c) { return rows.FieldByName(c).AsString(); });
      Put(root, "id", std::to_string(r.Id));
      Put(root, "room", r.Room);
      Put(root, "name", r.Name);
      Put(root, "startdate", DateToStr(r.StartDate));
      Put(root, "enddate", DateToStr(r.EndDate));
      Put(root, "starttime", DateTimeToStr(r.StartTime));
      Put(root, "endtime", DateTimeToStr(r.EndTime));
      Put(root, "pinhost", r.PinHost);
      Put(root, "pinmember", r.PinMember);
      Put(root, "pinlistenonly", r.PinListenOnly);
      Put(root, "isrecurrenceelement", Flag(r.IsRecurrenceElement));
      Put(root, "daily", Flag(r.Daily));
      Put(root, "dailyinterval", std::to_string(r.DailyInterval));
      Put(root, "dailyeveryworkday", Flag(r.DailyEveryWorkDay));
      Put(root, "weekly", Flag(r.Weekly));
      Put(root, "weeklyinterval", std::to_string(r.WeeklyInterval));
      Put(root, "weeklymonday", Flag(r.WeeklyMonday));
      Put(root, "weeklytuesday", Flag(r.WeeklyTuesday));
      Put(root, "weeklywednesday", Flag(r.WeeklyWednesday));
      Put(root, "weeklythursday", Flag(r.WeeklyThursday));
      Put(root, "weeklyfriday", Flag(r.WeeklyFriday));
      Put(root, "weeklysaturday", Flag(r.WeeklySaturday));
      Put(root, "weeklysunday", Flag(r.WeeklySunday));
      Put(root, "monthly", Flag(r.Monthly));
      Put(root, "monthlyinterval", std::to_string(r.MonthlyInterval));
    }
    Put(root, "result.code", "0");
    Put(root, "result.description", "");
    result = DocumentXMLText(response);
  } catch (const std::exception& e) {
    MainSession().LogException(e, "GetRecurrence");
    result = CreateResultXML(-1, e.what(), "");
  }
}

void Recurrence_Add(pugi::xml_document& request, pugi::xml_document& response,
                    std::string& result) {
  Recurrence_AddAt(request, response, result, Now());
}

void Recurrence_AddAt(pugi::xml_document& request, pugi::xml_document& response,
                      std::string& result, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::Recurrence_Add");
  result = "error";
  const TSeriesLock held = LockSeries();
  // A "monthlyinterval" that is no number raises past this handler; the answer stays "error".
  const std::string error = SeriesDateError(request, now);
  if (!error.empty()) {
    MainSession().LogError(error);
    result = CreateResultXML(-1, error, "");
    return;
  }
  if (const TStatementStatus stored = InsertSeries(request); !stored) {
    result = CreateResultXML(-1, stored.message(), "");
    return;
  }
  result = CreateResultXML(0, "Konferenz erfolgreich angelegt", "");
  HandleRecurrencesLocked(held, Field(request, "TakeOver"), now);
}

void Recurrence_Update(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result) {
  Recurrence_UpdateAt(request, response, result, Now());
}

void Recurrence_UpdateAt(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::Recurrence_Update");
  result = "error";
  try {
    const int32_t old_id = RequestedId("RecurrenceId", Field(request, "RecurrenceId"));
    const std::string error = old_id < 1 ? NoSeriesError(old_id) : SeriesDateError(request, now);
    if (!error.empty()) {
      MainSession().LogError(error);
      result = CreateResultXML(-1, error, "");
      return;
    }
    const TSeriesLock held = LockSeries();
    // Checked under the lock: of two updates of one series only the first finds it.
    const TStatementValue<bool> exists = SeriesExists(old_id);
    if (!exists || !*exists) {
      const std::string missing = exists ? NoSeriesError(old_id) : exists.message();
      MainSession().LogError(missing);
      result = CreateResultXML(-1, missing, "");
      return;
    }
    // The old series goes only once the changed one is stored.
    if (const TStatementStatus stored = InsertSeries(request); !stored) {
      result = CreateResultXML(-1, stored.message(), "");
      return;
    }
    DeleteRecurrence(held, old_id);
    HandleRecurrencesLocked(held, Field(request, "TakeOver"), now);
    result = CreateResultXML(0, "Serienkonferenz erfolgreich aktualisiert", "");
  } catch (const std::exception& e) {
    MainSession().LogException(e, "Recurrence_Update");
    result = CreateResultXML(-1, e.what(), "");
  }
}

void Recurrence_Delete(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result) {
  Recurrence_DeleteAt(request, response, result, Now());
}

void Recurrence_DeleteAt(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result, TDateTime now) {
  TLgMethodScope scope(MainSession(), "Recurrence::Recurrence_Delete");
  result = "error";
  try {
    const int32_t id = RequestedId("recurrenceid", Field(request, "recurrenceid"));
    if (id < 1) {
      const std::string error = NoSeriesError(id);
      MainSession().LogError(error);
      result = CreateResultXML(-1, error, "");
      return;
    }
    const TSeriesLock held = LockSeries();
    DeleteRecurrence(held, id);
    HandleRecurrencesLocked(held, "", now);
    result = CreateResultXML(0, "Serientermin erfolgreich gelöscht.", "");
  } catch (const std::exception& e) {
    MainSession().LogException(e, "Recurrence_Delete");
    result = CreateResultXML(-1, e.what(), "");
  }
}

}  // namespace parlevo
