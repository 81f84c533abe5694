#include "participants/teilnehmer.h"

#include <memory>
#include <mutex>
#include <vector>

#include "logging/lg_auto.h"
#include "participants/send_mail_helper.h"
#include "participants/teilnehmer_addressbook.h"
#include "participants/teilnehmer_common.h"
#include "service/database.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using teilnehmer::FlagSlot;
using teilnehmer::IntSlot;
using teilnehmer::RunStatement;
using teilnehmer::SameName;
using teilnehmer::TActionTrace;
using teilnehmer::TRejectedValue;

std::mutex& SendMailHelperLock() {
  static std::mutex lock;
  return lock;
}

TSendMailHelper& SendMailHelperSlot() {
  // The service's own mail path; tests put a recording routine in its place.
  static TSendMailHelper helper = [](const std::string& conference_id,
                                     const std::string& participant_id, bool invite,
                                     pugi::xml_document& response) {
    return SendMailHelper(conference_id, participant_id, invite, response);
  };
  return helper;
}

TSendMailHelper CurrentSendMailHelper() {
  std::lock_guard lock(SendMailHelperLock());
  return SendMailHelperSlot();
}

std::string Field(pugi::xml_node root, TActionTrace& trace, std::string_view name) {
  std::string value = NodeText(FindXMLNode(root, name, true));
  trace.Value(name, value);
  return value;
}

std::string Base64Field(pugi::xml_node root, TActionTrace& trace, std::string_view name) {
  std::string value = Base64Decode(NodeText(FindXMLNode(root, name, true)));
  trace.Value(name, value);
  return value;
}

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
    return SameName(member_id, o.member_id) && SameName(languagecode, o.languagecode) &&
           SameName(membersvisible, o.membersvisible) && SameName(listen_only, o.listen_only);
  }
};

void Answer(TActionTrace& trace, std::string& result, int code, std::string_view description) {
  result = CreateResultXML(code, description, "");
  trace.Result(result);
}

}  // namespace

void SetSendMailHelper(TSendMailHelper helper) {
  std::lock_guard lock(SendMailHelperLock());
  SendMailHelperSlot() = std::move(helper);
}

void Participant_AddToConference(pugi::xml_document& request, pugi::xml_document& response,
                                 std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participant_AddToConference");
  trace.Documents(request, response);
  const pugi::xml_node root = request.document_element();
  const std::string durchwahl = Field(root, trace, "durchwahl");
  const std::string konferenz_id = Field(root, trace, "KonferenzID");
  const std::string gastgeber = Field(root, trace, "gastgeber");
  const std::string anrede = Field(root, trace, "anrede");
  const std::string titel = Base64Field(root, trace, "titel");
  const std::string name = Base64Field(root, trace, "name");
  const std::string vorname = Base64Field(root, trace, "vorname");
  const std::string email = Field(root, trace, "email");
  const std::string firma = Base64Field(root, trace, "firma");
  const std::string projekt = Base64Field(root, trace, "projekt");
  const std::string mobil = Field(root, trace, "mobil");
  const std::string minzeit = Field(root, trace, "minzeit");
  const std::string maxzeit = Field(root, trace, "maxzeit");
  const std::string listenonly = Field(root, trace, "listenonly");
  const std::string languagecode = Field(root, trace, "languagecode");
  const std::string membersvisible = Field(root, trace, "membersvisible");

  // The slots of the membership insert are checked before anything is written, so that a value
  // the insert would refuse leaves no member row behind either.
  std::string conference, host, listen_only, visible;
  try {
    conference = IntSlot("KonferenzID", konferenz_id);
    host = FlagSlot("gastgeber", gastgeber);
    listen_only = FlagSlot("listenonly", listenonly);
    visible = FlagSlot("membersvisible", membersvisible);
  } catch (const TRejectedValue& e) {
    trace.Error(e.what());
    return Answer(trace, result, -999, e.what());
  }

  std::lock_guard lock(teilnehmer::MembershipWriteLock());
  std::unique_ptr<TADOQuery> query;
  std::string error;

  std::string found;
  std::string member_id;
  if (Participants_Exists(name, vorname, email, found)) {
    member_id = found;
  } else {
    const std::string sql =
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES(" +
        SqlText(anrede) + ", " + SqlText(titel) + ", " + SqlText(name) + ", " + SqlText(vorname) +
        ", " + SqlText(email) + ", " + SqlText(mobil) + ", " + SqlText(firma) + ", " +
        SqlText(projekt) + ", " + SqlText(languagecode) + ")";
    int new_id = 0;
    if (!RunStatement(trace, query, sql, false, error)) return Answer(trace, result, -999, error);
    if (!GetAutoWert(query, new_id, error)) {
      FreeADOQuery(query);
      trace.Error(error);
      return Answer(trace, result, -999, error);
    }
    FreeADOQuery(query);
    member_id = std::to_string(new_id);
  }
  trace.Value("memberID", member_id);

  const std::string duplicate_sql = "SELECT * FROM [conferenceMembers] WHERE memberID LIKE " +
                                    SqlLikeText(found) + " AND conferenceID LIKE " +
                                    SqlLikeText(conference);
  if (!RunStatement(trace, query, duplicate_sql, true, error)) {
    return Answer(trace, result, -999, error);
  }
  const bool duplicate = !query->Eof();
  FreeADOQuery(query);
  if (duplicate) {
    trace.Warning("Already a participant of the conference");
    return Answer(trace, result, -1, ParticipantExistsText(-1));
  }

  const std::optional<std::string> pin = teilnehmer::ChooseFreeMemberPin(trace, error);
  if (!pin) return Answer(trace, result, -999, error);
  trace.Value("PIN", *pin);

  const std::string insert_sql = "INSERT INTO [conferenceMembers] VALUES (" + member_id + ", " +
                                 conference + ", " + host + ", false, " + SqlText(languagecode) +
                                 ", " + SqlText(*pin) + ", " + SqlText(durchwahl) + ", " +
                                 SqlText(minzeit) + ", " + SqlText(maxzeit) + ", false, false, " +
                                 listen_only + ", false, " + visible + ")";
  if (!RunStatement(trace, query, insert_sql, false, error)) {
    return Answer(trace, result, -999, error);
  }
  FreeADOQuery(query);
  Answer(trace, result, 0, "Teilnehmer erfolgreich angelegt");
}

void InviteKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::InviteKonfTeilnehmer");
  trace.Documents(request, response);
  const pugi::xml_node root = request.document_element();
  Field(root, trace, "durchwahl");  // read for the log only: the source conference's room counts
  const std::string konferenz_id = Field(root, trace, "KonferenzID");
  const std::string minzeit = Field(root, trace, "minzeit");
  const std::string maxzeit = Field(root, trace, "maxzeit");

  std::unique_ptr<TADOQuery> query;
  std::string error;
  std::vector<TCopiedMember> entries;
  std::string last_source;
  bool any_source = false;
  for (pugi::xml_node child : root.children()) {
    if (child.type() != pugi::node_element || !SameName(child.name(), "KonferenzIDVon")) {
      trace.Value("Ignore", child.name());
      continue;
    }
    const std::string source_text = NodeText(child);
    trace.Value("KonferenzIDVon", source_text);
    any_source = true;
    last_source = source_text;
    std::string source;
    try {
      source = IntSlot("KonferenzIDVon", source_text);
    } catch (const TRejectedValue& e) {
      trace.Error(e.what());
      return Answer(trace, result, -999, e.what());
    }
    const std::string sql =
        "SELECT memberID, languagecode, membersvisible, listenOnly FROM [conferenceMembers] "
        "WHERE conferenceID=" +
        source;
    if (!RunStatement(trace, query, sql, true, error)) return Answer(trace, result, -999, error);
    for (; !query->Eof(); query->Next()) {
      TCopiedMember entry{
          query->FieldByName("memberID").AsString(), query->FieldByName("languagecode").AsString(),
          teilnehmer::NormaliseFlagText(query->FieldByName("membersvisible").AsString()),
          teilnehmer::NormaliseFlagText(query->FieldByName("listenOnly").AsString())};
      bool known = false;
      for (const TCopiedMember& e : entries) known = known || e.SameAs(entry);
      if (!known) {
        trace.Value("Entry", entry.Text());
        entries.push_back(std::move(entry));
      }
    }
    FreeADOQuery(query);
  }
  if (!any_source) {
    trace.Error("No KonferenzIDVon in the request");
    trace.Result(result);
    return;
  }

  // The room and the proof that the conference exists come from the last source conference.
  const std::string last = IntSlot("KonferenzIDVon", last_source);
  if (!RunStatement(trace, query, "SELECT starttime, endtime FROM [conferences] WHERE ID=" + last,
                    true, error)) {
    return Answer(trace, result, -999, error);
  }
  const bool exists = !query->Eof();
  FreeADOQuery(query);
  if (!exists) return Answer(trace, result, -999, "");
  if (!RunStatement(trace, query, "SELECT room FROM [conferences] WHERE ID=" + last, true, error)) {
    return Answer(trace, result, -999, error);
  }
  if (query->Eof()) {
    FreeADOQuery(query);
    return Answer(trace, result, -999, "");
  }
  const std::string room = query->FieldByName("room").AsString();
  FreeADOQuery(query);
  trace.Value("room", room);

  std::string conference;
  try {
    conference = IntSlot("KonferenzID", konferenz_id);
  } catch (const TRejectedValue& e) {
    if (!entries.empty()) {
      trace.Error(e.what());
      return Answer(trace, result, -999, e.what());
    }
  }
  for (const TCopiedMember& entry : entries) {
    std::string sql;
    try {
      sql = "INSERT INTO [conferenceMembers] VALUES (" + IntSlot("memberID", entry.member_id) +
            ", " + conference + ", false, false, " + SqlText(entry.languagecode) + ", ";
      const std::string listen_only = FlagSlot("listenOnly", entry.listen_only);
      const std::string visible = FlagSlot("membersvisible", entry.membersvisible);
      std::lock_guard lock(teilnehmer::MembershipWriteLock());
      const std::optional<std::string> pin = teilnehmer::ChooseFreeMemberPin(trace, error);
      if (!pin) return Answer(trace, result, -999, error);
      sql += SqlText(*pin) + ", " + SqlText(room) + ", " + SqlText(minzeit) + ", " +
             SqlText(maxzeit) + ", false, false, " + listen_only + ", false, " + visible + ")";
      if (!RunStatement(trace, query, sql, false, error)) {
        return Answer(trace, result, -999, error);
      }
      FreeADOQuery(query);
    } catch (const TRejectedValue& e) {
      trace.Error(e.what());
      return Answer(trace, result, -999, e.what());
    }
  }
  Answer(trace, result, 0, "Teilnehmer eingeladen");
}

void DeleteKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::DeleteKonfTeilnehmer");
  trace.Documents(request, response);
  const pugi::xml_node root = request.document_element();
  pugi::xml_node answer_root = response.document_element();
  const std::string konferenz_id = Field(root, trace, "KonferenzID");
  const TSendMailHelper send_mail = CurrentSendMailHelper();

  for (pugi::xml_node child : root.children()) {
    if (child.type() != pugi::node_element || !SameName(child.name(), "TeilnehmerID")) continue;
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

    std::unique_ptr<TADOQuery> query;
    if (!RunStatement(trace, query, sql, false, error)) {
      GetQueryResultText(response, error);
      result = DocumentXMLText(response);
      trace.Result(result);
      return;
    }
    FreeADOQuery(query);
  }
  FindXMLNode(answer_root, "Result", true).text().set("Konferenz-Teilnehmer gelöscht");
  result = DocumentXMLText(response);
  trace.Result(result);
}

}  // namespace parlevo
