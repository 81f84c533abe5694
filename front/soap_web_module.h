// The SOAP web module: the HTTP front makes one for every request whose path names the SOAP
// interface, and it answers with the WSDL, the service information page or the result of a call
// of IZYNTConferenceService on a fresh TZYNTConferenceService.
//
// Thread safety: one module serves one request on one thread; any number exist at once.
#pragma once

#include "front/http_bridge.h"

namespace parlevo {

class TSOAPWebModule : public TWebModule {
 public:
  bool HandleRequest(const THttpRequest& request, THttpResponse& response) override;
};

// What RegisterWebModuleClass takes to make a TSOAPWebModule per request.
TWebModuleClass SOAPWebModuleClass();

}  // namespace parlevo
