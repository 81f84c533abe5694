#include "participants/invitations.h"

#include <exception>
#include <utility>
#include <vector>

#include "logging/lg_auto.h"
#include "participants/send_mail_helper.h"
#include "platform/ascii_text.h"
#include "platform/datetime.h"
#include "platform/registry.h"
#include "service/action_statement.h"
#include "service/check_registry.h"
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
    if (child.type() == pugi::node_element && EqualsIgnoreCaseAscii(child.name(), "Teilnehmer")) {
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

  // A runner that traces as this action does.
  TActionStatement Statement() const {
    return TActionStatement(connect_str_, [this](std::string_view sql) {
      MainSession().LogSql(TLgLevel::Debug, Title("string_Query"), sql);
    });
  }

  // The error goes into "Result" and the answer is the response.
  void Fail(std::string_view error) {
    MainSession().LogError(Title(error));
    GetQueryResultText(response_, error);
    Answer();
  }

  void Answer() { result_ = DocumentXMLText(response_); }

 private:
  std::string connect_str_ = UseConnectionString();
  std::string name_;
  pugi::xml_document& response_;
  std::string& result_;
};

// A count that is no number counts as 0; no row at all fails with an empty message.
TStatementValue<int64_t> OverlapCount(TActionStatement& statement, const std::string& start,
                                      const std::string& conference, bool mailed) {
  const TStatementStatus status = statement.Run(OverlapCountSql(start, conference, mailed), true);
  if (!status) return status;
  if (statement.Rows().Eof()) return TStatementStatus::Failed("");
  const auto count = SqlInt(statement.Rows().FieldByName("Erg").AsString());
  int64_t value = 0;
  if (count) {
    try {
      value = std::stoll(*count);
    } catch (const std::exception&) {
      value = 0;
    }
  }
  statement.Release();
  return value;
}

// The memberships of the conference invited already, by e-mail or by SMS.
TStatementValue<int64_t> InvitedCount(TActionStatement& statement, const std::string& conference) {
  const TStatementStatus status = statement.Run(
      "SELECT Count(*) as invitedParticipants FROM [conferenceMembers] WHERE [conferenceID] = " +
          conference + " AND (email <> 0 or sms <> 0)",
      true);
  if (!status) return status;
  int64_t invited = 0;
  if (!statement.Rows().Eof())
    invited = statement.Rows().FieldByName("invitedParticipants").AsInteger();
  statement.Release();
  return invited;
}

bool IsHostFlag(const std::string& flag) {
  const std::string host = ToLowerAscii(flag);
  return host == "true" || host == "wahr" || host == "ja";
}

// Logs the overlap count of each listed host whose window opens before his conference; false
// after a failure (answered already).
bool LogHostOverlaps(TInviteAction& action, TActionStatement& statement,
                     const std::vector<pugi::xml_node>& entries) {
  for (pugi::xml_node entry : entries) {
    const std::string participant_id = Field(entry, "TeilnehmerID");
    const std::string entry_conference = Field(entry, "KonferenzID");
    const auto member = SqlInt(participant_id);
    const auto slot = SqlInt(entry_conference);
    if (!member || !slot) {
      action.Fail(!member ? SqlIntError("TeilnehmerID", participant_id)
                          : SqlIntError("KonferenzID", entry_conference));
      return false;
    }
    const TStatementStatus status = statement.Run(
        "SELECT starttime, min, host FROM [conferences], [conferenceMembers] where "
        "conferenceID=ID AND ID=" +
            *slot + " AND memberID=" + *member,
        true);
    if (!status) {
      action.Fail(status.message());
      return false;
    }
    TADOQuery& rows = statement.Rows();
    if (rows.Eof() || !IsHostFlag(rows.FieldByName("host").AsString())) continue;
    TDateTime start = 0;
    TDateTime min = 0;
    try {
      start = rows.FieldByName("starttime").AsDateTime();
      min = rows.FieldByName("min").AsDateTime();
    } catch (const std::exception& e) {
      action.Fail(e.what());
      return false;
    }
    if (min < start) {
      const auto count = OverlapCount(statement, DayNumberToText(min), *slot, true);
      if (!count) {
        action.Fail(count.message());
        return false;
      }
      MainSession().LogInteger(action.Title("host overlap count"), *count);
    }
  }
  return true;
}

// Sends each listed invitation; false after a failed one (answered already).
bool InviteEach(TInviteAction& action, const std::vector<std::pair<std::string, std::string>>& list,
                pugi::xml_document& response) {
  for (const auto& [conference, member] : list) {
    if (!SendMailHelper(conference, member, true, response)) {
      action.Answer();
      return false;
    }
  }
  return true;
}

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
  std::vector<std::pair<std::string, std::string>> invitations;
  for (pugi::xml_node entry : entries) {
    if (Field(entry, "invite") == "-") ++new_invitations;
    konferenz_id = Field(entry, "KonferenzID");
    invitations.emplace_back(konferenz_id, Field(entry, "TeilnehmerID"));
  }

  // Without a valid conference the count fails and the answer stays "error".
  const auto conference = SqlInt(konferenz_id);
  if (!conference) {
    log.LogError(action.Title(SqlIntError("KonferenzID", konferenz_id)));
    return;
  }
  TActionStatement statement = action.Statement();
  const auto invited = InvitedCount(statement, *conference);
  if (!invited) {
    log.LogError(action.Title(invited.message()));
    return;
  }
  log.LogInteger(action.Title("new invitations"), new_invitations);
  log.LogInteger(action.Title("invited"), *invited);
  log.LogInteger(action.Title("MaxMembers"), limit);
  if (new_invitations + *invited > limit) {
    log.LogWarning("Teilnehmer::SendInviteMail: More Participants than allowed");
    SetAnswer(response, "Valid.Flag", "1");
    SetAnswer(response, "Valid.Count", std::to_string(new_invitations + *invited - limit));
    action.Answer();
    return;
  }

  // Overlap counts: they are logged beside the limit; the limit itself is the conference's own
  // count above.
  if (!LogHostOverlaps(action, statement, entries)) return;
  const auto count =
      OverlapCount(statement, "(SELECT starttime FROM [conferences] WHERE ID=" + *conference + ")",
                   *conference, false);
  if (!count) return action.Fail(count.message());
  log.LogInteger(action.Title("invited count"), *count);
  log.LogInteger(action.Title("new invitations"), new_invitations);
  log.LogInteger(action.Title("MaxMembers"), limit);

  if (!InviteEach(action, invitations, response)) return;
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
  if (!conference) return action.Fail(SqlIntError("KonferenzID", konferenz_id));
  std::vector<std::pair<std::string, std::string>> invitations;
  {
    TActionStatement statement = action.Statement();
    const TStatementStatus status =
        statement.Run("SELECT memberID FROM [conferenceMembers] WHERE conferenceID=" + *conference +
                          " AND email=false",
                      true);
    if (!status) return action.Fail(status.message());
    for (TADOQuery& rows = statement.Rows(); !rows.Eof(); rows.Next())
      invitations.emplace_back(*conference, rows.FieldByName("memberID").AsString());
  }
  if (!InviteEach(action, invitations, response)) return;
  GetQueryResultText(response, kSent);
  action.Answer();
  log.LogString(TLgLevel::Debug, "Teilnehmer::SendInviteMailAll: Result", result);
}

}  // namespace parlevo
