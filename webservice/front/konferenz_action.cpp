#include "webservice/front/konferenz_action.h"

#include <stdexcept>

#include "conferences/conference_actions.h"
#include "conferences/konferenzraum.h"
#include "conferences/pin_allocation.h"
#include "conferences/recurrence_actions.h"
#include "logging/lg_auto.h"
#include "participants/invitations.h"
#include "participants/teilnehmer.h"
#include "participants/teilnehmer_addressbook.h"
#include "participants/teilnehmer_lists.h"
#include "participants/teilnehmer_updates.h"
#include "service/database.h"
#include "service/helpers.h"
#include "webservice/action_request.h"
#include "webservice/front/configuration.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

constexpr std::string_view kTrace = "[SOAPImpl][DoKonferenzAction] ";

// Rows without a handler are actions whose subsystem is not part of this build yet.
constexpr TKonferenzAction kActions[] = {
    {"getNextFreeHostPin", GetNextFreeHostPin},
    {"getNextFreeMemberPin", GetNextFreeMemberPin},
    {"getNextFreeListenOnlyPin", GetNextFreeListenOnlyPin},
    {"getRecurrence", GetRecurrence},
    {"addRecurrence", Recurrence_Add},
    {"updateRecurrence", Recurrence_Update},
    {"deleteRecurrence", Recurrence_Delete},
    {"addRaum", AddRaum},
    {"addKonferenz", AddKonferenz},
    {"GetRaeume", GetRaeume},
    {"GetKonferenzen", Conferences_Get},
    {"UpdateRaum", UpdateRaum},
    {"UpdateKonferenz", Conferences_Update},
    {"inviteOne", Participant_AddToConference},
    {"InviteKonfTeilnehmer", InviteKonfTeilnehmer},
    {"GetKonfTeilnehmer", GetKonfTeilnehmer},
    {"GetKonfTeilnehmerMobile", GetKonfTeilnehmerMobile},
    {"DeleteKonfTeilnehmer", DeleteKonfTeilnehmer},
    {"AddTeilnehmer", Participants_Add},
    {"updateKonfTeilnehmer", Participants_UpdateConferenceData},
    {"updateTeilnehmer", Participants_UpdateAddressbook},
    {"GetTeilnehmer", Participants_Get},
    {"DeleteTeilnehmer", Participants_Delete},
    {"DeleteRaum", DeleteRaum},
    {"DeleteKonferenz", DeleteKonferenz},
    {"GetTeilnehmerLog", Participants_GetLog},
    {"SendInviteMail", SendInviteMail},
    {"SendInviteMailAll", SendInviteMailAll},
    {"kickTeilnehmer", Participants_Kick},
    {"getSalutation", GetSalutation},
};

bool SameAsciiText(std::string_view a, std::string_view b) {
  return ApplyCaseMode(a, kCaseLower) == ApplyCaseMode(b, kCaseLower);
}

std::string RegistryErrorResponse() {
  pugi::xml_document response;
  pugi::xml_node decl = response.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  pugi::xml_node root = response.append_child("RESPONSE");
  FindXMLNode(root, "result", true)
      .text()
      .set("Registry Error: DB-Informationen konnten nicht aus der Registry ausgelesen werden");
  return DocumentXMLText(response);
}

}  // namespace

std::span<const TKonferenzAction> KonferenzActionTable() {
  return kActions;
}

std::string DispatchKonferenzAction(std::string_view request, bool database_configured,
                                    std::span<const TKonferenzAction> table) {
  std::string result = "error";
  if (!database_configured) {
    WriteDebugLog(std::string(kTrace) + "Error reading connection string");
    return RegistryErrorResponse();
  }
  try {
    pugi::xml_document request_doc;
    pugi::xml_document response_doc;
    PrepareActionDocuments(request, true, request_doc, response_doc);

    const pugi::xml_node action_node = FindXMLNode(request_doc.document_element(), "action", false);
    if (!action_node) throw std::runtime_error("The request has no element \"action\"");
    const std::string action = NodeText(action_node);
    WriteDebugLog(std::string(kTrace) + "--Handle Request--");
    WriteDebugLog(std::string(kTrace) + "Action: " + action);
    for (const TKonferenzAction& row : table) {
      if (row.handler != nullptr && SameAsciiText(row.name, action)) {
        row.handler(request_doc, response_doc, result);
      }
    }
  } catch (const std::exception& e) {
    WriteDebugLog(std::string(kTrace) + "Exception: " + e.what());
  } catch (...) {
    WriteDebugLog(std::string(kTrace) + "Exception: unknown exception");
  }
  WriteDebugLog(std::string(kTrace) + "Result: " + result);
  return result;
}

std::string DoKonferenzAction(const std::string& Request) {
  logging::TLgMethodScope scope(logging::MainSession(),
                                "TZYNTConferenceService::DoKonferenzAction");
  // This call's own copy: other threads set the process-wide text at the same time.
  const std::string connection = GetConnectionString();
  SetCurrentConnectionString(connection);
  return DispatchKonferenzAction(Request, !connection.empty(), KonferenzActionTable());
}

}  // namespace parlevo
