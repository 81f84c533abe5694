#include "conferences/konferenzraum.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "conferences/action_query.h"
#include "logging/lg_auto.h"
#include "participants/send_mail_helper.h"
#include "service/helpers.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

// 15 minutes: a conference counts as current from this long before its start.
constexpr TDateTime kLeadTime = 1.0 / 96.0;

// "[Konferenzraum][<action>] <text>" into the debug log.
void Trace(std::string_view action, std::string_view text) {
  std::string line = "[Konferenzraum][";
  line += action;
  line += "] ";
  line += text;
  WriteDebugLog(line);
}

void TraceQuery(std::string_view action, std::string_view sql) {
  Trace(action, std::string("Query: ") + std::string(sql));
}

void TraceNotConnected(std::string_view action, std::string_view error) {
  Trace(action, std::string("Not connected to database: ") + std::string(error));
}

void TraceException(std::string_view action, std::string_view message) {
  Trace(action, std::string("Exception: ") + std::string(message));
}

bool IsNamed(pugi::xml_node node, std::string_view name) {
  return ApplyCaseMode(node.name(), kCaseLower) == ApplyCaseMode(name, kCaseLower);
}

// The text of a request field; a missing field reads as empty (and is added, as every reader
// of the request does). Requests that did not pass the dispatcher's tag lowering (those the
// series engine builds) are matched without regard to case as well.
std::string Field(pugi::xml_document& request, std::string_view name) {
  const pugi::xml_node root = request.document_element();
  if (pugi::xml_node exact = FindXMLNode(root, name, false)) return NodeText(exact);
  for (pugi::xml_node child : root.children()) {
    if (child.type() == pugi::node_element && IsNamed(child, name)) return NodeText(child);
  }
  return NodeText(FindXMLNode(root, name, true));
}

void SetChild(pugi::xml_node parent, std::string_view name, const std::string& value) {
  FindXMLNode(parent, name, true).text().set(value.c_str());
}

// The answer document's root; a caller that handed an empty document gets one made.
pugi::xml_node AnswerRoot(pugi::xml_document& response) {
  pugi::xml_node root = response.document_element();
  if (!root) root = response.append_child("RESPONSE");
  return root;
}

void WriteSuccessResult(pugi::xml_node root) {
  SetChild(root, "result.code", "0");
  SetChild(root, "result.description", "");
}

// The texts of all children of the request's root with the given name, in document order.
std::vector<std::string> RepeatedFields(pugi::xml_document& request, std::string_view name) {
  std::vector<std::string> values;
  for (pugi::xml_node child : request.document_element().children()) {
    if (child.type() == pugi::node_element && IsNamed(child, name)) {
      values.push_back(NodeText(child));
    }
  }
  return values;
}

// A date-time column as a value; nullopt when it is empty or cannot be read as one.
std::optional<TDateTime> DateTimeField(TADOQuery& query, std::string_view name) {
  try {
    const auto field = query.FieldByName(name);
    if (field.IsNull()) return std::nullopt;
    return field.AsDateTime();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The literal of an integer slot of a statement: the whole number, or NULL for an empty value,
// which stores nothing. nullopt (with the reason in error) for anything else.
std::optional<std::string> OptionalIntSlot(std::string_view slot, const std::string& value,
                                           std::string& error) {
  if (value.empty()) return std::string("NULL");
  auto number = SqlInt(value);
  if (!number) {
    error = SqlIntError(slot, value);
    return std::nullopt;
  }
  return SqlText(*number);
}

// A default date-time text that is only a date gets the midnight time written out.
std::string WithMidnight(std::string text) {
  if (text.size() == 10) text += " 00:00:00";
  return text;
}

std::string RoomsFail(std::string_view action, const std::string& error) {
  TraceNotConnected(action, error);
  return CreateResultXML(-1, error, "");
}

// Runs one statement of an action that changes rows and answers with the envelope: code 0 with
// the success text, or -1 with the database's message.
void RunRoomStatement(std::string_view action, const std::string& sql,
                      std::string_view success_text, std::string& result) {
  TraceQuery(action, sql);
  TActionQuery query(UseConnectionString());
  std::string error;
  if (!query.Run(sql, false, error)) {
    result = RoomsFail(action, error);
    return;
  }
  result = CreateResultXML(0, success_text, "");
}

// The parts of a conference row that decide which conference of a room comes next.
struct NextConference {
  TDateTime day = 0;
  TDateTime start = 0;
  TDateTime end = 0;
  std::string id;
  std::string name;
};

// Of the room's conferences that end after now, the one ending first (the first delivered of
// equal ends). Rows whose times cannot be read are passed over.
std::optional<NextConference> ChooseNext(TADOQuery& conferences, TDateTime now) {
  std::optional<NextConference> next;
  for (; !conferences.Eof(); conferences.Next()) {
    const auto start = DateTimeField(conferences, "starttime");
    const auto end = DateTimeField(conferences, "endtime");
    const auto day = DateTimeField(conferences, "date");
    if (!start || !end || !day) continue;
    if (*end <= now) continue;
    if (next && next->end <= *end) continue;
    next = NextConference{DateOf(*day), *start, *end, conferences.FieldByName("ID").AsString(),
                          conferences.FieldByName("name").AsString()};
  }
  return next;
}

// Builds "Liste" for every room with its next conference; false with error set when a statement
// fails.
bool ListRooms(pugi::xml_node root, TDateTime now, std::string& error) {
  const std::string_view action = "GetRaeume";
  const std::string connect_str = UseConnectionString();
  TActionQuery rooms(connect_str);
  const std::string rooms_sql = "Select * FROM [rooms]";
  TraceQuery(action, rooms_sql);
  if (!rooms.Run(rooms_sql, true, error)) return false;
  const std::string not_before = FormatISODateTime(now - 1.0 / 1440);

  for (TADOQuery& room = rooms.Rows(); !room.Eof(); room.Next()) {
    const std::string directdial = room.FieldByName("directdial").AsString();
    pugi::xml_node liste = root.append_child("Liste");
    SetChild(liste, "name", Base64Encode(room.FieldByName("name").AsString()));
    SetChild(liste, "durchwahl", directdial);
    SetChild(liste, "pin", room.FieldByName("pin").AsString());

    // Only conferences still running can be next; the bound is a minute early so that the exact
    // comparison stays with ChooseNext, and the room index keeps years of history unread.
    TActionQuery conferences(connect_str);
    const std::string conf_sql = "Select * FROM [conferences] WHERE room like " +
                                 SqlLikeText(directdial) + " AND endtime>=#" + not_before + "#";
    TraceQuery(action, conf_sql);
    if (!conferences.Run(conf_sql, true, error)) return false;
    const auto next = ChooseNext(conferences.Rows(), now);
    if (!next) continue;

    pugi::xml_node next_node = liste.append_child("Next");
    SetChild(next_node, "datum", DateTimeToStr(next->day));
    SetChild(next_node, "anfangszeit", DateTimeToStr(next->start));
    SetChild(next_node, "endzeit", DateTimeToStr(next->end));
    SetChild(next_node, "id", next->id);
    SetChild(next_node, "nextconferencename", Base64Encode(next->name));

    // The key comes from the table; compared as a number, the membership index serves it.
    const std::string next_id = SqlInt(next->id).value_or("0");
    TActionQuery members(connect_str);
    const std::string count_sql =
        "Select count(*) as numMembers FROM [conferenceMembers] WHERE conferenceID=" + next_id;
    TraceQuery(action, count_sql);
    if (!members.Run(count_sql, true, error)) return false;
    SetChild(next_node, "nummembers", members.Rows().FieldByName("numMembers").AsString());
    const bool running = next->start <= now && now <= next->end;
    SetChild(next_node, "aktuell", running ? "true" : "false");
  }
  return true;
}

// Deletes one room with its conferences, their memberships and attendance logs, all in one
// transaction: a failure part-way keeps the room with everything held in it. False with error set
// when the room row itself could not be deleted.
bool DeleteOneRoom(const std::string& directdial, std::string& error) {
  const std::string_view action = "DeleteRaum";
  const std::string room_literal = SqlText(directdial);
  TADOQuery query;
  try {
    query.Connection().Open(UseConnectionString());
    query.Connection().BeginTrans();
  } catch (const std::exception& e) {
    error = e.what();
    TraceNotConnected(action, error);
    return false;
  }
  // A statement that fails with a message has left the transaction in doubt: nothing stays.
  const auto broken = [&](const std::string& message) {
    if (message.empty()) return false;
    error = message;
    TraceNotConnected(action, error);
    return true;
  };
  std::string ignored;

  const std::string select_sql = "Select * FROM [conferences] WHERE room=" + room_literal;
  TraceQuery(action, select_sql);
  std::vector<std::string> ids;
  if (!RunOnQuery(query, select_sql, true, ignored)) {
    Trace(action, "No conferences to delete");
    if (broken(ignored)) return false;
  } else {
    for (; !query.Eof(); query.Next()) {
      // The key comes from the table, yet it goes through the integer slot like any other ID.
      if (const auto id = SqlInt(query.FieldByName("ID").AsString())) ids.push_back(*id);
    }
  }
  for (const std::string& id : ids) {
    const std::string members_sql = "Delete FROM [conferenceMembers] WHERE conferenceID=" + id;
    TraceQuery(action, members_sql);
    if (!RunOnQuery(query, members_sql, false, ignored)) {
      Trace(action, "No participants to delete");
      if (broken(ignored)) return false;
    }
    const std::string log_sql = "Delete FROM [conferenceMemberLog] WHERE conferenceID=" + id;
    TraceQuery(action, log_sql);
    if (!RunOnQuery(query, log_sql, false, ignored)) {
      Trace(action, "No logs to delete");
      if (broken(ignored)) return false;
    }
  }

  const std::string conferences_sql = "Delete FROM [conferences] WHERE room=" + room_literal;
  TraceQuery(action, conferences_sql);
  if (!RunOnQuery(query, conferences_sql, false, ignored)) {
    Trace(action, "No conferences to delete");
    if (broken(ignored)) return false;
  }

  const std::string room_sql = "Delete FROM [rooms] WHERE directdial=" + room_literal;
  TraceQuery(action, room_sql);
  if (!RunOnQuery(query, room_sql, false, error)) {
    TraceNotConnected(action, error);
    return false;  // the destructor rolls the transaction back
  }
  try {
    query.Connection().CommitTrans();
  } catch (const std::exception& e) {
    error = e.what();
    TraceNotConnected(action, error);
    return false;
  }
  return true;
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

// Month and year of the request as the two-character texts of a date literal, and the month
// after it. False with error set when either is not a month of a year.
bool MonthWindow(const std::string& monat, const std::string& jahr, std::string& from,
                 std::string& to, std::string& error) {
  const auto month = SqlInt(monat);
  if (!month) {
    error = SqlIntError("Monat", monat);
    return false;
  }
  const auto year = SqlInt(jahr);
  if (!year) {
    error = SqlIntError("Jahr", jahr);
    return false;
  }
  // The window is written as a date literal, which needs the year in four digits.
  if (year->size() != 4 || (*year)[0] == '0') {
    error = "Ungültiges Jahr: " + jahr;
    return false;
  }
  const int m = std::stoi(*month);
  const int y = std::stoi(*year);
  if (m < 1 || m > 12 || y < 1 || y > 9998) {
    error = "Ungültiger Monat: " + monat + "/" + jahr;
    return false;
  }
  const auto pad = [](int value) {
    std::string text = std::to_string(value);
    return text.size() == 1 ? "0" + text : text;
  };
  from = pad(y) + "-" + pad(m) + "-01";
  to = m == 12 ? pad(y + 1) + "-01-01" : pad(y) + "-" + pad(m + 1) + "-01";
  return true;
}

// Sends the cancellation of every member of one conference before its rows go.
void CancelMemberships(const std::string& id, const std::string& connect_str,
                       pugi::xml_document& response, const TSendMailHelper& send_mail_helper) {
  const std::string_view action = "DeleteKonferenz";
  std::vector<std::string> member_ids;
  {
    TActionQuery members(connect_str);
    const std::string sql = "SELECT memberID FROM [conferenceMembers] WHERE conferenceID=" + id;
    TraceQuery(action, sql);
    std::string error;
    if (!members.Run(sql, true, error)) {
      TraceNotConnected(action, error);
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

void DeleteOneConference(const std::string& id, const std::string& connect_str) {
  const std::string_view action = "DeleteKonferenz";
  TActionQuery statement(connect_str);
  std::string error;
  for (const std::string& sql : {"Delete FROM [conferenceMembers] WHERE conferenceID=" + id,
                                 "Delete FROM [conferences] WHERE ID=" + id}) {
    TraceQuery(action, sql);
    if (!statement.Run(sql, false, error)) TraceNotConnected(action, error);
  }
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

// ---- Rooms -------------------------------------------------------------------------------

void AddRaum(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  TLgMethodScope scope(MainSession(), "AddRaum");
  try {
    const std::string sql =
        "INSERT INTO [rooms] VALUES (" + SqlText(Base64Decode(Field(request, "name"))) + ", " +
        SqlText(Field(request, "durchwahl")) + ", " + SqlText(Field(request, "pin")) + ")";
    RunRoomStatement("AddRaum", sql, "Konferenzraum erfolgreich angelegt", result);
  } catch (const std::exception& e) {
    TraceException("AddRaum", e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

void UpdateRaum(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  TLgMethodScope scope(MainSession(), "UpdateRaum");
  try {
    const std::string sql =
        "UPDATE [rooms] SET name=" + SqlText(Base64Decode(Field(request, "Name"))) +
        ",  pin=" + SqlText(Field(request, "Pin")) +
        " WHERE directdial=" + SqlText(Field(request, "Durchwahl"));
    RunRoomStatement("UpdateRaum", sql, "Konferenzraum erfolgreich geändert", result);
  } catch (const std::exception& e) {
    TraceException("UpdateRaum", e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

void GetRaeume(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  GetRaeumeAt(request, response, result, Now());
}

void GetRaeumeAt(pugi::xml_document& request, pugi::xml_document& response, std::string& result,
                 TDateTime now) {
  TLgMethodScope scope(MainSession(), "GetRaeume");
  try {
    pugi::xml_node root = AnswerRoot(response);
    std::string error;
    if (!ListRooms(root, now, error)) {
      TraceNotConnected("GetRaeume", error);
      while (pugi::xml_node liste = root.child("Liste")) root.remove_child(liste);
      result = CreateResultXML(-1, error, "");
      return;
    }
    WriteSuccessResult(root);
    result = DocumentXMLText(response);
  } catch (const std::exception& e) {
    TraceException("GetRaeume", e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

void DeleteRaum(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  TLgMethodScope scope(MainSession(), "DeleteRaum");
  try {
    for (const std::string& directdial : RepeatedFields(request, "Durchwahl")) {
      std::string error;
      if (!DeleteOneRoom(directdial, error)) {
        result = CreateResultXML(-1, error, "");
        return;
      }
    }
    result = CreateResultXML(0, "Konferenzraum gelöscht", "");
  } catch (const std::exception& e) {
    TraceException("DeleteRaum", e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
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

    std::string error;
    std::string recurrence_id = Field(request, "RecurrenceId");
    if (recurrence_id.empty()) recurrence_id = "-1";
    const auto recurrence = OptionalIntSlot("RecurrenceId", recurrence_id, error);
    const auto pin_host = OptionalIntSlot("PinHost", Field(request, "PinHost"), error);
    const auto pin_member = OptionalIntSlot("PinMember", Field(request, "PinMember"), error);
    const auto pin_listen =
        OptionalIntSlot("PinListenOnly", Field(request, "PinListenOnly"), error);
    if (!recurrence || !pin_host || !pin_member || !pin_listen) {
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
    TActionQuery query(UseConnectionString());
    MainSession().LogSql(TLgLevel::Debug, "AddKonferenz", sql);
    if (!query.Run(sql, false, error)) {
      TraceNotConnected(action, error);
      result = CreateResultXML(-1, error, "");
      return;
    }
    int id = 0;
    if (!query.AutoWert(id, error)) {
      Trace(action, "Error: " + error);
      result = CreateResultXML(-1, error, "");
      return;
    }
    result =
        CreateResultXML(0, "Konferenz erfolgreich angelegt", "<id>" + std::to_string(id) + "</id>");
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
    std::string error;
    const std::string konferenz_id = Field(request, "KonferenzID");
    auto id = SqlInt(konferenz_id);
    if (!id) error = SqlIntError("KonferenzID", konferenz_id);
    const auto pin_member = OptionalIntSlot("PinMember", Field(request, "PinMember"), error);
    const auto pin_host = OptionalIntSlot("PinHost", Field(request, "PinHost"), error);
    const auto pin_listen =
        OptionalIntSlot("PinListenOnly", Field(request, "PinListenOnly"), error);
    const auto fail = [&] {
      TraceNotConnected(action, error);
      MainSession().LogError("Conferences_Update: " + error);
      result = CreateResultXML(-1, error, "");
    };
    if (!id || !pin_member || !pin_host || !pin_listen) return fail();
    // The texts are stored as sent, yet only once each is a date-time at all: an empty or stray
    // value would leave the conference without a day and hide it from every list. The forms the
    // database takes as sent (ISO, XML Schema, "dd.mm.yyyy" as the lists show it) stay welcome.
    for (const char* name : {"Datum", "Startzeit", "Endzeit"}) {
      if (!IsDatedRequestText(Field(request, name))) {
        error = std::string("Ungültiges Datum: ") + name;
        return fail();
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
    const std::string connect_str = UseConnectionString();
    TActionQuery query(connect_str);
    MainSession().LogSql(TLgLevel::Debug, "Conferences_Update", conference_sql);
    if (!query.Run(conference_sql, false, error)) return fail();

    // A conference without participants changes no row here; that is no failure.
    const std::string members_sql = "UPDATE [conferenceMembers] SET [min]=" + start +
                                    ", [max]=" + end +
                                    ", email=false, sms=false WHERE conferenceID=" + *id;
    MainSession().LogSql(TLgLevel::Debug, "Conferences_Update", members_sql);
    std::string ignored;
    query.Run(members_sql, false, ignored);
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
    std::string error;
    const auto fail = [&] {
      TraceNotConnected(action, error);
      MainSession().LogError("Conferences_Get: " + error);
      result = CreateResultXML(-1, error, "");
    };

    std::string sql = "Select * FROM [conferences] Where room like " + SqlLikeText(durchwahl);
    if (!monat.empty() && !jahr.empty()) {
      std::string from, to;
      if (!MonthWindow(monat, jahr, from, to, error)) return fail();
      sql += " AND starttime>=#" + from + "# AND starttime<#" + to + "# ORDER BY starttime ASC";
    }
    TActionQuery query(UseConnectionString());
    MainSession().LogSql(TLgLevel::Debug, "Conferences_Get", sql);
    if (!query.Run(sql, true, error)) return fail();

    pugi::xml_node root = AnswerRoot(response);
    try {
      AppendConferenceRows(root, query.Rows(), durchwahl, now);
    } catch (const std::exception& e) {
      error = e.what();
      return fail();
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
  DeleteKonferenzWith(request, response, result,
                      [](const std::string& conference_id, const std::string& participant_id,
                         bool invite, pugi::xml_document& answer) {
                        return SendMailHelper(conference_id, participant_id, invite, answer);
                      });
}

void DeleteKonferenzWith(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result, const TSendMailHelper& send_mail_helper) {
  const std::string_view action = "DeleteKonferenz";
  TLgMethodScope scope(MainSession(), "DeleteKonferenz");
  try {
    const std::string connect_str = UseConnectionString();
    for (const std::string& konferenz_id : RepeatedFields(request, "KonferenzID")) {
      const auto id = SqlInt(konferenz_id);
      if (!id) {
        // Not a key: nothing is selected, mailed or deleted for it.
        TraceNotConnected(action, SqlIntError("KonferenzID", konferenz_id));
        continue;
      }
      CancelMemberships(*id, connect_str, response, send_mail_helper);
      DeleteOneConference(*id, connect_str);
    }
    result = CreateResultXML(0, "Konferenz gelöscht", "");
  } catch (const std::exception& e) {
    TraceException(action, e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

}  // namespace parlevo
