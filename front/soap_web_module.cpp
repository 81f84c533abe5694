#include "front/soap_web_module.h"

#include "front/soap_impl.h"
#include "webservice/soap.h"

namespace parlevo {

bool TSOAPWebModule::HandleRequest(const THttpRequest& request, THttpResponse& response) {
  const std::string host = request.get_header_value("Host");
  const soap::TSoapHttpResponse answer = soap::HandleSoapRequest(
      {request.method, request.path, host, request.body}, ConferenceServiceMethods());
  response.status = answer.status;
  response.set_content(answer.body, answer.content_type);
  // A refusal for want of room (the mail bound): the call may come again shortly.
  if (answer.status == 503) response.set_header("Retry-After", "1");
  return true;
}

TWebModuleClass SOAPWebModuleClass() {
  return [] { return std::make_unique<TSOAPWebModule>(); };
}

}  // namespace parlevo
