#include "webservice/action_request.h"

#include "webservice/helpers_conf_ex.h"

namespace parlevo {

void PrepareActionDocuments(std::string_view request_text, bool declared,
                            pugi::xml_document& request, pugi::xml_document& response) {
  LoadRequestDocument(request, request_text);
  response.reset();
  if (declared) {
    pugi::xml_node decl = response.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
  }
  response.append_child("RESPONSE");
}

std::string RunActionRequest(const TActionHandler& handler, std::string_view request_text,
                             pugi::xml_document* response) {
  pugi::xml_document request;
  pugi::xml_document own_response;
  pugi::xml_document& answer = response != nullptr ? *response : own_response;
  PrepareActionDocuments(request_text, false, request, answer);
  std::string result = "error";
  handler(request, answer, result);
  return result;
}

}  // namespace parlevo
