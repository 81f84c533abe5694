// The HTTP server of the service: listens on one port, runs every connection on a thread of its
// own and sends each request either to a fresh SOAP web module (paths naming the SOAP interface)
// or to the bound command handler (the static front end).
//
// Thread safety: SetDefaultPort, SetBindAddress, RegisterWebModuleClass and SetOnCommandGet are
// called before SetActive(true) from the owning thread; SetActive and the getters from that
// thread too. The module factory and the command handler are called on connection threads, many
// at once, and must be safe for that.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "service/zynt_parlevo.h"

namespace httplib {
struct Request;
struct Response;
class Server;
}  // namespace httplib

namespace parlevo {

// A web module handles one request; a new one is made for every request routed to it.
class TWebModule {
 public:
  virtual ~TWebModule() = default;
  // True when the module handled the request (the response is then sent as it was filled).
  virtual bool HandleRequest(const httplib::Request& request, httplib::Response& response) = 0;
};

using TWebModuleClass = std::function<std::unique_ptr<TWebModule>()>;
using TCommandHandler = std::function<void(const httplib::Request&, httplib::Response&)>;

// The service object drives it through IServiceHttpServer.
class TIdHTTPWebBrokerBridge : public IServiceHttpServer {
 public:
  TIdHTTPWebBrokerBridge();
  ~TIdHTTPWebBrokerBridge() override;  // stops listening and waits for every connection thread
  TIdHTTPWebBrokerBridge(const TIdHTTPWebBrokerBridge&) = delete;
  TIdHTTPWebBrokerBridge& operator=(const TIdHTTPWebBrokerBridge&) = delete;

  // The port SetActive(true) listens on; 0 lets the system choose one (see BoundPort).
  void SetDefaultPort(uint16_t port) override { default_port_ = port; }
  uint16_t DefaultPort() const override { return default_port_; }
  // "0.0.0.0" (every IPv4 interface) unless set otherwise; tests bind "127.0.0.1".
  void SetBindAddress(std::string address) { bind_address_ = std::move(address); }

  void RegisterWebModuleClass(TWebModuleClass module_class) {
    module_class_ = std::move(module_class);
  }
  // OnCommandGet: receives every request that is not for the SOAP module.
  void SetOnCommandGet(TCommandHandler handler) { on_command_get_ = std::move(handler); }

  // true: binds and listens in a background thread; throws std::runtime_error when the port
  // cannot be bound. false: stops listening and waits for the running connections to end.
  // Setting the state it already has does nothing.
  void SetActive(bool active) override;
  bool Active() const override { return server_ != nullptr; }
  // The port actually listened on while active (DefaultPort, or the one chosen for port 0).
  uint16_t BoundPort() const { return bound_port_; }

  // The request entry, called on the connection's thread for every request.
  void DoCommandGet(const httplib::Request& request, httplib::Response& response);

 private:
  void Start();
  void Stop();

  uint16_t default_port_ = 0;
  uint16_t bound_port_ = 0;
  std::string bind_address_ = "0.0.0.0";
  TWebModuleClass module_class_;
  TCommandHandler on_command_get_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
};

}  // namespace parlevo
