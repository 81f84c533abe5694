#include "webservice/front/http_bridge.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "service/helpers.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

constexpr std::string_view kTrace = "[IdHTTPWebBrokerBridge][DoCommandGet] ";

// Every connection gets a thread of its own, so that a slow request (a mail being delivered, a
// long database statement) never holds up the others. shutdown waits for all of them.
class TConnectionThreads : public httplib::TaskQueue {
 public:
  TConnectionThreads() : state_(std::make_shared<State>()) {}

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard lock(state_->mutex);
      ++state_->running;
    }
    std::thread([state = state_, fn = std::move(fn)] {
      try {
        fn();
      } catch (...) {
        // The server catches what handlers throw; nothing may end the process from here.
      }
      std::lock_guard lock(state->mutex);
      if (--state->running == 0) state->idle.notify_all();
    }).detach();
  }

  void shutdown() override {
    std::unique_lock lock(state_->mutex);
    state_->idle.wait(lock, [&] { return state_->running == 0; });
  }

 private:
  // Shared with the threads, which touch it last, after shutdown may already have returned.
  struct State {
    std::mutex mutex;
    std::condition_variable idle;
    size_t running = 0;
  };
  std::shared_ptr<State> state_;
};

bool IsSoapDocument(const std::string& document) {
  const std::string lower = ApplyCaseMode(document, kCaseLower);
  return lower.find("wsdl/izyntconferenceservice") != std::string::npos ||
         lower.find("soap/izyntconferenceservice") != std::string::npos;
}

}  // namespace

TIdHTTPWebBrokerBridge::TIdHTTPWebBrokerBridge() = default;

TIdHTTPWebBrokerBridge::~TIdHTTPWebBrokerBridge() {
  Stop();
}

void TIdHTTPWebBrokerBridge::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    Start();
  } else {
    Stop();
  }
}

void TIdHTTPWebBrokerBridge::Start() {
  auto server = std::make_unique<httplib::Server>();
  server->new_task_queue = [] { return new TConnectionThreads(); };
  // The library's default also sets SO_REUSEPORT, which would let a second instance share the
  // port silently; a port in use must fail activation instead.
  // Answers go out in several writes; without this, Nagle's algorithm holds the last one back
  // until the client's delayed acknowledgement, some 40 ms per request.
  server->set_tcp_nodelay(true);
  // A client that keeps its connection should keep its thread: the library's default of five
  // requests per connection would make a busy client pay a new connection and thread every
  // fifth request.
  server->set_keep_alive_max_count(10000);
  auto listening = std::make_shared<socket_t>(INVALID_SOCKET);
  server->set_socket_options([listening](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    *listening = sock;
  });
  const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    DoCommandGet(req, res);
  };
  // Every path and method comes to DoCommandGet; HEAD travels with GET.
  server->Get(".*", handler);
  server->Post(".*", handler);
  server->Put(".*", handler);
  server->Patch(".*", handler);
  server->Delete(".*", handler);
  server->Options(".*", handler);

  int port = default_port_;
  bool bound = false;
  if (port == 0) {
    port = server->bind_to_any_port(bind_address_);
    bound = port > 0;
  } else {
    bound = server->bind_to_port(bind_address_, port);
  }
  if (!bound) {
    throw std::runtime_error("The HTTP server cannot listen on " + bind_address_ + " port " +
                             std::to_string(default_port_) +
                             ": the port is in use or needs rights the service lacks");
  }
  // The library (as built by the distribution) listens with a backlog of 5: when more clients
  // connect at once, the kernel drops their SYNs and they retry a second later, a one-second
  // stall. Listening again on the bound socket raises the backlog.
  if (*listening != INVALID_SOCKET) ::listen(*listening, SOMAXCONN);
  bound_port_ = static_cast<uint16_t>(port);
  httplib::Server* raw = server.get();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  listener_ = std::thread([raw, ended] {
    raw->listen_after_bind();
    ended->store(true);
  });
  // A stop before the loop runs would go unnoticed and leave the loop running for ever, so the
  // server counts as active only once it is listening.
  while (!raw->is_running() && !ended->load()) std::this_thread::yield();
  if (!raw->is_running()) {
    listener_.join();
    throw std::runtime_error("The HTTP server on port " + std::to_string(port) +
                             " stopped listening at once");
  }
  server_ = std::move(server);
}

void TIdHTTPWebBrokerBridge::Stop() {
  if (!server_) return;
  server_->stop();
  if (listener_.joinable()) listener_.join();
  server_.reset();
  bound_port_ = 0;
}

void TIdHTTPWebBrokerBridge::DoCommandGet(const httplib::Request& request,
                                          httplib::Response& response) {
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
