#include "front/http_bridge.h"

#include <algorithm>
#include <cstring>
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

// Far above any call of the lookup lane's methods.
constexpr size_t kLookupBodyBytes = 64 * 1024;

bool ContainsIgnoreCaseAscii(std::string_view text, std::string_view lower_word) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return std::search(text.begin(), text.end(), lower_word.begin(), lower_word.end(),
                     [&](char a, char b) { return lower(a) == b; }) != text.end();
}

}  // namespace

THttpLane RequestLane(const THttpRequest& request) {
  const std::string_view body = request.body;
  const bool call = request.method == "POST" &&
                    ContainsIgnoreCaseAscii(request.path, "soap/izyntconferenceservice");
  // Element names cannot be written with character references, so an envelope in an ASCII
  // encoding that calls DoKonferenzAction holds its name as such; UTF-16 and UTF-32 hold NULs.
  if (call && body.size() <= kLookupBodyBytes &&
      std::memchr(body.data(), '\0', body.size()) == nullptr &&
      !ContainsIgnoreCaseAscii(body, "dokonferenzaction")) {
    return THttpLane::kLookup;
  }
  return THttpLane::kGeneral;
}

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
        limits_,
        [this](const THttpRequest& request, THttpResponse& response) {
          DoCommandGet(request, response);
        },
        RequestLane);
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
