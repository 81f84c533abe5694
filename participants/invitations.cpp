#include "participants/invitations.h"

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "logging/lg_auto.h"
#include "notifications/mail_text.h"
#include "notifications/send_mail_module.h"
#include "participants/send_mail_helper.h"
#include "platform/datetime.h"
#include "platform/registry.h"
#include "service/database.h"
#include "service/sql_values.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

namespace {

constexpr std::string_view kSent = "EMail(s) erfolgreich verschickt";

std::string Field(pugi::xml_node parent, std::string_view name) {
  return NodeText(FindXMLNode(parent, name, true));
}

void SetAnswer(pugi::xml_document& response, std::string_view path, std::string_view text) {
  FindXMLNode(response.document_element(), path, true).text().set(std::string(text).c_str());
}

// The "Teilnehmer" entries of a request, in document order.
std::vector<pugi::xml_node> ParticipantEntries(pugi::xml_document& request) {
  std::vector<pugi::xml_node> entries;
  for (pugi::xml_node child : request.document_element().children()) {
    if (child.type() == pugi::node_element && mail::EqualsIgnoreCase(child.name(), "Teilnehmer")) {
      entries.push_back(child);
    }
  }
  return entries;
}

// The memberships marked as mailed (or, with mailed false, not mailed) in conferences that
// overlap the span from `start` to the end of conference `conference`.
std::string OverlapCountSql(const std::string& start, const std::string& conference, bool mailed) {
  const std::string end = "(SELECT endtime FROM [conferences] WHERE ID=" + conference + ")";
  return "SELECT Count(*) AS Erg FROM conferenceMembers, conferences WHERE (((((conferences."
         "starttime)>=" +
         start + ") AND ((conferences.endtime)<=" + end +
         ")) or (((conferences.starttime)<=" + start + ") AND ((conferences.endtime)<=" + end +
         " AND (conferences.endtime)>=" + start + ")) or (((conferences.starttime)<=" + start +
         ") AND ((conferences.endtime)>=" + end + ")) or (((conferences.starttime)>=" + start +
         " AND (conferences.starttime)<=" + end + ") AND ((conferences.endtime)>=" + end +
         "))) AND ((conferenceMembers.email)=" + (mailed ? "true" : "false") +
         ") AND ((conferences.ID)=[conferenceID])) ";
}

class TInviteAction {
 public:
  TInviteAction(std::string_view name, pugi::xml_document& response, std::string& result)
      : name_("Teilnehmer::" + std::string(name)), response_(response), result_(result) {}

  std::string Title(std::string_view text) const { return name_ + ": " + std::string(text); }

  // Runs one statement; on failure the error goes into "Result" and the answer is the response.
  bool Run(std::unique_ptr<TADOQuery>& query, const std::string& sql, bool is_select) {
    auto& log = MainSession();
    log.LogSql(TLgLevel::Debug, Title("string_Query"), sql);
    std::string error;
    if (ConnectToADODB(query, connect_str_, sql, is_select, error)) return true;
    Fail(error);
    return false;
  }

  void Fail(std::string_view error) {
    MainSession().LogError(Title(error));
    GetQueryResultText(response_, error);
    Answer();
  }

  void Answer() { result_ = DocumentXMLText(response_); }

  // The overlap count: nullopt after a failure (answered already).
  std::optional<int64_t> OverlapCount(const std::string& start, const std::string& conference,
                                      bool mailed) {
    std::unique_ptr<TADOQuery> query;
    if (!Run(query, OverlapCountSql(start, conference, mailed), true)) return std::nullopt;
    if (query->Eof()) {
      Fail("");
      return std::nullopt;
    }
    const auto count = SqlInt(query->FieldByName("Erg").AsString());
    int64_t value = 0;
    if (count) {
      try {
        value = std::stoll(*count);
      } catch (const std::exception&) {
        value = 0;
      }
    }
    FreeADOQuery(query);
    return value;
  }

  std::string connect_str_ = UseConnectionString();

 private:
  std::string name_;
  pugi::xml_document& response_;
  std::string& result_;
};

}  // namespace

int32_t ReadMaxMembers() {
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  return registry.ReadInteger("MaxMembers");
}

void SendInviteMail(pugi::xml_document& request, pugi::xml_document& response,
                    std::string& result) {
  result = "error";
  auto& log = MainSession();
  TLgMethodScope scope(log, "Teilnehmer::SendInviteMail");
  log.LogText(TLgLevel::Debug, "Teilnehmer::SendInviteMail: RequestXML", DocumentXMLText(request));
  TInviteAction action("SendInviteMail", response, result);

  const int32_t limit = ReadMaxMembers();
  const std::vector<pugi::xml_node> entries = ParticipantEntries(request);
  int64_t new_invitations = 0;
  std::string konferenz_id;
  for (pugi::xml_node entry : entries) {
    if (Field(entry, "invite") == "-") ++new_invitations;
    konferenz_id = Field(entry, "KonferenzID");
  }

  // Without a valid conference the count fails and the answer stays "error".
  const auto conference = SqlInt(konferenz_id);
  if (!conference) {
    log.LogError(action.Title(SqlIntError("KonferenzID", konferenz_id)));
    return;
  }
  int64_t invited = 0;
  {
    const std::string sql =
        "SELECT Count(*) as invitedParticipants FROM [conferenceMembers] WHERE [conferenceID] = " +
        *conference + " AND (email <> 0 or sms <> 0)";
    log.LogSql(TLgLevel::Debug, action.Title("string_Query"), sql);
    std::unique_ptr<TADOQuery> query;
    std::string error;
    if (!ConnectToADODB(query, action.connect_str_, sql, true, error)) {
      log.LogError(action.Title(error));
      return;
    }
    if (!query->Eof()) invited = query->FieldByName("invitedParticipants").AsInteger();
    FreeADOQuery(query);
  }
  log.LogInteger(action.Title("new invitations"), new_invitations);
  log.LogInteger(action.Title("invited"), invited);
  log.LogInteger(action.Title("MaxMembers"), limit);
  if (new_invitations + invited > limit) {
    log.LogWarning("Teilnehmer::SendInviteMail: More Participants than allowed");
    SetAnswer(response, "Valid.Flag", "1");
    SetAnswer(response, "Valid.Count", std::to_string(new_invitations + invited - limit));
    action.Answer();
    return;
  }

  // Overlap counts: they are logged beside the limit; the limit itself is the conference's own
  // count above.
  for (pugi::xml_node entry : entries) {
    const std::string participant_id = Field(entry, "TeilnehmerID");
    const std::string entry_conference = Field(entry, "KonferenzID");
    const auto member = SqlInt(participant_id);
    const auto entry_slot = SqlInt(entry_conference);
    if (!member || !entry_slot) {
      action.Fail(!member ? SqlIntError("TeilnehmerID", participant_id)
                          : SqlIntError("KonferenzID", entry_conference));
      return;
    }
    std::unique_ptr<TADOQuery> query;
    if (!action.Run(query,
                    "SELECT starttime, min, host FROM [conferences], [conferenceMembers] where "
                    "conferenceID=ID AND ID=" +
                        *entry_slot + " AND memberID=" + *member,
                    true)) {
      return;
    }
    if (query->Eof()) continue;
    const std::string host = mail::ToLowerAscii(query->FieldByName("host").AsString());
    if (host != "true" && host != "wahr" && host != "ja") continue;
    TDateTime start = 0;
    TDateTime min = 0;
    try {
      start = query->FieldByName("starttime").AsDateTime();
      min = query->FieldByName("min").AsDateTime();
    } catch (const std::exception& e) {
      action.Fail(e.what());
      return;
    }
    FreeADOQuery(query);
    if (min < start) {
      const auto count = action.OverlapCount(DayNumberToText(min), *entry_slot, true);
      if (!count) return;
      log.LogInteger(action.Title("host overlap count"), *count);
    }
  }
  {
    const auto count = action.OverlapCount(
        "(SELECT starttime FROM [conferences] WHERE ID=" + *conference + ")", *conference, false);
    if (!count) return;
    log.LogInteger(action.Title("invited count"), *count);
    log.LogInteger(action.Title("new invitations"), new_invitations);
    log.LogInteger(action.Title("MaxMembers"), limit);
  }

  for (pugi::xml_node entry : entries) {
    const std::string participant_id = Field(entry, "TeilnehmerID");
    const std::string entry_conference = Field(entry, "KonferenzID");
    if (!SendMailHelper(entry_conference, participant_id, true, response)) {
      action.Answer();
      return;
    }
  }
  SetAnswer(response, "Valid.Flag", "0");
  SetAnswer(response, "Valid.Count", "0");
  GetQueryResultText(response, kSent);
  action.Answer();
  log.LogString(TLgLevel::Debug, "Teilnehmer::SendInviteMail: Result", result);
}

void SendInviteMailAll(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result) {
  result = "error";
  auto& log = MainSession();
  TLgMethodScope scope(log, "Teilnehmer::SendInviteMailAll");
  log.LogText(TLgLevel::Debug, "Teilnehmer::SendInviteMailAll: RequestXML",
              DocumentXMLText(request));
  TInviteAction action("SendInviteMailAll", response, result);

  const std::string konferenz_id = Field(request.document_element(), "KonferenzID");
  const auto conference = SqlInt(konferenz_id);
  if (!conference) {
    action.Fail(SqlIntError("KonferenzID", konferenz_id));
    return;
  }
  std::vector<std::string> members;
  {
    std::unique_ptr<TADOQuery> query;
    if (!action.Run(query,
                    "SELECT memberID FROM [conferenceMembers] WHERE conferenceID=" + *conference +
                        " AND email=false",
                    true)) {
      return;
    }
    for (; !query->Eof(); query->Next())
      members.push_back(query->FieldByName("memberID").AsString());
    FreeADOQuery(query);
  }
  for (const auto& member : members) {
    if (!SendMailHelper(*conference, member, true, response)) {
      action.Answer();
      return;
    }
  }
  GetQueryResultText(response, kSent);
  action.Answer();
  log.LogString(TLgLevel::Debug, "Teilnehmer::SendInviteMailAll: Result", result);
}

}  // namespace parlevo
