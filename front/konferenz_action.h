// The action dispatcher: DoKonferenzAction reads the "action" field of a request document and
// hands the request to the handler of that action. The table below is the one place that names
// every handler; an action whose row has no handler yet answers "error", like an unknown one.
//
// Thread safety: DoKonferenzAction runs on many connection threads at once; each call has its
// own documents. Handlers must be safe to run concurrently.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "front/mail_bound.h"

namespace parlevo {

// Every handler reads its fields from request, may build elements in response (root
// "RESPONSE") and writes its answer into result, which holds "error" when it is called.
using TKonferenzActionHandler = void (*)(pugi::xml_document& request, pugi::xml_document& response,
                                         std::string& result);

struct TKonferenzAction {
  std::string_view name;  // compared with the request's action without regard to ASCII case
  TKonferenzActionHandler handler;  // nullptr while the action is not available
  // The action may send mail (invitations, or cancellations of conferences it deletes): it runs
  // only with a turn of the mail bound (RequestMailBound).
  bool sends_mail = false;
};

// The actions in the order in which they are tested.
std::span<const TKonferenzAction> KonferenzActionTable();

// The SOAP method: the answer of the action the request names, "error" when no handler ran or
// one failed, or a "RESPONSE" document with a registry error when no database is configured.
std::string DoKonferenzAction(const std::string& Request);

// DoKonferenzAction on a given table, once the database configuration has been looked at. An
// action that sends mail and finds no turn of mail_bound throws soap::TSoapServiceBusy before its
// handler runs.
std::string DispatchKonferenzAction(std::string_view request, bool database_configured,
                                    std::span<const TKonferenzAction> table,
                                    TMailBound& mail_bound = RequestMailBound());

}  // namespace parlevo
