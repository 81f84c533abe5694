#include "front/konferenz_action.h"

#include <optional>
#include <stdexcept>

#include "conferences/conference_actions.h"
#include "conferences/konferenzraum.h"
#include "conferences/pin_allocation.h"
#include "conferences/recurrence_actions.h"
#include "front/configuration.h"
#include "logging/lg_auto.h"
#include "participants/invitations.h"
#include "participants/teilnehmer.h"
#include "participants/teilnehmer_addressbook.h"
#include "participants/teilnehmer_lists.h"
#include "participants/teilnehmer_updates.h"
#include "service/database.h"
#include "service/helpers.h"
#include "webservice/action_request.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"
#include "webservice/soap.h"

namespace parlevo {
namespace {

constexpr std::string_view kTrace = "[SOAPImpl][DoKonferenzAction] ";

// Rows without a handler are actions whose subsystem is not part of this build yet. The series
// actions send cancellations when they delete a series' conferences.
constexpr TKonferenzAction kActions[] = {
    {"getNextFreeHostPin", GetNextFreeHostPin},
    {"getNextFreeMemberPin", GetNextFreeMemberPin},
    {"getNextFreeListenOnlyPin", GetNextFreeListenOnlyPin},
    {"getRecurrence", GetRecurrence},
    {"addRecurrence", Recurrence_Add, true},
    {"updateRecurrence", Recurrence_Update, true},
    {"deleteRecurrence", Recurrence_Delete, true},
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
    {"DeleteKonfTeilnehmer", DeleteKonfTeilnehmer, true},
    {"AddTeilnehmer", Participants_Add},
    {"updateKonfTeilnehmer", Participants_UpdateConferenceData},
    {"updateTeilnehmer", Participants_UpdateAddressbook},
    {"GetTeilnehmer", Participants_Get},
    {"DeleteTeilnehmer", Participants_Delete},
    {"DeleteRaum", DeleteRaum},
    {"DeleteKonferenz", DeleteKonferenz, true},
    {"GetTeilnehmerLog", Participants_GetLog},
    {"SendInviteMail", SendInviteMail, true},
    {"SendInviteMailAll", SendInviteMailAll, true},
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
                                    std::span<const TKonferenzAction> table,
                                    TMailBound& mail_bound) {
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
      if (row.handler == nullptr || !SameAsciiText(row.name, action)) continue;
      const std::optional<TMailBound::TTurn> turn =
          row.sends_mail ? mail_bound.Enter() : std::nullopt;
      if (row.sends_mail && !turn) {
        WriteDebugLog(std::string(kTrace) + "Too many requests sending mail: " + action);
        throw soap::TSoapServiceBusy(
            "Too many requests are sending mail at once; send the request again later.");
      }
      row.handler(request_doc, response_doc, result);
    }
  } catch (const soap::TSoapServiceBusy&) {
    throw;
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
  return DispatchKonferenzAction(Request, !connection.empty(), KonferenzActionTable(),
                                 RequestMailBound());
}

}  // namespace parlevo
