#include "conferences/conference_actions.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "conferences/konferenzraum_common.h"
#include "logging/lg_auto.h"
#include "service/database.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

// The debug log lines, statements and request fields of every room and conference action.
using namespace konferenzraum;  // NOLINT(google-build-using-namespace)
using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

// 15 minutes: a conference counts as current from this long before its start.
constexpr TDateTime kLeadTime = 1.0 / 96.0;

// A statement runner that traces as the main log's "<routine>" SQL entry.
TActionStatement LoggedStatement(std::string routine) {
  return TActionStatement(UseConnectionString(), [routine = std::move(routine)](auto sql) {
    MainSession().LogSql(TLgLevel::Debug, routine, sql);
  });
}

// The literal of a key slot: the whole number; the reason otherwise.
TStatementValue<std::string> KeySlot(std::string_view slot, const std::string& value) {
  auto number = SqlInt(value);
  if (!number) return TStatementStatus::Failed(SqlIntError(slot, value));
  return *number;
}

// The literal of an integer slot of a statement: the whole number, or NULL for an empty value,
// which stores nothing; the reason otherwise.
TStatementValue<std::string> OptionalIntSlot(std::string_view slot, const std::string& value) {
  if (value.empty()) return std::string("NULL");
  const TStatementValue<std::string> number = KeySlot(slot, value);
  if (!number) return number;
  return SqlText(*number);
}

// The reason of the last refused slot: each refusal is reported over the ones before it.
template <typename... TSlots>
std::string LastRefusal(const TSlots&... slots) {
  std::string reason;
  ((reason = slots.ok() ? reason : slots.message()), ...);
  return reason;
}

// A default date-time text that is only a date gets the midnight time written out.
std::string WithMidnight(std::string text) {
  if (text.size() == 10) text += " 00:00:00";
  return text;
}

// Writes one "Liste" per conference row; the values read as the answer describes them.
void AppendConferenceRows(pugi::xml_node root, TADOQuery& rows, const std::string& durchwahl,
                          TDateTime now) {
  for (; !rows.Eof(); rows.Next()) {
    pugi::xml_node liste = root.append_child("Liste");
    SetChild(liste, "id", rows.FieldByName("ID").AsString());
    SetChild(liste, "durchwahl", durchwahl);
    SetChild(liste, "name", Base64Encode(rows.FieldByName("name").AsString()));
    const auto day = DateTimeField(rows, "date");
    SetChild(liste, "datum", day ? FormatDateTime("dd.mm.yyyy", *day) : std::string());
    SetChild(liste, "anfangszeit", WithMidnight(rows.FieldByName("starttime").AsString()));
    SetChild(liste, "endzeit", WithMidnight(rows.FieldByName("endtime").AsString()));
    const auto start = DateTimeField(rows, "starttime");
    const auto end = DateTimeField(rows, "endtime");
    const bool current = start && end && *start - kLeadTime <= now && now <= *end;
    SetChild(liste, "aktuell", current ? "-1" : "0");
    std::string recurrence = rows.FieldByName("RecurrenceId").AsString();
    SetChild(liste, "recurrenceid", recurrence.empty() ? "-1" : recurrence);
    SetChild(liste, "pinhost", rows.FieldByName("PinHost").AsString());
    SetChild(liste, "pinmember", rows.FieldByName("PinMember").AsString());
    SetChild(liste, "pinlistenonly", rows.FieldByName("PinListenOnly").AsString());
  }
}

// The first days of the request's month and of the month after it, as date literal texts.
struct TMonthWindow {
  std::string from;
  std::string to;
};

// The window of the month and year of the request; the reason when either is not a month of a
// year.
TStatementValue<TMonthWindow> MonthWindow(const std::string& monat, const std::string& jahr) {
  const auto month = SqlInt(monat);
  if (!month) return TStatementStatus::Failed(SqlIntError("Monat", monat));
  const auto year = SqlInt(jahr);
  if (!year) return TStatementStatus::Failed(SqlIntError("Jahr", jahr));
  // The window is written as a date literal, which needs the year in four digits.
  if (year->size() != 4 || (*year)[0] == '0') {
    return TStatementStatus::Failed("Ungültiges Jahr: " + jahr);
  }
  const int m = std::stoi(*month);
  const int y = std::stoi(*year);
  if (m < 1 || m > 12 || y < 1 || y > 9998) {
    return TStatementStatus::Failed("Ungültiger Monat: " + monat + "/" + jahr);
  }
  const auto pad = [](int value) {
    std::string text = std::to_string(value);
    return text.size() == 1 ? "0" + text : text;
  };
  return TMonthWindow{pad(y) + "-" + pad(m) + "-01",
                      m == 12 ? pad(y + 1) + "-01-01" : pad(y) + "-" + pad(m + 1) + "-01"};
}

// Sends the cancellation of every member of one conference before its rows go.
void CancelMemberships(const std::string& id, const std::string& connect_str,
                       pugi::xml_document& response, const TSendMailHelper& send_mail_helper) {
  const std::string_view action = "DeleteKonferenz";
  std::vector<std::string> member_ids;
  {
    TActionStatement members = Statement(action, connect_str);
    const TStatementStatus selected =
        members.Run("SELECT memberID FROM [conferenceMembers] WHERE conferenceID=" + id, true);
    if (!selected) {
      TraceNotConnected(action, selected.message());
      return;
    }
    for (TADOQuery& row = members.Rows(); !row.Eof(); row.Next()) {
      member_ids.push_back(row.FieldByName("memberID").AsString());
    }
  }
  for (const std::string& member_id : member_ids) {
    try {
      send_mail_helper(id, member_id, false, response);
    } catch (const std::exception& e) {
      TraceException(action, e.what());
    }
  }
}

// Deletes the memberships and the row of one conference in one transaction. A statement that
// fails with the database's message rolls both back, so that no conference stays without its
// members while the front end counts it as deleted; one that changed no row (a conference without
// members, an ID without a row) only leaves its trace.
TStatementStatus DeleteOneConference(const std::string& id, const std::string& connect_str) {
  const std::string_view action = "DeleteKonferenz";
  TActionStatement statement = Statement(action, connect_str);
  if (TStatementStatus begun = statement.BeginTransaction(); !begun) {
    TraceNotConnected(action, begun.message());
    return begun;
  }
  for (const std::string& sql : {"Delete FROM [conferenceMembers] WHERE conferenceID=" + id,
                                 "Delete FROM [conferences] WHERE ID=" + id}) {
    if (const TStatementStatus deleted = statement.RunOnSameConnection(sql, false); !deleted) {
      TraceNotConnected(action, deleted.message());
      if (!deleted.message().empty()) return deleted;  // rolled back as the query goes
    }
  }
  const TStatementStatus committed = statement.Commit();
  if (!committed) TraceNotConnected(action, committed.message());
  return committed;
}

// A date-time text the database stores as sent, within the years a conference can have.
bool IsDatedRequestText(std::string_view text) {
  const auto parsed = ParseDateTimeText(text);
  if (!parsed || !parsed->has_date) return false;
  // A bare day number parses as a date too, but no caller means " 5 " as 4 January 1900.
  const size_t start = text.find_first_not_of(" \t\r\n");
  const size_t separator = text.find_first_not_of("0123456789", start);
  if (separator == std::string_view::npos) return false;
  const std::string_view day = text.substr(start, text.find_first_of(" Tt", start) - start);
  const bool iso = text[separator] == '-' && separator - start == 4;
  const bool listed = text[separator] == '.' && std::count(day.begin(), day.end(), '.') == 2;
  if (!iso && !listed) return false;
  return parsed->value >= EncodeDate(1900, 1, 1) && parsed->value < EncodeDate(2101, 1, 1);
}

}  // namespace

std::optional<TDateTime> XMLTimeToLocalDateTime(std::string_view text, TDateTime now) {
  const auto parsed = ParseDateTimeText(text);
  // Only the ISO form is an XML Schema date-time; "12.05.2009" or a time alone is not.
  if (!parsed || !parsed->has_date) return std::nullopt;
  const std::string_view trimmed = text.substr(text.find_first_not_of(" \t\r\n"));
  if (trimmed.size() < 5 || trimmed[4] != '-') return std::nullopt;
  const int from_offset = parsed->offset.value_or(0);
  const int to_offset = LocalUtcOffsetMinutes(now);
  return parsed->value + (to_offset - from_offset) / 1440.0;
}

std::optional<TDateTime> RequestDateTimeToLocal(std::string_view text, TDateTime now) {
  const auto local = XMLTimeToLocalDateTime(text, now);
  if (!local) return std::nullopt;
  // Far outside the years of any conference: a typing error or a hostile value, never a plan.
  if (*local < EncodeDate(1900, 1, 1) || *local >= EncodeDate(2101, 1, 1)) return std::nullopt;
  return local;
}

bool IsStorableRequestDateTime(std::string_view text, TDateTime now) {
  return RequestDateTimeToLocal(text, now).has_value() || IsDatedRequestText(text);
}

// ---- Conferences -------------------------------------------------------------------------

void AddKonferenz(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  AddKonferenzAt(request, response, result, Now());
}

void AddKonferenzAt(pugi::xml_document& request, pugi::xml_document& response, std::string& result,
                    TDateTime now) {
  const std::string_view action = "AddKonferenz";
  TLgMethodScope scope(MainSession(), "AddKonferenz");
  try {
    const auto reject = [&](const std::string& message) {
      Trace(action, "Error: " + message);
      result = CreateResultXML(-1, message, "");
    };
    // Every date-time must convert; an empty end date stores none (the series send none).
    std::string converted[4];
    const char* const names[4] = {"Datum", "EndDatum", "Startzeit", "Endzeit"};
    for (int i = 0; i < 4; ++i) {
      const std::string text = Field(request, names[i]);
      if (i == 1 && text.empty()) continue;
      const auto local = RequestDateTimeToLocal(text, now);
      if (!local) return reject(std::string("Ungültiges Datum: ") + names[i]);
      converted[i] = i < 2 ? FormatISODate(*local) : FormatISODateTime(*local);
    }

    std::string recurrence_id = Field(request, "RecurrenceId");
    if (recurrence_id.empty()) recurrence_id = "-1";
    const auto recurrence = OptionalIntSlot("RecurrenceId", recurrence_id);
    const auto pin_host = OptionalIntSlot("PinHost", Field(request, "PinHost"));
    const auto pin_member = OptionalIntSlot("PinMember", Field(request, "PinMember"));
    const auto pin_listen = OptionalIntSlot("PinListenOnly", Field(request, "PinListenOnly"));
    if (!recurrence || !pin_host || !pin_member || !pin_listen) {
      const std::string error = LastRefusal(recurrence, pin_host, pin_member, pin_listen);
      TraceNotConnected(action, error);
      result = CreateResultXML(-1, error, "");
      return;
    }

    const std::string sql =
        "INSERT INTO [conferences] (room, name, [date], enddate, starttime, endtime, "
        "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES (" +
        SqlText(Field(request, "Durchwahl")) + ", " +
        SqlText(Base64Decode(Field(request, "Name"))) + ", " + SqlText(converted[0]) + ", " +
        (converted[1].empty() ? std::string("NULL") : SqlText(converted[1])) + ", " +
        SqlText(converted[2]) + ", " + SqlText(converted[3]) + ", " + *recurrence + ", " +
        *pin_host + ", " + *pin_member + ", " + *pin_listen + ")";
    TActionStatement query = LoggedStatement("AddKonferenz");
    if (const TStatementStatus inserted = query.Run(sql, false); !inserted) {
      TraceNotConnected(action, inserted.message());
      result = CreateResultXML(-1, inserted.message(), "");
      return;
    }
    const TStatementValue<int> id = query.AutoWert();
    if (!id) {
      Trace(action, "Error: " + id.message());
      result = CreateResultXML(-1, id.message(), "");
      return;
    }
    result = CreateResultXML(0, "Konferenz erfolgreich angelegt",
                             "<id>" + std::to_string(*id) + "</id>");
  } catch (const std::exception& e) {
    TraceException(action, e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

void Conferences_Update(pugi::xml_document& request, pugi::xml_document& response,
                        std::string& result) {
  const std::string_view action = "UpdateKonferenz";
  TLgMethodScope scope(MainSession(), "Conferences_Update");
  try {
    const auto id = KeySlot("KonferenzID", Field(request, "KonferenzID"));
    const auto pin_member = OptionalIntSlot("PinMember", Field(request, "PinMember"));
    const auto pin_host = OptionalIntSlot("PinHost", Field(request, "PinHost"));
    const auto pin_listen = OptionalIntSlot("PinListenOnly", Field(request, "PinListenOnly"));
    const auto fail = [&](const std::string& error) {
      TraceNotConnected(action, error);
      MainSession().LogError("Conferences_Update: " + error);
      result = CreateResultXML(-1, error, "");
    };
    if (!id || !pin_member || !pin_host || !pin_listen) {
      return fail(LastRefusal(id, pin_member, pin_host, pin_listen));
    }
    // The texts are stored as sent, yet only once each is a date-time at all: an empty or stray
    // value would leave the conference without a day and hide it from every list. The forms the
    // database takes as sent (ISO, XML Schema, "dd.mm.yyyy" as the lists show it) stay welcome.
    for (const char* name : {"Datum", "Startzeit", "Endzeit"}) {
      if (!IsStorableRequestDateTime(Field(request, name), Now())) {
        return fail(std::string("Ungültiges Datum: ") + name);
      }
    }

    const std::string start = SqlText(Field(request, "Startzeit"));
    const std::string end = SqlText(Field(request, "Endzeit"));
    const std::string conference_sql =
        "UPDATE [conferences] SET room=" + SqlText(Field(request, "Durchwahl")) +
        ", name=" + SqlText(Base64Decode(Field(request, "Name"))) + ", starttime=" + start +
        ", endtime=" + end + ", [date]=" + SqlText(Field(request, "Datum")) +
        ", RecurrenceID=\"-1\", PinMember=" + *pin_member + ", PinHost=" + *pin_host +
        ", PinListenOnly=" + *pin_listen + " WHERE ID=" + *id;
    TActionStatement query = LoggedStatement("Conferences_Update");
    if (const TStatementStatus updated = query.Run(conference_sql, false); !updated) {
      return fail(updated.message());
    }

    // A conference without participants changes no row here; that is no failure.
    const std::string members_sql = "UPDATE [conferenceMembers] SET [min]=" + start +
                                    ", [max]=" + end +
                                    ", email=false, sms=false WHERE conferenceID=" + *id;
    query.Run(members_sql, false);
    result = CreateResultXML(0, "Konferenz erfolgreich geändert", "");
  } catch (const std::exception& e) {
    TraceException(action, e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

void Conferences_Get(pugi::xml_document& request, pugi::xml_document& response,
                     std::string& result) {
  Conferences_GetAt(request, response, result, Now());
}

void Conferences_GetAt(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result, TDateTime now) {
  const std::string_view action = "GetKonferenzen";
  TLgMethodScope scope(MainSession(), "Conferences_Get");
  try {
    const std::string durchwahl = Field(request, "Durchwahl");
    const std::string monat = Field(request, "Monat");
    const std::string jahr = Field(request, "Jahr");
    const auto fail = [&](const std::string& error) {
      TraceNotConnected(action, error);
      MainSession().LogError("Conferences_Get: " + error);
      result = CreateResultXML(-1, error, "");
    };

    std::string sql = "Select * FROM [conferences] Where room like " + SqlLikeText(durchwahl);
    if (!monat.empty() && !jahr.empty()) {
      const TStatementValue<TMonthWindow> window = MonthWindow(monat, jahr);
      if (!window) return fail(window.message());
      sql += " AND starttime>=#" + window.value().from + "# AND starttime<#" + window.value().to +
             "# ORDER BY starttime ASC";
    }
    TActionStatement query = LoggedStatement("Conferences_Get");
    if (const TStatementStatus selected = query.Run(sql, true); !selected) {
      return fail(selected.message());
    }

    pugi::xml_node root = AnswerRoot(response);
    try {
      AppendConferenceRows(root, query.Rows(), durchwahl, now);
    } catch (const std::exception& e) {
      return fail(e.what());
    }
    WriteSuccessResult(root);
    result = DocumentXMLText(response);
  } catch (const std::exception& e) {
    TraceException(action, e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

void DeleteKonferenz(pugi::xml_document& request, pugi::xml_document& response,
                     std::string& result) {
  DeleteKonferenzWith(request, response, result, ServiceSendMailHelper());
}

void DeleteKonferenzWith(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result, const TSendMailHelper& send_mail_helper) {
  const std::string_view action = "DeleteKonferenz";
  TLgMethodScope scope(MainSession(), "DeleteKonferenz");
  try {
    const std::string connect_str = UseConnectionString();
    std::optional<std::string> failure;  // the message of the first conference not deleted
    for (const std::string& konferenz_id : RepeatedFields(request, "KonferenzID")) {
      const auto id = SqlInt(konferenz_id);
      if (!id) {
        // Not a key: nothing is selected, mailed or deleted for it.
        TraceNotConnected(action, SqlIntError("KonferenzID", konferenz_id));
        continue;
      }
      CancelMemberships(*id, connect_str, response, send_mail_helper);
      if (const TStatementStatus deleted = DeleteOneConference(*id, connect_str);
          !deleted && !failure) {
        failure = deleted.message();
      }
    }
    result =
        failure ? CreateResultXML(-1, *failure, "") : CreateResultXML(0, "Konferenz gelöscht", "");
  } catch (const std::exception& e) {
    TraceException(action, e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

}  // namespace parlevo
