#include "participants/teilnehmer_lists.h"

#include <algorithm>
#include <functional>
#include <optional>

#include <map>
#include <memory>

#include "logging/lg_auto.h"
#include "participants/teilnehmer_common.h"
#include "participants/teilnehmer_updates.h"
#include "service/database.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using teilnehmer::AttendanceStatus;
using teilnehmer::FlagText;
using teilnehmer::SetElement;
using teilnehmer::TActionTrace;

constexpr const char* kLogName = "Teilnehmer::GetKonfTeilnehmer";

void LogEntry(pugi::xml_node entry) {
  if (!logging::MainSession().Accepts(logging::TLgLevel::Debug)) return;
  pugi::xml_document doc;
  doc.append_copy(entry);
  logging::MainSession().LogText(logging::TLgLevel::Debug, std::string(kLogName) + ": CurStartNode",
                                 DocumentXMLText(doc));
}

// The conference's ID for the statements, or the statement's failure written into the answer.
TStatementValue<std::string> ConferenceSlot(TActionTrace& trace, pugi::xml_document& request,
                                            pugi::xml_document& response) {
  const std::string konferenz_id =
      NodeText(FindXMLNode(request.document_element(), "KonferenzID", true));
  trace.Value("KonferenzID", konferenz_id);
  try {
    return teilnehmer::IntSlot("KonferenzID", konferenz_id);
  } catch (const teilnehmer::TRejectedValue& e) {
    trace.Error(e.what());
    GetQueryResultText(response, e.what());
    return TStatementStatus::Failed(e.what());
  }
}

// Runs the list's select (sql_for gives it for the checked conference ID of the request). When
// the ID is refused or the select fails, the reason is in the answer, the answer is the result,
// and false comes back.
bool SelectMemberships(TActionTrace& trace, pugi::xml_document& request,
                       pugi::xml_document& response,
                       const std::function<std::string(const std::string&)>& sql_for,
                       TActionStatement& statement, std::string& result) {
  const TStatementValue<std::string> k = ConferenceSlot(trace, request, response);
  if (k) {
    const TStatementStatus selected = trace.Checked(statement.Run(sql_for(*k), true));
    if (selected) return true;
    GetQueryResultText(response, selected.message());
  }
  result = DocumentXMLText(response);
  trace.Result(result);
  return false;
}

// The display names of the memberships' languages in one list. A code is translated once per
// list: reading the configuration and the language file again for each of hundreds of rows
// gives the same text and costs most of the list's time. A code that cannot be translated leaves
// its entries empty rather than ending the list.
class TLanguageNames {
 public:
  explicit TLanguageNames(TActionTrace& trace) : trace_(trace) {}

  const std::string& Of(const std::string& code) {
    auto found = names_.find(code);
    if (found != names_.end()) return found->second;
    std::string name;
    try {
      name = TranslateRegistryLanguage(code);
    } catch (const std::exception& e) {
      trace_.Warning(std::string("Language ") + code + ": " + e.what());
    }
    return names_.emplace(code, std::move(name)).first->second;
  }

 private:
  TActionTrace& trace_;
  std::map<std::string, std::string> names_;
};

// Every membership with its member and, where there are any, his stays in the conference. Written
// as a left join of the memberships rather than the equal right join of the log: the database
// engine materialises the whole right-hand side of a right join before it filters by conference,
// which made a list of 200 members take a second on 100,000 memberships.
std::string MembershipJoin() {
  return "((conferenceMembers INNER JOIN conferences ON conferenceMembers.conferenceID = "
         "conferences.ID) INNER JOIN members ON conferenceMembers.memberID = members.ID) LEFT "
         "JOIN conferenceMemberLog ON (conferenceMemberLog.conferenceID = "
         "conferenceMembers.conferenceID) AND (conferenceMemberLog.memberID = "
         "conferenceMembers.memberID)";
}

// One membership of the mobile list, with the attendance times it is ordered by.
struct TMobileRow {
  std::string t, k, a, f, from, to;
  bool visible = false;
  std::optional<TDateTime> from_day;
  bool has_from = false, has_to = false;
};

// A time that is there: not NULL and not blank. Its day number, when it reads as one.
bool TimePresent(const TADOQuery& q, std::string_view name, std::optional<TDateTime>* day) {
  const auto field = q.FieldByName(name);
  if (field.IsNull() || field.AsString().empty()) return false;
  if (day) {
    try {
      *day = field.AsDateTime();
    } catch (const std::exception&) {
      day->reset();
    }
  }
  return true;
}

// The rows of the mobile list; a row that cannot be read ends the reading, logged.
std::vector<TMobileRow> ReadMobileRows(TADOQuery& query) {
  std::vector<TMobileRow> rows;
  try {
    for (; !query.Eof(); query.Next()) {
      const TADOQuery& q = query;
      TMobileRow row;
      row.t = q.FieldByName("members.ID").AsString();
      row.k = q.FieldByName("conferenceID").AsString();
      row.a = q.FieldByName("sex").AsString() + " " + q.FieldByName("title").AsString() + " " +
              q.FieldByName("members.name").AsString();
      row.f = q.FieldByName("company").AsString();
      row.from = q.FieldByName("from").AsString();
      row.to = q.FieldByName("to").AsString();
      row.visible = q.FieldByName("membersvisible").AsBoolean();
      row.has_from = TimePresent(q, "from", &row.from_day);
      row.has_to = TimePresent(q, "to", nullptr);
      rows.push_back(std::move(row));
    }
  } catch (const std::exception& e) {
    logging::MainSession().LogException(e, kLogName);
  }
  return rows;
}

void AppendMobileEntry(pugi::xml_node root, const TMobileRow& row) {
  pugi::xml_node entry = root.append_child("l");
  SetElement(entry, "t", row.t);
  SetElement(entry, "k", row.k);
  SetElement(entry, "a", Base64Encode(row.a));
  SetElement(entry, "f", Base64Encode(row.f));
  SetElement(entry, "v", row.from + " - " + row.to);
  SetElement(entry, "s", AttendanceStatus(row.from, row.to));
  SetElement(entry, "m", FlagText(row.visible));
  LogEntry(entry);
}

// Never joined, then present, then gone with the latest join first; the last pass fills what
// the first two left of the list.
void AppendMobileList(pugi::xml_node root, const std::vector<TMobileRow>& rows) {
  int count = 0;
  for (int pass = 1; pass <= 3; ++pass) {
    const int limit = kMobileListLimit - count;
    if (limit <= 0) continue;
    std::vector<const TMobileRow*> chosen;
    for (const TMobileRow& row : rows) {
      const bool fits = pass == 1   ? !row.has_from
                        : pass == 2 ? row.has_from && !row.has_to
                                    : row.has_from && row.has_to;
      if (fits) chosen.push_back(&row);
    }
    if (pass == 3) {
      std::stable_sort(chosen.begin(), chosen.end(), [](const TMobileRow* x, const TMobileRow* y) {
        return x->from_day.value_or(-1e300) > y->from_day.value_or(-1e300);
      });
    }
    if (chosen.size() > static_cast<size_t>(limit)) chosen.resize(static_cast<size_t>(limit));
    for (const TMobileRow* row : chosen) {
      AppendMobileEntry(root, *row);
      if (pass < 3) ++count;
    }
  }
}

}  // namespace

void GetKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result) {
  result = "error";
  TActionTrace trace(kLogName);
  trace.Documents(request, response);
  TActionStatement statement = trace.Statements();
  const auto sql = [](const std::string& k) {
    return "SELECT conferenceMembers.*, members.*, conferenceMemberLog.from, "
           "conferenceMemberLog.to FROM " +
           MembershipJoin() + " WHERE conferences.ID=" + k +
           " ORDER BY conferenceMembers.[memberID] ASC";
  };
  if (!SelectMemberships(trace, request, response, sql, statement, result)) return;
  TADOQuery& query = statement.Rows();
  pugi::xml_node root = response.document_element();
  TLanguageNames languages(trace);
  try {
    for (; !query.Eof(); query.Next()) {
      const TADOQuery& q = query;
      const std::string from = q.FieldByName("from").AsString();
      const std::string to = q.FieldByName("to").AsString();
      const std::string& language =
          languages.Of(q.FieldByName("conferenceMembers.languagecode").AsString());
      pugi::xml_node entry = root.append_child("Liste");
      SetElement(entry, "TeilnehmerID", q.FieldByName("members.ID").AsString());
      SetElement(entry, "KonferenzID", q.FieldByName("conferenceID").AsString());
      SetElement(entry, "Gastgeber", FlagText(q.FieldByName("host").AsBoolean()));
      SetElement(entry, "Anrede", q.FieldByName("sex").AsString());
      SetElement(entry, "Titel", Base64Encode(q.FieldByName("title").AsString()));
      SetElement(entry, "Name", Base64Encode(q.FieldByName("members.name").AsString()));
      SetElement(entry, "Vorname", Base64Encode(q.FieldByName("firstname").AsString()));
      SetElement(entry, "Email", q.FieldByName("members.email").AsString());
      SetElement(entry, "Mobil", q.FieldByName("members.sms").AsString());
      SetElement(entry, "Firma", Base64Encode(q.FieldByName("company").AsString()));
      SetElement(entry, "Projekt", Base64Encode(q.FieldByName("project").AsString()));
      SetElement(entry, "Anwesend", FlagText(q.FieldByName("present").AsBoolean()));
      SetElement(entry, "Pin", q.FieldByName("pin").AsString());
      SetElement(entry, "Durchwahl", q.FieldByName("directdial").AsString());
      SetElement(entry, "Fruehestens", q.FieldByName("min").AsString());
      SetElement(entry, "Spaetestens", q.FieldByName("max").AsString());
      SetElement(entry, "SMS_Gesendet",
                 FlagText(q.FieldByName("conferenceMembers.sms").AsBoolean()));
      SetElement(entry, "Mail_Gesendet",
                 FlagText(q.FieldByName("conferenceMembers.email").AsBoolean()));
      SetElement(entry, "Von", from);
      SetElement(entry, "Bis", to);
      SetElement(entry, "Status", AttendanceStatus(from, to));
      SetElement(entry, "listenOnly", FlagText(q.FieldByName("listenOnly").AsBoolean()));
      SetElement(entry, "kick", FlagText(q.FieldByName("kick").AsBoolean()));
      SetElement(entry, "languagecode", Base64Encode(language));
      SetElement(entry, "membersvisible", FlagText(q.FieldByName("membersvisible").AsBoolean()));
      LogEntry(entry);
    }
  } catch (const std::exception& e) {
    // The entries built so far stay; the failure is named instead of passing silently.
    logging::MainSession().LogException(e, kLogName);
    GetQueryResultText(response, e.what());
  }
  statement.Release();
  result = DocumentXMLText(response);
  trace.Result(result);
}

void GetKonfTeilnehmerMobile(pugi::xml_document& request, pugi::xml_document& response,
                             std::string& result) {
  result = "error";
  TActionTrace trace(kLogName);
  trace.Documents(request, response);
  // The conference side writes its times as day numbers or as texts, and "" for an open end:
  // the passes compare normalised values, so that the order is the same whatever the form.
  TActionStatement statement = trace.Statements();
  const auto sql = [](const std::string& k) {
    return "SELECT conferenceMembers.*,  members.*,   conferenceMemberLog.from,   "
           "conferenceMemberLog.to FROM " +
           MembershipJoin() + " WHERE   conferences.ID=" + k;
  };
  if (!SelectMemberships(trace, request, response, sql, statement, result)) return;
  const std::vector<TMobileRow> rows = ReadMobileRows(statement.Rows());
  statement.Release();
  AppendMobileList(response.document_element(), rows);
  result = DocumentXMLText(response);
  trace.Result(result);
}

}  // namespace parlevo
