#include "front/http_server.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>

#include <algorithm>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "front/http_server_core.h"
#include "front/http_session.h"
#include "logging/lg_auto.h"
#include "platform/ascii_text.h"

namespace parlevo {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

// How long a stop lets a request being answered write its answer; stop as a whole stays within a
// second.
constexpr std::chrono::milliseconds kAnswerGrace{750};

}  // namespace

size_t THttpServer::Core::StartIoThreads(size_t count) {
  count = std::min(count, iocs.size());
  while (io_threads.size() < count) {
    asio::io_context& ctx = *iocs[io_threads.size()];
    work.push_back(asio::make_work_guard(ctx));
    try {
      io_threads.emplace_back([&ctx] {
        // A failure outside the connections' own steps (which end their connection) must not
        // end the others either.
        for (;;) {
          try {
            ctx.run();
            return;
          } catch (...) {
            logging::MainSession().LogException("HTTP I/O thread");
          }
        }
      });
    } catch (const std::system_error&) {
      work.pop_back();
      break;
    }
  }
  return io_threads.size();
}

void THttpServer::Core::StopIoThreads() {
  work.clear();
  for (auto& ioc : iocs) ioc->stop();
  for (auto& t : io_threads) {
    if (t.joinable()) t.join();
  }
  io_threads.clear();
  for (auto& ioc : iocs) ioc->restart();
}

void THttpServer::Core::Accept() {
  asio::io_context& target = *iocs[1 + next_context++ % connection_contexts];
  try {
    acceptor->async_accept(
        target, [this, gen = generation](beast::error_code ec, tcp::socket socket) {
          if (!acceptor || gen != generation || ec == asio::error::operation_aborted) return;
          if (ec == asio::error::connection_aborted) return Accept();
          if (ec) return RetryAcceptLater();
          try {
            Admit(std::move(socket));
          } catch (...) {
            // No memory for this connection: it is closed with the socket; the next may fare
            // better.
            logging::MainSession().LogException("HTTP connection not admitted");
          }
          Accept();
        });
  } catch (...) {
    logging::MainSession().LogException("HTTP listener");
    RetryAcceptLater();
  }
}

// Out of descriptors or memory: the pending connections wait in the backlog until some are free
// again, instead of the listener spinning on the failure.
void THttpServer::Core::RetryAcceptLater() {
  backoff.expires_after(limits.accept_backoff);
  backoff.async_wait([this, gen = generation](beast::error_code ec) {
    if (!ec && acceptor && gen == generation) Accept();
  });
}

// When the bound or the address's share is reached, the connection that has waited longest
// for its request head makes room: slow or idle clients cannot keep fresh ones out, and a request
// whose head is in is never given up for a newcomer. Only when no connection of the kind waits
// is the newcomer refused.
void THttpServer::Core::Admit(tcp::socket socket) {
  beast::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // gone already
  std::string address = peer.address().to_string();
  std::shared_ptr<THttpSession> session;
  std::shared_ptr<THttpSession> displaced;
  {
    std::lock_guard lock(registry_mutex);
    AddressSlots& slots = per_address[address];
    bool room = true;
    if (slots.held >= share) {
      displaced = DisplaceLocked(slots.waiting);
      room = displaced != nullptr;
    } else if (sessions.size() >= bound) {
      displaced = DisplaceLocked(waiting);
      room = displaced != nullptr;
    }
    if (room) {
      socket.set_option(tcp::no_delay(true), ec);
      session = std::make_shared<THttpSession>(*this, std::move(socket), address);
      sessions.insert(session);
      session->place_.registered = true;
      ++slots.held;
      EnterWaitingLocked(*session, slots);
    } else if (slots.held == 0) {
      per_address.erase(address);
    }
    if (displaced && displaced->Address() != address) {
      auto of_displaced = per_address.find(displaced->Address());
      if (of_displaced != per_address.end() && of_displaced->second.held == 0)
        per_address.erase(of_displaced);
    }
  }
  if (displaced) asio::post(displaced->Executor(), [displaced] { displaced->Close(); });
  if (!session) {
    // One try without waiting: a client that does not read gets the close alone.
    static constexpr std::string_view kBusy =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)::send(socket.native_handle(), kBusy.data(), kBusy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    socket.close(ec);
    return;
  }
  asio::post(session->Executor(), [session] { session->Start(); });
}

// Takes the longest waiting connection of the list out of the registry; its close is the
// caller's to post. Null when none waits.
std::shared_ptr<THttpSession> THttpServer::Core::DisplaceLocked(std::list<THttpSession*>& from) {
  if (from.empty()) return nullptr;
  THttpSession& oldest = *from.front();
  UnlistLocked(oldest);
  oldest.place_.registered = false;
  std::shared_ptr<THttpSession> victim = oldest.shared_from_this();
  sessions.erase(victim);
  auto slots = per_address.find(oldest.Address());
  if (slots != per_address.end()) --slots->second.held;
  return victim;
}

void THttpServer::Core::EnterWaitingLocked(THttpSession& session, AddressSlots& slots) {
  auto& place = session.place_;
  if (place.listed || !place.registered) return;
  place.in_all = waiting.insert(waiting.end(), &session);
  place.in_address = slots.waiting.insert(slots.waiting.end(), &session);
  place.listed = true;
}

void THttpServer::Core::UnlistLocked(THttpSession& session) {
  auto& place = session.place_;
  if (!place.listed) return;
  waiting.erase(place.in_all);
  auto slots = per_address.find(session.Address());
  if (slots != per_address.end()) slots->second.waiting.erase(place.in_address);
  place.listed = false;
}

void THttpServer::Core::EnterWaiting(THttpSession& session) {
  std::lock_guard lock(registry_mutex);
  auto slots = per_address.find(session.Address());
  if (slots == per_address.end()) return;  // gone already
  EnterWaitingLocked(session, slots->second);
}

bool THttpServer::Core::LeaveWaiting(THttpSession& session) noexcept {
  std::lock_guard lock(registry_mutex);
  if (!session.place_.registered) return false;
  UnlistLocked(session);
  return true;
}

void THttpServer::Core::Forget(const std::shared_ptr<THttpSession>& session) noexcept {
  std::lock_guard lock(registry_mutex);
  UnlistLocked(*session);
  session->place_.registered = false;
  if (sessions.erase(session) == 0) return;
  auto slots = per_address.find(session->Address());
  if (slots != per_address.end() && --slots->second.held == 0) per_address.erase(slots);
}

// Each connection is closed on its own thread; returns when all are. A request being answered
// keeps its connection for the grace period, so that a caller whose work was cut short by the stop
// (a mail send interrupted, say) still learns how it ended.
void THttpServer::Core::CloseAll(std::chrono::milliseconds grace) {
  const auto deadline = std::chrono::steady_clock::now() + grace;
  for (bool last = grace.count() == 0;; last = true) {
    std::set<std::shared_ptr<THttpSession>> open;
    {
      std::lock_guard lock(registry_mutex);
      open = sessions;
    }
    std::vector<std::future<void>> closed;
    closed.reserve(open.size());
    bool answering = false;
    for (const auto& session : open) {
      if (!last && session->Answering()) {
        answering = true;
        continue;
      }
      auto done = std::make_shared<std::promise<void>>();
      closed.push_back(done->get_future());
      asio::post(session->Executor(), [session, done] {
        session->Close();
        done->set_value();
      });
    }
    for (auto& f : closed) f.wait();
    if (last || !answering) return;
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::lock_guard lock(registry_mutex);
      if (std::none_of(sessions.begin(), sessions.end(),
                       [](const auto& session) { return session->Answering(); })) {
        break;
      }
    }
  }
}

std::string THttpRequest::get_header_value(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoreCaseAscii(key, name)) return value;
  }
  return {};
}

void THttpResponse::set_header(std::string_view name, std::string value) {
  std::erase_if(headers,
                [&](const auto& field) { return EqualsIgnoreCaseAscii(field.first, name); });
  headers.emplace_back(std::string(name), std::move(value));
}

std::string THttpResponse::get_header_value(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoreCaseAscii(key, name)) return value;
  }
  return {};
}

void THttpResponse::set_content(std::string content, std::string content_type) {
  body = std::move(content);
  set_header("Content-Type", std::move(content_type));
}

void THttpResponse::set_file(std::filesystem::path file, std::string content_type) {
  body.clear();
  body_file = std::move(file);
  set_header("Content-Type", std::move(content_type));
}

THttpServer::THttpServer(THttpLimits limits, THttpHandler handler, THttpLaneOf lane_of)
    : core_(std::make_unique<Core>(limits, std::move(handler), std::move(lane_of))) {}

THttpServer::~THttpServer() {
  Stop();
  // Handlers still running finish first; their answers go to closed connections.
  core_->workers.StopAndJoin();
  core_->StopIoThreads();
}

uint16_t THttpServer::Listen(const std::string& address, uint16_t port) {
  if (listening_) throw std::runtime_error("The HTTP server listens already");
  Core& core = *core_;
  // Under a task limit the connections' threads, which run the lookup lane, come before the
  // general lane's workers take the rest; the listener, one connection thread and one worker
  // are needed at least.
  if (core.StartIoThreads(2) < 2 || core.workers.Grow(1) == 0) {
    throw std::runtime_error("The HTTP server cannot start a thread for its requests");
  }
  core.connection_contexts = core.StartIoThreads(core.iocs.size()) - 1;
  core.workers.Grow(std::max(core.limits.worker_threads, 1u));

  size_t bound = std::max<size_t>(core.limits.max_connections, 1);
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    const size_t usable = files.rlim_cur > core.limits.reserved_descriptors + 16
                              ? files.rlim_cur - core.limits.reserved_descriptors
                              : 16;
    bound = std::min(bound, usable);
  }
  core.bound = bound;
  core.share = std::min(std::max<size_t>(core.limits.max_connections_per_address, 1),
                        std::max<size_t>(bound / 2, 1));

  const uint16_t bound_port = core.RunOnListener([&core, &address, port]() -> uint16_t {
    beast::error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (ec) {
      throw std::runtime_error("The HTTP server cannot listen on " + address + ": " + ec.message());
    }
    tcp::acceptor acceptor(core.ListenerContext());
    const tcp::endpoint endpoint(ip, port);
    acceptor.open(endpoint.protocol(), ec);
    // No SO_REUSEPORT: a second instance on the same port must fail, not share it silently.
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      throw std::runtime_error("The HTTP server cannot listen on " + address + " port " +
                               std::to_string(port) + ": " + ec.message());
    }
    const uint16_t chosen = acceptor.local_endpoint().port();
    core.acceptor.emplace(std::move(acceptor));
    ++core.generation;
    core.Accept();
    return chosen;
  });
  listening_ = true;
  return bound_port;
}

void THttpServer::Stop() {
  if (!listening_) return;
  Core& core = *core_;
  core.stopping = true;
  core.RunOnListener([&core] {
    ++core.generation;
    beast::error_code ignored;
    if (core.acceptor) core.acceptor->close(ignored);
    core.acceptor.reset();
    core.backoff.cancel();
  });
  // No connection is admitted any more, so none escapes this.
  core.CloseAll(kAnswerGrace);
  core.stopping = false;
  listening_ = false;
}

size_t THttpServer::ConnectionBound() const {
  return core_->bound;
}

size_t THttpServer::AddressShare() const {
  return core_->share;
}

}  // namespace parlevo
