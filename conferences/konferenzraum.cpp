#include "conferences/konferenzraum.h"

#include <exception>
#include <optional>
#include <string>
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
using logging::TLgMethodScope;

// Runs one statement of an action that changes rows and answers with the envelope: code 0 with
// the success text, or -1 with the database's message.
void RunRoomStatement(std::string_view action, const std::string& sql,
                      std::string_view success_text, std::string& result) {
  TActionStatement statement = Statement(action, UseConnectionString());
  const TStatementStatus status = statement.Run(sql, false);
  if (!status) {
    TraceNotConnected(action, status.message());
    result = CreateResultXML(-1, status.message(), "");
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

// Writes the "Next" element of one room: its next conference with the count of its members.
TStatementStatus AppendNext(pugi::xml_node liste, const NextConference& next, TDateTime now,
                            const std::string& connect_str) {
  pugi::xml_node next_node = liste.append_child("Next");
  SetChild(next_node, "datum", DateTimeToStr(next.day));
  SetChild(next_node, "anfangszeit", DateTimeToStr(next.start));
  SetChild(next_node, "endzeit", DateTimeToStr(next.end));
  SetChild(next_node, "id", next.id);
  SetChild(next_node, "nextconferencename", Base64Encode(next.name));

  // The key comes from the table; compared as a number, the membership index serves it.
  const std::string next_id = SqlInt(next.id).value_or("0");
  TActionStatement members = Statement("GetRaeume", connect_str);
  const TStatementStatus counted = members.Run(
      "Select count(*) as numMembers FROM [conferenceMembers] WHERE conferenceID=" + next_id, true);
  if (!counted) return counted;
  SetChild(next_node, "nummembers", members.Rows().FieldByName("numMembers").AsString());
  const bool running = next.start <= now && now <= next.end;
  SetChild(next_node, "aktuell", running ? "true" : "false");
  return TStatementStatus::Ok();
}

// Builds "Liste" for every room with its next conference.
TStatementStatus ListRooms(pugi::xml_node root, TDateTime now) {
  const std::string_view action = "GetRaeume";
  const std::string connect_str = UseConnectionString();
  TActionStatement rooms = Statement(action, connect_str);
  if (TStatementStatus listed = rooms.Run("Select * FROM [rooms]", true); !listed) return listed;
  const std::string not_before = FormatISODateTime(now - 1.0 / 1440);

  for (TADOQuery& room = rooms.Rows(); !room.Eof(); room.Next()) {
    const std::string directdial = room.FieldByName("directdial").AsString();
    pugi::xml_node liste = root.append_child("Liste");
    SetChild(liste, "name", Base64Encode(room.FieldByName("name").AsString()));
    SetChild(liste, "durchwahl", directdial);
    SetChild(liste, "pin", room.FieldByName("pin").AsString());

    // Only conferences still running can be next; the bound is a minute early so that the exact
    // comparison stays with ChooseNext, and the room index keeps years of history unread.
    TActionStatement conferences = Statement(action, connect_str);
    const TStatementStatus selected =
        conferences.Run("Select * FROM [conferences] WHERE room like " + SqlLikeText(directdial) +
                            " AND endtime>=#" + not_before + "#",
                        true);
    if (!selected) return selected;
    const auto next = ChooseNext(conferences.Rows(), now);
    if (!next) continue;
    if (TStatementStatus appended = AppendNext(liste, *next, now, connect_str); !appended) {
      return appended;
    }
  }
  return TStatementStatus::Ok();
}

// Deletes one room with its conferences, their memberships and attendance logs in one
// transaction. A statement that fails with the database's message leaves the deletion in doubt:
// all of it is rolled back and the room keeps everything held in it. A statement that changed no
// row is no such failure; a room delete that finds no room row still ends the action with -1, yet
// keeps what was deleted before it, so that conferences left without their room can be removed.
TStatementStatus DeleteOneRoom(const std::string& directdial) {
  const std::string_view action = "DeleteRaum";
  const std::string room_literal = SqlText(directdial);
  TActionStatement statement = Statement(action, UseConnectionString());
  const auto fail = [&](const TStatementStatus& failed) {
    TraceNotConnected(action, failed.message());
    return failed;  // the transaction is rolled back when the statement's query goes
  };
  // True when the statement failed with a message; one that changed no row leaves its trace.
  const auto in_doubt = [&](const std::string& sql, bool is_select, std::string_view none,
                            TStatementStatus& status) {
    status = statement.RunOnSameConnection(sql, is_select);
    if (!status) Trace(action, none);
    return !status && !status.message().empty();
  };
  if (TStatementStatus begun = statement.BeginTransaction(); !begun) return fail(begun);

  TStatementStatus status = TStatementStatus::Ok();
  std::vector<std::string> ids;
  if (in_doubt("Select * FROM [conferences] WHERE room=" + room_literal, true,
               "No conferences to delete", status)) {
    return fail(status);
  }
  for (TADOQuery* rows = status ? &statement.Rows() : nullptr; rows && !rows->Eof(); rows->Next()) {
    // The key comes from the table, yet it goes through the integer slot like any other ID.
    if (const auto id = SqlInt(rows->FieldByName("ID").AsString())) ids.push_back(*id);
  }
  for (const std::string& id : ids) {
    if (in_doubt("Delete FROM [conferenceMembers] WHERE conferenceID=" + id, false,
                 "No participants to delete", status) ||
        in_doubt("Delete FROM [conferenceMemberLog] WHERE conferenceID=" + id, false,
                 "No logs to delete", status)) {
      return fail(status);
    }
  }
  if (in_doubt("Delete FROM [conferences] WHERE room=" + room_literal, false,
               "No conferences to delete", status)) {
    return fail(status);
  }

  const TStatementStatus room =
      statement.RunOnSameConnection("Delete FROM [rooms] WHERE directdial=" + room_literal, false);
  if (!room && !room.message().empty()) return fail(room);
  if (TStatementStatus committed = statement.Commit(); !committed) return fail(committed);
  if (!room) return fail(room);  // no room row: -1 with the empty message, the rest stays done
  return TStatementStatus::Ok();
}

}  // namespace

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
    if (const TStatementStatus listed = ListRooms(root, now); !listed) {
      TraceNotConnected("GetRaeume", listed.message());
      while (pugi::xml_node liste = root.child("Liste")) root.remove_child(liste);
      result = CreateResultXML(-1, listed.message(), "");
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
      if (const TStatementStatus deleted = DeleteOneRoom(directdial); !deleted) {
        result = CreateResultXML(-1, deleted.message(), "");
        return;
      }
    }
    result = CreateResultXML(0, "Konferenzraum gelöscht", "");
  } catch (const std::exception& e) {
    TraceException("DeleteRaum", e.what());
    result = CreateResultXML(-1, e.what(), "");
  }
}

}  // namespace parlevo
