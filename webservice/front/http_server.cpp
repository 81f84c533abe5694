#include "webservice/front/http_server.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace parlevo {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// How long a stop lets a request being answered write its answer; stop as a whole stays within a
// second.
constexpr std::chrono::milliseconds kAnswerGrace{750};

std::string_view View(beast::string_view s) {
  return {s.data(), s.size()};
}

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Every escape becomes its byte, whatever byte that is (the handlers decide what a newline or a
// NUL in a name means); a "%" without two hex digits stays as it is.
std::string PercentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// A field value must not end the header early: a line break would let a file name or a handler's
// text write header fields of its own.
std::string FieldValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return out;
}

std::chrono::milliseconds Allowance(const THttpLimits& limits, uint64_t bytes) {
  const uint64_t rate = std::max<size_t>(limits.body_bytes_per_second, 1);
  return limits.body_timeout + std::chrono::milliseconds(bytes * 1000 / rate);
}

// Threads that run the handlers. Tasks still queued when it stops are dropped: they belong to
// connections that Stop has closed.
class TWorkerPool {
 public:
  ~TWorkerPool() { StopAndJoin(); }

  // Starts threads up to count in all; returns how many run. A refusal of the system (a task
  // limit) ends the starting, not the process.
  size_t Grow(unsigned count) {
    while (threads_.size() < count) {
      try {
        threads_.emplace_back([this] { Run(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    return threads_.size();
  }

  void Post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

  void StopAndJoin() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
    threads_.clear();
    std::deque<std::function<void()>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(tasks_);
  }

 private:
  void Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (stopping_) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

class TSession;

}  // namespace

// One I/O thread per io_context; a connection stays on the context it was accepted into, so its
// steps never run at the same time. The listener has the first context to itself, so that a burst
// of connections (hostile clients coming back) holds up no request. The handler runs on the
// workers.
struct THttpServer::Core {
  Core(THttpLimits l, THttpHandler h)
      : limits(l), handler(std::move(h)), iocs(MakeContexts(std::max(limits.io_threads, 1u) + 1)) {}

  static std::vector<std::unique_ptr<asio::io_context>> MakeContexts(unsigned count) {
    std::vector<std::unique_ptr<asio::io_context>> made;
    for (unsigned i = 0; i < std::max(count, 1u); ++i) {
      made.push_back(std::make_unique<asio::io_context>(1));
      // A context makes its poller (descriptors of its own) on first use; made here, it cannot
      // fail later for want of descriptors, when a connection is handed to it.
      asio::steady_timer warm_up(*made.back());
    }
    return made;
  }

  asio::io_context& ListenerContext() { return *iocs.front(); }
  void StartIoThreads();
  void StopIoThreads();
  void Accept();
  void RetryAcceptLater();
  void Admit(tcp::socket socket);
  void Forget(const std::shared_ptr<TSession>& session, const std::string& address);
  // Closes every connection; one whose request is being answered gets up to `grace` first.
  void CloseAll(std::chrono::milliseconds grace = std::chrono::milliseconds(0));

  // Runs fn on the listener's thread and waits for it; its exception passes to the caller.
  template <typename Fn>
  auto RunOnListener(Fn fn) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto done = task.get_future();
    asio::post(ListenerContext(), [&task] { task(); });
    return done.get();
  }

  const THttpLimits limits;
  const THttpHandler handler;
  // Declared first: sockets and timers below need them until they are gone.
  std::vector<std::unique_ptr<asio::io_context>> iocs;
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<std::thread> io_threads;
  TWorkerPool workers;

  // Listener thread only.
  std::optional<tcp::acceptor> acceptor;
  asio::steady_timer backoff{ListenerContext()};
  uint64_t generation = 0;
  size_t next_context = 0;

  // Touched from every I/O thread.
  std::mutex registry_mutex;
  std::set<std::shared_ptr<TSession>> sessions;
  std::map<std::string, size_t> per_address;
  std::atomic<size_t> bound{0};
  std::atomic<bool> stopping{false};
  std::atomic<size_t> share{0};
};

namespace {

class TSession : public std::enable_shared_from_this<TSession> {
 public:
  TSession(THttpServer::Core& core, tcp::socket socket, std::string address)
      : core_(core),
        stream_(std::move(socket)),
        deadline_(stream_.get_executor()),
        address_(std::move(address)) {}

  void Start() {
    if (!closed_) ReadHead();
  }

  asio::any_io_executor Executor() { return stream_.get_executor(); }

  void Close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    stream_.shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close(ignored);
    deadline_.cancel();
    core_.Forget(shared_from_this(), address_);
  }

  bool Answering() const { return answering_; }

  // The handler's answer, back on the I/O thread.
  void Answer(THttpResponse response) {
    if (closed_) return;
    auto res = std::make_shared<http::response<http::string_body>>();
    res->version(version_);
    res->result(static_cast<unsigned>(std::clamp(response.status, 100, 999)));
    for (auto& [name, value] : response.headers) {
      if (SameName(name, "Content-Length") || SameName(name, "Connection") ||
          SameName(name, "Transfer-Encoding"))
        continue;
      res->insert(FieldValue(name), FieldValue(value));
    }
    // HEAD answers carry the length of what GET would send (set by the handler, or of the body
    // it made), without the bytes.
    std::string length = std::to_string(response.body.size());
    if (head_request_) {
      const std::string given = response.get_header_value("Content-Length");
      if (!given.empty()) length = FieldValue(given);
    } else {
      res->body() = std::move(response.body);
    }
    res->set(http::field::content_length, length);
    if (core_.stopping) keep_alive_ = false;
    res->keep_alive(keep_alive_);
    Write(std::move(res));
  }

 private:
  // One timer per phase (head, body, answer), not per read: a client is cut off when the phase
  // as a whole is late, however its bytes trickle in.
  template <typename Duration>
  void ExpiresAfter(Duration allowance) {
    deadline_.expires_after(allowance);
    deadline_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->Close();
    });
  }

  void ReadHead() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(core_.limits.max_head_bytes));
    parser_->body_limit(core_.limits.max_body_bytes);
    ExpiresAfter(core_.limits.head_timeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
  }

  void OnHead(beast::error_code ec) {
    if (closed_) return;
    if (ec == http::error::header_limit)
      return Refuse(http::status::request_header_fields_too_large);
    // The parser knows a declared length too large from the head alone.
    if (ec == http::error::body_limit) return Refuse(http::status::payload_too_large);
    // A malformed head gets its 400; a client that left or ran out of time has nobody to tell.
    const bool malformed =
        ec && ec.category() == http::make_error_code(http::error::bad_method).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message;
    if (malformed) return Refuse(http::status::bad_request);
    if (ec) return Close();

    const auto& req = parser_->get();
    version_ = req.version();
    head_request_ = req.method() == http::verb::head;
    keep_alive_ = req.keep_alive();
    if (static_cast<size_t>(std::distance(req.begin(), req.end())) > core_.limits.max_header_fields)
      return Refuse(http::status::request_header_fields_too_large);
    // Inflating is not offered: a small compressed body could grow without bound.
    for (const auto& field : req) {
      if (field.name() == http::field::content_encoding &&
          !SameName(View(field.value()), "identity"))
        return Refuse(http::status::unsupported_media_type);
    }
    const auto declared = parser_->content_length();
    if (declared && *declared > core_.limits.max_body_bytes)
      return Refuse(http::status::payload_too_large);
    if (parser_->is_done()) return Dispatch();

    const auto expect = req.find(http::field::expect);
    if (version_ >= 11 && expect != req.end() && SameName(View(expect->value()), "100-continue")) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                        [self = shared_from_this()](beast::error_code ec, size_t) {
                          if (self->closed_) return;
                          if (ec) return self->Close();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    const auto declared = parser_->content_length();
    ExpiresAfter(Allowance(core_.limits, declared ? *declared : core_.limits.max_body_bytes));
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnBody(ec); });
  }

  void OnBody(beast::error_code ec) {
    if (closed_) return;
    if (ec == http::error::body_limit) return Refuse(http::status::payload_too_large);
    if (ec) return Close();
    Dispatch();
  }

  // The handler blocks (database, files), so it runs on a worker; the connection waits without
  // a deadline meanwhile, since the time is the service's own.
  void Dispatch() {
    deadline_.cancel();
    answering_ = true;
    auto message = parser_->release();
    parser_.reset();
    THttpRequest request;
    request.method = std::string(View(message.method_string()));
    request.target = std::string(View(message.target()));
    const std::string_view target = request.target;
    request.path = PercentDecoded(target.substr(0, target.find('?')));
    for (const auto& field : message) {
      request.headers.emplace_back(std::string(View(field.name_string())),
                                   std::string(View(field.value())));
    }
    request.body = std::move(message.body());
    request.remote_address = address_;
    core_.workers.Post([self = shared_from_this(), request = std::move(request)]() mutable {
      THttpResponse response;
      try {
        self->core_.handler(request, response);
      } catch (...) {
        response = THttpResponse{};
        response.status = 500;
      }
      asio::post(self->Executor(), [self, response = std::move(response)]() mutable {
        self->Answer(std::move(response));
      });
    });
  }

  void Write(std::shared_ptr<http::response<http::string_body>> res) {
    ExpiresAfter(Allowance(core_.limits, res->body().size()));
    auto& message = *res;
    http::async_write(stream_, message,
                      [self = shared_from_this(), res = std::move(res)](
                          beast::error_code ec, size_t) { self->OnWritten(ec); });
  }

  void OnWritten(beast::error_code ec) {
    answering_ = false;
    if (closed_) return;
    if (ec) return Close();
    if (refused_) return Linger();
    if (!keep_alive_) return Close();
    ReadHead();
  }

  // An answer before the request was read through: the connection ends after it.
  void Refuse(http::status status) {
    refused_ = true;
    keep_alive_ = false;
    head_request_ = false;
    THttpResponse response;
    response.status = static_cast<int>(status);
    Answer(std::move(response));
  }

  // Closing at once with the client's bytes unread would reset the connection and could destroy
  // the answer before the client reads it; so the rest is read and thrown away for a short while.
  void Linger() {
    beast::error_code ignored;
    stream_.shutdown(tcp::socket::shutdown_send, ignored);
    ExpiresAfter(std::chrono::seconds(2));
    drain_ = std::make_unique<std::array<char, 16384>>();
    Drain();
  }

  void Drain() {
    stream_.async_read_some(asio::buffer(*drain_),
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (self->closed_) return;
                              if (ec) return self->Close();
                              self->Drain();
                            });
  }

  THttpServer::Core& core_;
  tcp::socket stream_;
  asio::steady_timer deadline_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::unique_ptr<std::array<char, 16384>> drain_;
  const std::string address_;
  unsigned version_ = 11;
  bool closed_ = false;
  bool keep_alive_ = false;
  // From the whole request until its answer is written: what a stop waits for, briefly.
  std::atomic<bool> answering_{false};
  bool head_request_ = false;
  bool refused_ = false;
};

}  // namespace

void THttpServer::Core::StartIoThreads() {
  if (!io_threads.empty()) return;
  for (auto& ioc : iocs) work.push_back(asio::make_work_guard(*ioc));
  try {
    for (auto& ioc : iocs) {
      io_threads.emplace_back([&ctx = *ioc] {
        // A failure inside one connection's step must not end the others.
        for (;;) {
          try {
            ctx.run();
            return;
          } catch (...) {
          }
        }
      });
    }
  } catch (const std::system_error& e) {
    StopIoThreads();
    throw std::runtime_error(std::string("The HTTP server cannot start its threads: ") + e.what());
  }
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
  asio::io_context& target = *iocs[1 + next_context++ % (iocs.size() - 1)];
  try {
    acceptor->async_accept(
        target, [this, gen = generation](beast::error_code ec, tcp::socket socket) {
          if (!acceptor || gen != generation || ec == asio::error::operation_aborted) return;
          if (ec == asio::error::connection_aborted) return Accept();
          if (ec) return RetryAcceptLater();
          try {
            Admit(std::move(socket));
          } catch (const std::exception&) {
            // No memory for this connection: it is closed with the socket; the next may fare
            // better.
          }
          Accept();
        });
  } catch (const std::exception&) {
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

void THttpServer::Core::Admit(tcp::socket socket) {
  beast::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // gone already
  std::string address = peer.address().to_string();
  std::shared_ptr<TSession> session;
  {
    std::lock_guard lock(registry_mutex);
    auto held = per_address.find(address);
    const size_t of_address = held == per_address.end() ? 0 : held->second;
    if (sessions.size() < bound && of_address < share) {
      socket.set_option(tcp::no_delay(true), ec);
      session = std::make_shared<TSession>(*this, std::move(socket), address);
      sessions.insert(session);
      ++per_address[address];
    }
  }
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

void THttpServer::Core::Forget(const std::shared_ptr<TSession>& session,
                               const std::string& address) {
  std::lock_guard lock(registry_mutex);
  if (sessions.erase(session) == 0) return;
  auto it = per_address.find(address);
  if (it != per_address.end() && --it->second == 0) per_address.erase(it);
}

// Each connection is closed on its own thread; returns when all are. A request being answered
// keeps its connection for the grace period, so that a caller whose work was cut short by the stop
// (a mail send interrupted, say) still learns how it ended.
void THttpServer::Core::CloseAll(std::chrono::milliseconds grace) {
  const auto deadline = std::chrono::steady_clock::now() + grace;
  for (bool last = grace.count() == 0;; last = true) {
    std::set<std::shared_ptr<TSession>> open;
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
    if (SameName(key, name)) return value;
  }
  return {};
}

bool THttpRequest::has_header(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& field) { return SameName(field.first, name); });
}

void THttpResponse::set_header(std::string_view name, std::string value) {
  std::erase_if(headers, [&](const auto& field) { return SameName(field.first, name); });
  headers.emplace_back(std::string(name), std::move(value));
}

std::string THttpResponse::get_header_value(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return value;
  }
  return {};
}

void THttpResponse::set_content(std::string content, std::string content_type) {
  body = std::move(content);
  set_header("Content-Type", std::move(content_type));
}

THttpServer::THttpServer(THttpLimits limits, THttpHandler handler)
    : core_(std::make_unique<Core>(limits, std::move(handler))) {}

THttpServer::~THttpServer() {
  Stop();
  // Handlers still running finish first; their answers go to closed connections.
  core_->workers.StopAndJoin();
  core_->StopIoThreads();
}

uint16_t THttpServer::Listen(const std::string& address, uint16_t port) {
  if (listening_) throw std::runtime_error("The HTTP server listens already");
  Core& core = *core_;
  core.StartIoThreads();
  if (core.workers.Grow(std::max(core.limits.worker_threads, 1u)) == 0) {
    throw std::runtime_error("The HTTP server cannot start a thread for its requests");
  }

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
