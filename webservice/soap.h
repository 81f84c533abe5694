// The SOAP 1.1 side of the web service: one table describes the interface IZYNTConferenceService
// (its methods in order, their parameter names and types, their result types), and from that
// table this unit decodes rpc-style calls, encodes answers and faults, and writes the WSDL
// (rpc/encoded) and the service's HTML information page. It knows nothing of HTTP transport:
// the front hands a request in and sends the returned status, content type and body.
//
// Thread safety: every function may be called from any thread at the same time; the method
// callables are invoked on the calling thread and must be safe to run concurrently themselves.
#pragma once

#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo::soap {

inline constexpr std::string_view kInterfaceName = "IZYNTConferenceService";
inline constexpr std::string_view kInterfaceNamespace = "urn:SOAPIntf-IZYNTConferenceService";

// The implementation of IZYNTConferenceService, one callable per method. A method whose callable
// is empty answers with a server fault; an exception thrown by a callable becomes a server fault
// carrying its message.
struct TConferenceServiceMethods {
  std::function<std::string(const std::string& languageCode)> GetLanguage;
  std::function<std::string(const std::string& Request)> DoKonferenzAction;
  std::function<std::string(const std::string& languageCode, const std::string& translatedLanguage)>
      TranslateLanguageCode;
  std::function<std::string()> GetTemplateLanguages;
  std::function<std::string(const std::string& strMemberPIN)> GetConferenceIDFromMemberPIN;
  std::function<std::string()> getLatestVersion;
  std::function<std::string()> getAmPm;
};

// Thrown by a method that cannot be served now because a bound on work running at once is
// reached; the call answers 503 with a SOAP-ENV:Server fault carrying the message, and the
// method did nothing, so the client may send the call again.
class TSoapServiceBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TSoapType { String, Int };

struct TSoapParameter {
  std::string_view name;
  TSoapType type;
};

// One row of the interface table. Arguments reach invoke in the order of parameters, as text.
struct TSoapMethod {
  std::string_view name;
  std::vector<TSoapParameter> parameters;
  TSoapType result;
  std::string (*invoke)(const TConferenceServiceMethods& methods,
                        const std::vector<std::string>& arguments);
};

// The methods of IZYNTConferenceService in the interface's order.
std::span<const TSoapMethod> ConferenceServiceTable();

struct TSoapHttpRequest {
  std::string_view method;  // HTTP method, e.g. "POST"
  std::string_view path;    // request path, e.g. "/soap/IZYNTConferenceService"
  std::string_view host;    // Host header, port included; names the service in the WSDL
  std::string_view body;
};

struct TSoapHttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
};

// The SOAP module's entry for a request routed to it. A path with "wsdl/izyntconferenceservice"
// (any case) gets the WSDL; "soap/izyntconferenceservice" gets a call (POST) or the information
// page (any other method); anything else 404.
TSoapHttpResponse HandleSoapRequest(const TSoapHttpRequest& request,
                                    const TConferenceServiceMethods& methods);

// Decodes an rpc-style SOAP envelope, runs the method and encodes its answer or the fault
// (status 500: faultcode SOAP-ENV:Client for an envelope that is not XML, not a SOAP envelope or
// names no known method; SOAP-ENV:Server when the method fails; status 503 with SOAP-ENV:Server
// when it throws TSoapServiceBusy). The SOAPAction header is not
// needed: the body's first element names the method.
TSoapHttpResponse InvokeSoapCall(std::string_view envelope,
                                 const TConferenceServiceMethods& methods);

// The WSDL, with the service at "http://" + host + "/soap/IZYNTConferenceService".
std::string GenerateWsdl(std::string_view host);

// The HTML page listing the interface, its methods and the link to its WSDL.
std::string ServiceInfoPage();

}  // namespace parlevo::soap
