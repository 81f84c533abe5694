#include "webservice/front/http_bridge.h"

#include <exception>
#include <string>

#include "service/helpers.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

constexpr std::string_view kTrace = "[IdHTTPWebBrokerBridge][DoCommandGet] ";

bool IsSoapDocument(const std::string& document) {
  const std::string lower = ApplyCaseMode(document, kCaseLower);
  return lower.find("wsdl/izyntconferenceservice") != std::string::npos ||
         lower.find("soap/izyntconferenceservice") != std::string::npos;
}

}  // namespace

TIdHTTPWebBrokerBridge::TIdHTTPWebBrokerBridge() = default;

TIdHTTPWebBrokerBridge::~TIdHTTPWebBrokerBridge() = default;

void TIdHTTPWebBrokerBridge::SetActive(bool active) {
  if (active == Active()) return;
  if (!active) {
    server_->Stop();
    bound_port_ = 0;
    return;
  }
  if (!server_) {
    server_ = std::make_unique<THttpServer>(
        limits_, [this](const THttpRequest& request, THttpResponse& response) {
          DoCommandGet(request, response);
        });
  }
  bound_port_ = server_->Listen(bind_address_, default_port_);
}

void TIdHTTPWebBrokerBridge::DoCommandGet(const THttpRequest& request, THttpResponse& response) {
  WriteDebugLog(std::string(kTrace) + "Document requested: " + request.path);
  if (!IsSoapDocument(request.path)) {
    WriteDebugLog(std::string(kTrace) + "This is a HTTP-Request");
    if (on_command_get_) on_command_get_(request, response);
    return;
  }

  WriteDebugLog(std::string(kTrace) + "This is a SOAP-Request");
  std::unique_ptr<TWebModule> module;
  try {
    if (module_class_) module = module_class_();
  } catch (const std::exception& e) {
    WriteDebugLog(std::string(kTrace) + "SOAP Exception: " + e.what());
  } catch (...) {
    WriteDebugLog(std::string(kTrace) + "SOAP Exception: unknown exception");
  }
  if (!module) return;
  try {
    module->HandleRequest(request, response);
  } catch (const std::exception& e) {
    WriteDebugLog(std::string(kTrace) + "SOAP Exception: " + e.what());
  } catch (...) {
    WriteDebugLog(std::string(kTrace) + "SOAP Exception: unknown exception");
  }
}

}  // namespace parlevo
