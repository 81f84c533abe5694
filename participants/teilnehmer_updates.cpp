#include "participants/teilnehmer_updates.h"

#include "participants/teilnehmer_common.h"
#include "platform/ascii_text.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/sql_values.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"
#include "webservice/language_files.h"

namespace parlevo {
namespace {

using teilnehmer::Answer;
using teilnehmer::FlagSlot;
using teilnehmer::IntSlot;
using teilnehmer::SetElement;
using teilnehmer::TActionTrace;
using teilnehmer::TRejectedValue;

}  // namespace

void Participants_UpdateConferenceData(pugi::xml_document& request, pugi::xml_document& response,
                                       std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participants_UpdateConferenceData");
  trace.Documents(request, response);
  const pugi::xml_node root = request.document_element();
  const std::string teilnehmer_id = teilnehmer::LoggedField(root, trace, "TeilnehmerID");
  const std::string konferenz_id = teilnehmer::LoggedField(root, trace, "KonferenzID");
  const std::string minzeit = teilnehmer::LoggedField(root, trace, "minzeit");
  const std::string maxzeit = teilnehmer::LoggedField(root, trace, "maxzeit");
  const std::string gastgeber = teilnehmer::LoggedField(root, trace, "gastgeber");
  const std::string listen_only = teilnehmer::LoggedField(root, trace, "listenOnly");
  const std::string languagecode = teilnehmer::LoggedField(root, trace, "languagecode");
  const std::string membersvisible = teilnehmer::LoggedField(root, trace, "membersvisible");

  std::string error;
  try {
    const std::string sql =
        "UPDATE [conferenceMembers] SET host=" + FlagSlot("gastgeber", gastgeber) +
        ", [min]=" + SqlText(minzeit) + ", [max]=" + SqlText(maxzeit) +
        ", [listenOnly]=" + FlagSlot("listenOnly", listen_only) +
        ", [membersvisible]=" + FlagSlot("membersvisible", membersvisible) +
        ", [languagecode]=" + SqlText(languagecode) +
        " WHERE memberID=" + IntSlot("TeilnehmerID", teilnehmer_id) +
        " AND conferenceID=" + IntSlot("KonferenzID", konferenz_id);
    TActionStatement update = trace.Statements();
    const TStatementStatus updated = trace.Checked(update.Run(sql, false));
    if (updated) return Answer(trace, result, 0, "Teilnehmerdaten (Konferenz) aktualisiert");
    error = updated.message();
  } catch (const TRejectedValue& e) {
    error = e.what();
    trace.Error(error);
  }
  Answer(trace, result, -1, error);
}

void Participants_Kick(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participants_Kick");
  trace.Documents(request, response);
  for (pugi::xml_node entry : request.document_element().children()) {
    if (entry.type() != pugi::node_element || !EqualsIgnoreCaseAscii(entry.name(), "teilnehmer")) {
      continue;
    }
    const std::string teilnehmer_id = teilnehmer::LoggedField(entry, trace, "teilnehmerid");
    const std::string konferenz_id = teilnehmer::LoggedField(entry, trace, "konferenzid");
    std::string error;
    try {
      const std::string sql = "UPDATE [conferenceMembers] SET kick=true WHERE memberID=" +
                              IntSlot("teilnehmerid", teilnehmer_id) +
                              " AND conferenceID=" + IntSlot("konferenzid", konferenz_id);
      TActionStatement update = trace.Statements();
      const TStatementStatus kicked = trace.Checked(update.Run(sql, false));
      if (kicked) continue;
      error = kicked.message();
    } catch (const TRejectedValue& e) {
      error = e.what();
      trace.Error(error);
    }
    return Answer(trace, result, -1, error);
  }
  Answer(trace, result, 0, "Teilnehmer gekickt");
}

void Participants_GetLog(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participants_GetLog");
  trace.Documents(request, response);
  const std::string konferenz_id =
      teilnehmer::LoggedField(request.document_element(), trace, "KonferenzID");
  TActionStatement query = trace.Statements();
  try {
    const std::string sql =
        "SELECT  [members].name,  [conferenceMemberLog].from,  [conferenceMemberLog].to  FROM "
        "[conferenceMemberLog], [members] WHERE [members].ID=[conferenceMemberLog].memberID AND "
        "conferenceID=" +
        IntSlot("KonferenzID", konferenz_id);
    if (const TStatementStatus selected = trace.Checked(query.Run(sql, true)); !selected) {
      return Answer(trace, result, -1, selected.message());
    }
  } catch (const TRejectedValue& e) {
    trace.Error(e.what());
    return Answer(trace, result, -1, e.what());
  }
  pugi::xml_node root = response.document_element();
  try {
    for (TADOQuery& rows = query.Rows(); !rows.Eof(); rows.Next()) {
      pugi::xml_node entry = root.append_child("Liste");
      SetElement(entry, "Name", rows.FieldByName("name").AsString());
      SetElement(entry, "Von", rows.FieldByName("from").AsString());
      SetElement(entry, "Bis", rows.FieldByName("to").AsString());
    }
  } catch (const std::exception& e) {
    query.Release();
    trace.Error(e.what());
    return Answer(trace, result, -1, e.what());
  }
  query.Release();
  SetElement(root, "result.code", "0");
  SetElement(root, "result.description", "");
  result = DocumentXMLText(response);
  trace.Result(result);
}

void GetSalutation(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  TActionTrace trace("Teilnehmer::GetSalutation");
  trace.Documents(request, response);
  pugi::xml_node root = response.document_element();
  SetElement(root, "Type", "getSalutation");
  const std::string languagecode =
      teilnehmer::LoggedField(request.document_element(), trace, "languagecode");
  pugi::xml_document language;
  LoadLanguageFile(language, ExeFolder(), languagecode);
  pugi::xml_node salutation = root.append_child("Salutation");
  SetElement(salutation, "Male", LookupLanguageKey(language, "localSettings.salutation.male"));
  SetElement(salutation, "Female", LookupLanguageKey(language, "localSettings.salutation.female"));
  result = DocumentXMLText(response);
  trace.Result(result);
}

std::string ReadRegistryLanguage() {
  TRegistry registry;
  if (!registry.OpenKey(kParlevoRegistryKey, true)) return {};
  return registry.ReadString("Language");
}

std::string TranslateRegistryLanguage(std::string_view code) {
  return TranslateLanguageCode(ExeFolder(), code, ReadRegistryLanguage());
}

}  // namespace parlevo
