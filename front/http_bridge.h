// The HTTP server of the service: listens on one port (the transport of http_server.h, with its
// connection bounds, deadlines and size limits) and sends each request either to a fresh SOAP web
// module (paths naming the SOAP interface) or to the bound command handler (the static front end).
//
// Thread safety: SetDefaultPort, SetBindAddress, SetLimits, RegisterWebModuleClass and
// SetOnCommandGet are called before SetActive(true) from the owning thread; SetActive and the
// getters from that thread too. The module factory and the command handler are called on the
// transport's worker threads, many at once, and must be safe for that.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "front/http_server.h"
#include "service/service_parts.h"

namespace parlevo {

// A web module handles one request; a new one is made for every request routed to it.
class TWebModule {
 public:
  virtual ~TWebModule() = default;
  // True when the module handled the request (the response is then sent as it was filled).
  virtual bool HandleRequest(const THttpRequest& request, THttpResponse& response) = 0;
};

using TWebModuleClass = std::function<std::unique_ptr<TWebModule>()>;

// The lane a request runs on: SOAP calls of every method but DoKonferenzAction (the PBX's PIN
// lookup, the language and version calls, all short) take the lookup lane; the action calls of
// administration, which may wait on mail servers and locks, the WSDL and the front-end files take
// the general lane. Decided from the bytes alone, without parsing: a body that could name
// DoKonferenzAction in any way (its name in any letter case, an encoding other than an ASCII one,
// a size no lookup has) goes to the general lane.
THttpLane RequestLane(const THttpRequest& request);
using TCommandHandler = std::function<void(const THttpRequest&, THttpResponse&)>;

// The service object drives it through IServiceHttpServer.
class TIdHTTPWebBrokerBridge : public IServiceHttpServer {
 public:
  TIdHTTPWebBrokerBridge();
  // Stops listening, closes every connection and waits for the handlers still running.
  ~TIdHTTPWebBrokerBridge() override;
  TIdHTTPWebBrokerBridge(const TIdHTTPWebBrokerBridge&) = delete;
  TIdHTTPWebBrokerBridge& operator=(const TIdHTTPWebBrokerBridge&) = delete;

  // The port SetActive(true) listens on; 0 lets the system choose one (see BoundPort).
  void SetDefaultPort(uint16_t port) override { default_port_ = port; }
  uint16_t DefaultPort() const override { return default_port_; }
  // "0.0.0.0" (every IPv4 interface) unless set otherwise; tests bind "127.0.0.1".
  void SetBindAddress(std::string address) { bind_address_ = std::move(address); }
  // The transport's bounds; taken at the first activation.
  void SetLimits(const THttpLimits& limits) { limits_ = limits; }

  void RegisterWebModuleClass(TWebModuleClass module_class) {
    module_class_ = std::move(module_class);
  }
  // OnCommandGet: receives every request that is not for the SOAP module.
  void SetOnCommandGet(TCommandHandler handler) { on_command_get_ = std::move(handler); }

  // true: binds and listens; throws std::runtime_error when the port cannot be bound. false:
  // closes the port and every client connection at once; a handler still running finishes on
  // its worker, and its answer is dropped. Setting the state it already has does nothing.
  void SetActive(bool active) override;
  bool Active() const override { return server_ && server_->Listening(); }
  // The port actually listened on while active (DefaultPort, or the one chosen for port 0).
  uint16_t BoundPort() const { return bound_port_; }

  // The request entry, called on a worker thread for every request.
  void DoCommandGet(const THttpRequest& request, THttpResponse& response);

 private:
  uint16_t default_port_ = 0;
  uint16_t bound_port_ = 0;
  std::string bind_address_ = "0.0.0.0";
  THttpLimits limits_;
  TWebModuleClass module_class_;
  TCommandHandler on_command_get_;
  // Last, so that it is gone (its handlers finished) before the handlers' targets above.
  std::unique_ptr<THttpServer> server_;
};

}  // namespace parlevo
