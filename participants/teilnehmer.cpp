#include "participants/teilnehmer.h"

#include <memory>
#include <mutex>
#include <vector>

#include "logging/lg_auto.h"
#include "participants/send_mail_helper.h"
#include "participants/teilnehmer_addressbook.h"
#include "participants/teilnehmer_common.h"
#include "platform/ascii_text.h"
#include "service/database.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using teilnehmer::Answer;
using teilnehmer::FlagSlot;
using teilnehmer::IntSlot;
using teilnehmer::LoggedBase64Field;
using teilnehmer::LoggedField;
using teilnehmer::TActionTrace;
using teilnehmer::TRejectedValue;

// One membership to copy. Two sources give one entry when all four parts are equal, letter case
// ignored.
struct TCopiedMember {
  std::string member_id;
  std::string languagecode;
  std::string membersvisible;
  std::string listen_only;

  std::string Text() const {
    return member_id + "|" + languagecode + "|" + membersvisible + "|" + listen_only;
  }
  bool SameAs(const TCopiedMember& o) const {
    return EqualsIgnoreCaseAscii(member_id, o.member_id) &&
           EqualsIgnoreCaseAscii(languagecode, o.languagecode) &&
           EqualsIgnoreCaseAscii(membersvisible, o.membersvisible) &&
           EqualsIgnoreCaseAscii(listen_only, o.listen_only);
  }
};

// The fields of an "inviteOne" request, each logged as it is read.
struct TInviteOne {
  std::string durchwahl, konferenz_id, gastgeber;
  teilnehmer::TMemberFields member;
  std::string mobil, minzeit, maxzeit, listenonly, languagecode, membersvisible;
};

TInviteOne ReadInviteOne(pugi::xml_node root, TActionTrace& trace) {
  TInviteOne r;
  r.durchwahl = LoggedField(root, trace, "durchwahl");
  r.konferenz_id = LoggedField(root, trace, "KonferenzID");
  r.gastgeber = LoggedField(root, trace, "gastgeber");
  r.member = teilnehmer::ReadMemberFields(root, trace);
  r.mobil = LoggedField(root, trace, "mobil");
  r.minzeit = LoggedField(root, trace, "minzeit");
  r.maxzeit = LoggedField(root, trace, "maxzeit");
  r.listenonly = LoggedField(root, trace, "listenonly");
  r.languagecode = LoggedField(root, trace, "languagecode");
  r.membersvisible = LoggedField(root, trace, "membersvisible");
  return r;
}

// The checked slot texts of the membership insert.
struct TMembershipSlots {
  std::string conference, host, listen_only, visible;
};

// The key of the address-book member the request names (found holds it), or of the member added
// for it (found stays empty).
TStatementValue<std::string> FindOrAddMember(const TInviteOne& r, TActionTrace& trace,
                                             std::string& found) {
  const teilnehmer::TMemberFields& m = r.member;
  if (Participants_Exists(m.name, m.vorname, m.email, found)) return found;
  const std::string sql =
      "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
      "[project],[language]) VALUES(" +
      SqlText(m.anrede) + ", " + SqlText(m.titel) + ", " + SqlText(m.name) + ", " +
      SqlText(m.vorname) + ", " + SqlText(m.email) + ", " + SqlText(r.mobil) + ", " +
      SqlText(m.firma) + ", " + SqlText(m.projekt) + ", " + SqlText(r.languagecode) + ")";
  TActionStatement insert = trace.Statements();
  if (const TStatementStatus added = trace.Checked(insert.Run(sql, false)); !added) return added;
  const TStatementValue<int> id = trace.Checked(insert.AutoWert());
  if (!id) return TStatementStatus::Failed(id.message());
  return std::to_string(*id);
}

// Whether the member (as found in the address book; empty for one just added) already belongs
// to the conference.
TStatementValue<bool> IsMemberOf(const std::string& found, const std::string& conference,
                                 TActionTrace& trace) {
  TActionStatement query = trace.Statements();
  const TStatementStatus selected = trace.Checked(
      query.Run("SELECT * FROM [conferenceMembers] WHERE memberID LIKE " + SqlLikeText(found) +
                    " AND conferenceID LIKE " + SqlLikeText(conference),
                true));
  if (!selected) return selected;
  return !query.Rows().Eof();
}

// The memberships of every "KonferenzIDVon" conference of the request, each once. last_source
// holds the last source named (checked; empty when the request names none).
TStatementValue<std::vector<TCopiedMember>> GatherSourceMembers(pugi::xml_node root,
                                                                TActionTrace& trace,
                                                                std::string& last_source) {
  std::vector<TCopiedMember> entries;
  for (pugi::xml_node child : root.children()) {
    if (child.type() != pugi::node_element ||
        !EqualsIgnoreCaseAscii(child.name(), "KonferenzIDVon")) {
      trace.Value("Ignore", child.name());
      continue;
    }
    const std::string source_text = NodeText(child);
    trace.Value("KonferenzIDVon", source_text);
    std::string source;
    try {
      source = IntSlot("KonferenzIDVon", source_text);
    } catch (const TRejectedValue& e) {
      trace.Error(e.what());
      return TStatementStatus::Failed(e.what());
    }
    last_source = source;
    TActionStatement members = trace.Statements();
    const TStatementStatus selected = trace.Checked(members.Run(
        "SELECT memberID, languagecode, membersvisible, listenOnly FROM [conferenceMembers] "
        "WHERE conferenceID=" +
            source,
        true));
    if (!selected) return selected;
    for (TADOQuery& row = members.Rows(); !row.Eof(); row.Next()) {
      TCopiedMember entry{
          row.FieldByName("memberID").AsString(), row.FieldByName("languagecode").AsString(),
          teilnehmer::NormaliseFlagText(row.FieldByName("membersvisible").AsString()),
          teilnehmer::NormaliseFlagText(row.FieldByName("listenOnly").AsString())};
      bool known = false;
      for (const TCopiedMember& e : entries) known = known || e.SameAs(entry);
      if (!known) {
        trace.Value("Entry", entry.Text());
        entries.push_back(std::move(entry));
      }
    }
  }
  return entries;
}

// The room of the last source conference, which also proves that it exists; an empty reason when
// it does not.
TStatementValue<std::string> LastSourceRoom(TActionTrace& trace, const std::string& last) {
  TActionStatement query = trace.Statements();
  const TStatementStatus times = trace.Checked(
      query.Run("SELECT starttime, endtime FROM [conferences] WHERE ID=" + last, true));
  if (!times) return times;
  if (query.Rows().Eof()) return TStatementStatus::Failed("");
  const TStatementStatus rooms =
      trace.Checked(query.Run("SELECT room FROM [conferences] WHERE ID=" + last, true));
  if (!rooms) return rooms;
  if (query.Rows().Eof()) return TStatementStatus::Failed("");
  return query.Rows().FieldByName("room").AsString();
}

// Where the copied memberships go.
struct TCopyTarget {
  std::string conference, room, minzeit, maxzeit;
};

// Adds one copied membership to the target conference with a fresh PIN.
TStatementStatus CopyMembership(TActionTrace& trace, const TCopiedMember& entry,
                                const TCopyTarget& target) {
  try {
    std::string sql = "INSERT INTO [conferenceMembers] VALUES (" +
                      IntSlot("memberID", entry.member_id) + ", " + target.conference +
                      ", false, false, " + SqlText(entry.languagecode) + ", ";
    const std::string listen_only = FlagSlot("listenOnly", entry.listen_only);
    const std::string visible = FlagSlot("membersvisible", entry.membersvisible);
    std::lock_guard lock(teilnehmer::MembershipWriteLock());
    const TStatementValue<std::string> pin = teilnehmer::ChooseFreeMemberPin(trace);
    if (!pin) return TStatementStatus::Failed(pin.message());
    sql += SqlText(*pin) + ", " + SqlText(target.room) + ", " + SqlText(target.minzeit) + ", " +
           SqlText(target.maxzeit) + ", false, false, " + listen_only + ", false, " + visible + ")";
    TActionStatement insert = trace.Statements();
    return trace.Checked(insert.Run(sql, false));
  } catch (const TRejectedValue& e) {
    trace.Error(e.what());
    return TStatementStatus::Failed(e.what());
  }
}

}  // namespace

TSendMailHelper ServiceSendMailHelper() {
  return [](const std::string& conference_id, const std::string& participant_id, bool invite,
            pugi::xml_document& response) {
    return SendMailHelper(conference_id, participant_id, invite, response);
  };
}

void Participant_AddToConference(pugi::xml_document& request, pugi::xml_document& response,
                                 std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participant_AddToConference");
  trace.Documents(request, response);
  const TInviteOne invite = ReadInviteOne(request.document_element(), trace);

  // The slots of the membership insert are checked before anything is written, so that a value
  // the insert would refuse leaves no member row behind either.
  TMembershipSlots slots;
  try {
    slots = {IntSlot("KonferenzID", invite.konferenz_id), FlagSlot("gastgeber", invite.gastgeber),
             FlagSlot("listenonly", invite.listenonly),
             FlagSlot("membersvisible", invite.membersvisible)};
  } catch (const TRejectedValue& e) {
    trace.Error(e.what());
    return Answer(trace, result, -999, e.what());
  }

  std::lock_guard lock(teilnehmer::MembershipWriteLock());
  std::string found;
  const TStatementValue<std::string> member_id = FindOrAddMember(invite, trace, found);
  if (!member_id) return Answer(trace, result, -999, member_id.message());
  trace.Value("memberID", *member_id);

  const TStatementValue<bool> duplicate = IsMemberOf(found, slots.conference, trace);
  if (!duplicate) return Answer(trace, result, -999, duplicate.message());
  if (*duplicate) {
    trace.Warning("Already a participant of the conference");
    return Answer(trace, result, -1, ParticipantExistsText(-1));
  }

  const TStatementValue<std::string> pin = teilnehmer::ChooseFreeMemberPin(trace);
  if (!pin) return Answer(trace, result, -999, pin.message());
  trace.Value("PIN", *pin);

  const std::string insert_sql =
      "INSERT INTO [conferenceMembers] VALUES (" + *member_id + ", " + slots.conference + ", " +
      slots.host + ", false, " + SqlText(invite.languagecode) + ", " + SqlText(*pin) + ", " +
      SqlText(invite.durchwahl) + ", " + SqlText(invite.minzeit) + ", " + SqlText(invite.maxzeit) +
      ", false, false, " + slots.listen_only + ", false, " + slots.visible + ")";
  TActionStatement insert = trace.Statements();
  if (const TStatementStatus added = trace.Checked(insert.Run(insert_sql, false)); !added) {
    return Answer(trace, result, -999, added.message());
  }
  Answer(trace, result, 0, "Teilnehmer erfolgreich angelegt");
}

void InviteKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::InviteKonfTeilnehmer");
  trace.Documents(request, response);
  const pugi::xml_node root = request.document_element();
  // Read for the log only: the room of the source conference counts.
  LoggedField(root, trace, "durchwahl");
  const std::string konferenz_id = LoggedField(root, trace, "KonferenzID");
  const std::string minzeit = LoggedField(root, trace, "minzeit");
  const std::string maxzeit = LoggedField(root, trace, "maxzeit");

  std::string last_source;
  const TStatementValue<std::vector<TCopiedMember>> entries =
      GatherSourceMembers(root, trace, last_source);
  if (!entries) return Answer(trace, result, -999, entries.message());
  if (last_source.empty()) {
    trace.Error("No KonferenzIDVon in the request");
    trace.Result(result);
    return;
  }

  const TStatementValue<std::string> room = LastSourceRoom(trace, last_source);
  if (!room) return Answer(trace, result, -999, room.message());
  trace.Value("room", *room);

  std::string conference;
  try {
    conference = IntSlot("KonferenzID", konferenz_id);
  } catch (const TRejectedValue& e) {
    if (!entries.value().empty()) {
      trace.Error(e.what());
      return Answer(trace, result, -999, e.what());
    }
  }
  const TCopyTarget target{conference, *room, minzeit, maxzeit};
  for (const TCopiedMember& entry : *entries) {
    if (const TStatementStatus copied = CopyMembership(trace, entry, target); !copied) {
      return Answer(trace, result, -999, copied.message());
    }
  }
  Answer(trace, result, 0, "Teilnehmer eingeladen");
}

void DeleteKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result) {
  DeleteKonfTeilnehmerWith(request, response, result, ServiceSendMailHelper());
}

void DeleteKonfTeilnehmerWith(pugi::xml_document& request, pugi::xml_document& response,
                              std::string& result, const TSendMailHelper& send_mail) {
  result = "error";
  TActionTrace trace("Teilnehmer::DeleteKonfTeilnehmer");
  trace.Documents(request, response);
  const pugi::xml_node root = request.document_element();
  pugi::xml_node answer_root = response.document_element();
  const std::string konferenz_id = LoggedField(root, trace, "KonferenzID");

  for (pugi::xml_node child : root.children()) {
    if (child.type() != pugi::node_element || !EqualsIgnoreCaseAscii(child.name(), "TeilnehmerID"))
      continue;
    const std::string teilnehmer_id = NodeText(child);
    trace.Value("TeilnehmerID", teilnehmer_id);
    std::string error;
    std::string sql;
    std::string conference, member;
    try {
      member = IntSlot("TeilnehmerID", teilnehmer_id);
      conference = IntSlot("KonferenzID", konferenz_id);
      sql = "Delete FROM [conferenceMembers] WHERE memberID=" + member +
            " AND conferenceID=" + conference;
    } catch (const TRejectedValue& e) {
      // No cancellation for a membership that cannot be named, let alone removed.
      error = e.what();
      trace.Error(error);
      GetQueryResultText(response, error);
      result = DocumentXMLText(response);
      trace.Result(result);
      return;
    }

    const bool mailed = send_mail && send_mail(conference, member, false, response);
    if (!mailed) {
      trace.Error("Could not send mail");
      FindXMLNode(answer_root, "Fehler", true).text().set("Mail konnte nicht gesendet werden");
    }

    TActionStatement remove = trace.Statements();
    if (const TStatementStatus removed = trace.Checked(remove.Run(sql, false)); !removed) {
      GetQueryResultText(response, removed.message());
      result = DocumentXMLText(response);
      trace.Result(result);
      return;
    }
  }
  FindXMLNode(answer_root, "Result", true).text().set("Konferenz-Teilnehmer gelöscht");
  result = DocumentXMLText(response);
  trace.Result(result);
}

}  // namespace parlevo
