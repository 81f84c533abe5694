#include "webservice/front/http_session.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

#include "platform/ascii_text.h"
#include "webservice/front/http_server_core.h"

namespace parlevo {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::string_view View(beast::string_view s) {
  return {s.data(), s.size()};
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

}  // namespace

THttpSession::THttpSession(THttpServer::Core& core, tcp::socket socket, std::string address)
    : core_(core),
      stream_(std::move(socket)),
      deadline_(stream_.get_executor()),
      address_(std::move(address)) {}

void THttpSession::Start() {
  if (!closed_) ReadHead();
}

void THttpSession::Close() {
  if (closed_) return;
  closed_ = true;
  beast::error_code ignored;
  stream_.shutdown(tcp::socket::shutdown_both, ignored);
  stream_.close(ignored);
  deadline_.cancel();
  core_.Forget(shared_from_this(), address_);
}

// The handler's answer, back on the I/O thread.
void THttpSession::Answer(THttpResponse response) {
  if (closed_) return;
  auto res = std::make_shared<http::response<http::string_body>>();
  res->version(version_);
  res->result(static_cast<unsigned>(std::clamp(response.status, 100, 999)));
  for (auto& [name, value] : response.headers) {
    if (EqualsIgnoreCaseAscii(name, "Content-Length") ||
        EqualsIgnoreCaseAscii(name, "Connection") ||
        EqualsIgnoreCaseAscii(name, "Transfer-Encoding"))
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

// One timer per phase (head, body, answer), not per read: a client is cut off when the phase
// as a whole is late, however its bytes trickle in.
void THttpSession::ExpiresAfter(std::chrono::steady_clock::duration allowance) {
  deadline_.expires_after(allowance);
  deadline_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->Close();
  });
}

void THttpSession::ReadHead() {
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(core_.limits.max_head_bytes));
  parser_->body_limit(core_.limits.max_body_bytes);
  ExpiresAfter(core_.limits.head_timeout);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
}

void THttpSession::OnHead(beast::error_code ec) {
  if (closed_) return;
  if (ec == http::error::header_limit) return Refuse(http::status::request_header_fields_too_large);
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
        !EqualsIgnoreCaseAscii(View(field.value()), "identity"))
      return Refuse(http::status::unsupported_media_type);
  }
  const auto declared = parser_->content_length();
  if (declared && *declared > core_.limits.max_body_bytes)
    return Refuse(http::status::payload_too_large);
  if (parser_->is_done()) return Dispatch();

  const auto expect = req.find(http::field::expect);
  if (version_ >= 11 && expect != req.end() &&
      EqualsIgnoreCaseAscii(View(expect->value()), "100-continue")) {
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

void THttpSession::ReadBody() {
  const auto declared = parser_->content_length();
  ExpiresAfter(Allowance(core_.limits, declared ? *declared : core_.limits.max_body_bytes));
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, size_t) { self->OnBody(ec); });
}

void THttpSession::OnBody(beast::error_code ec) {
  if (closed_) return;
  if (ec == http::error::body_limit) return Refuse(http::status::payload_too_large);
  if (ec) return Close();
  Dispatch();
}

// The handler blocks (database, files), so it runs on a worker; the connection waits without
// a deadline meanwhile, since the time is the service's own.
void THttpSession::Dispatch() {
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
  THttpWorkerPool& workers = core_.WorkersFor(request);
  workers.Post([self = shared_from_this(), request = std::move(request)]() mutable {
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

void THttpSession::Write(std::shared_ptr<Response> res) {
  ExpiresAfter(Allowance(core_.limits, res->body().size()));
  auto& message = *res;
  http::async_write(stream_, message,
                    [self = shared_from_this(), res = std::move(res)](
                        beast::error_code ec, size_t) { self->OnWritten(ec); });
}

void THttpSession::OnWritten(beast::error_code ec) {
  answering_ = false;
  if (closed_) return;
  if (ec) return Close();
  if (refused_) return Linger();
  if (!keep_alive_) return Close();
  ReadHead();
}

// An answer before the request was read through: the connection ends after it.
void THttpSession::Refuse(http::status status) {
  refused_ = true;
  keep_alive_ = false;
  head_request_ = false;
  THttpResponse response;
  response.status = static_cast<int>(status);
  Answer(std::move(response));
}

// Closing at once with the client's bytes unread would reset the connection and could destroy
// the answer before the client reads it; so the rest is read and thrown away for a short while.
void THttpSession::Linger() {
  beast::error_code ignored;
  stream_.shutdown(tcp::socket::shutdown_send, ignored);
  ExpiresAfter(std::chrono::seconds(2));
  drain_ = std::make_unique<std::array<char, 16384>>();
  Drain();
}

void THttpSession::Drain() {
  stream_.async_read_some(asio::buffer(*drain_),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            if (self->closed_) return;
                            if (ec) return self->Close();
                            self->Drain();
                          });
}

}  // namespace parlevo
