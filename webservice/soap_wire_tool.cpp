// Test peer for the SOAP layer: lets a real SOAP client (soap_zeep_test.py) read the WSDL and
// send calls without an HTTP server. Every method echoes its name and arguments; the request
// "raise" makes DoKonferenzAction throw.
//
//   soap_wire_tool wsdl HOST   prints the WSDL
//   soap_wire_tool call        reads an envelope from stdin, prints the status, the content type
//                              and the body, each of the first two on a line of its own
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "webservice/soap.h"

namespace {

using parlevo::soap::TConferenceServiceMethods;

std::string Echo(const std::string& name, std::initializer_list<std::string> args) {
  std::string text = name + "(";
  bool first = true;
  for (const std::string& a : args) {
    text += (first ? "" : "|") + a;
    first = false;
  }
  return text + ")";
}

TConferenceServiceMethods EchoMethods() {
  TConferenceServiceMethods m;
  m.GetLanguage = [](const std::string& code) { return Echo("GetLanguage", {code}); };
  m.DoKonferenzAction = [](const std::string& request) {
    if (request == "raise") throw std::runtime_error("action failed <&>");
    return Echo("DoKonferenzAction", {request});
  };
  m.TranslateLanguageCode = [](const std::string& code, const std::string& language) {
    return Echo("TranslateLanguageCode", {code, language});
  };
  m.GetTemplateLanguages = [] { return Echo("GetTemplateLanguages", {}); };
  m.GetConferenceIDFromMemberPIN = [](const std::string& pin) {
    return Echo("GetConferenceIDFromMemberPIN", {pin});
  };
  m.getLatestVersion = [] { return Echo("getLatestVersion", {}); };
  m.getAmPm = [] { return Echo("getAmPm", {}); };
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "wsdl" && argc > 2) {
    std::cout << parlevo::soap::GenerateWsdl(argv[2]);
    return 0;
  }
  if (mode == "call") {
    const std::string body{std::istreambuf_iterator<char>(std::cin), {}};
    const auto response = parlevo::soap::InvokeSoapCall(body, EchoMethods());
    std::cout << response.status << "\n" << response.content_type << "\n" << response.body;
    return 0;
  }
  std::cerr << "usage: soap_wire_tool wsdl HOST | soap_wire_tool call < envelope\n";
  return 2;
}
