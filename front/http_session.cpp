#include "front/http_session.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "front/http_server_core.h"
#include "logging/lg_auto.h"
#include "platform/ascii_text.h"

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

// Room in the read buffer beyond a whole head, for the bytes that follow it in the same read.
constexpr size_t kReadBufferSlack = 16 * 1024;

// A head or body that the parser rejects gets its 400; a client that left or ran out of time
// has nobody to tell.
bool Malformed(beast::error_code ec) {
  return ec && ec.category() == http::make_error_code(http::error::bad_method).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

// The transfer codings of every Transfer-Encoding field in order, lower-cased; empty list
// elements are skipped.
std::vector<std::string> TransferCodings(const http::request_header<>& head) {
  std::vector<std::string> codings;
  for (const auto& field : head) {
    if (field.name() != http::field::transfer_encoding) continue;
    const std::string_view value = View(field.value());
    size_t begin = 0;
    while (begin <= value.size()) {
      size_t end = value.find(',', begin);
      if (end == std::string_view::npos) end = value.size();
      const std::string_view element = TrimAscii(value.substr(begin, end - begin));
      if (!element.empty()) codings.push_back(ToLowerAscii(element));
      begin = end + 1;
    }
  }
  return codings;
}

}  // namespace

THttpSession::THttpSession(THttpServer::Core& core, tcp::socket socket, std::string address)
    : core_(core),
      stream_(std::move(socket)),
      buffer_(core.limits.max_head_bytes + kReadBufferSlack),
      on_chunk_([this](uint64_t size, beast::string_view, beast::error_code& ec) {
        if (!TakeBodyBytes(size)) {
          over_budget_ = true;
          ec = asio::error::no_buffer_space;
        }
      }),
      address_(std::move(address)) {}

THttpSession::~THttpSession() {
  ReleaseBodyBytes();
}

void THttpSession::Start() {
  Step([this] {
    if (!closed_) ReadHead();
  });
}

void THttpSession::Close() noexcept {
  if (closed_) return;
  closed_ = true;
  // The slot is free before the client can see the close, so that it may come straight back.
  core_.Forget(shared_from_this());
  ReleaseBodyBytes();
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream_.close();
}

template <typename Fn>
void THttpSession::Step(Fn&& fn) noexcept {
  try {
    fn();
  } catch (...) {
    try {
      logging::MainSession().LogException("HTTP connection of " + address_);
    } catch (...) {
      // No memory even for the title: the close below is what matters.
    }
    Close();
  }
}

bool THttpSession::TakeBodyBytes(uint64_t bytes) {
  if (bytes == 0) return true;
  if (!core_.body_budget.TryTake(bytes)) return false;
  body_bytes_ += bytes;
  return true;
}

void THttpSession::ReleaseBodyBytes() noexcept {
  core_.body_budget.Give(std::exchange(body_bytes_, 0));
}

// The handler's answer, back on the I/O thread.
void THttpSession::Answer(THttpResponse response, std::shared_ptr<FileBody::value_type> file) {
  if (closed_) return;
  const auto fill = [&](auto& res) {
    res.version(version_);
    res.result(static_cast<unsigned>(std::clamp(response.status, 100, 999)));
    for (auto& [name, value] : response.headers) {
      if (EqualsIgnoreCaseAscii(name, "Content-Length") ||
          EqualsIgnoreCaseAscii(name, "Connection") ||
          EqualsIgnoreCaseAscii(name, "Transfer-Encoding"))
        continue;
      res.insert(FieldValue(name), FieldValue(value));
    }
    if (core_.stopping) keep_alive_ = false;
    res.keep_alive(keep_alive_);
  };
  if (file && !head_request_) {
    auto res = std::make_shared<http::response<FileBody>>();
    fill(*res);
    const uint64_t size = file->size();
    res->body() = std::move(*file);
    res->content_length(size);
    return Write(std::move(res), size);
  }
  auto res = std::make_shared<http::response<http::string_body>>();
  fill(*res);
  // HEAD answers carry the length of what GET would send (set by the handler, or of the file or
  // the body it made), without the bytes.
  std::string length = std::to_string(file ? file->size() : response.body.size());
  if (head_request_) {
    const std::string given = response.get_header_value("Content-Length");
    if (!given.empty()) length = FieldValue(given);
  } else {
    res->body() = std::move(response.body);
  }
  res->set(http::field::content_length, length);
  const uint64_t bytes = res->body().size();
  Write(std::move(res), bytes);
}

// One expiry per phase (head, body, answer), not per read: a client is cut off when the phase as
// a whole is late, however its bytes trickle in.
void THttpSession::ReadHead() {
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(core_.limits.max_head_bytes));
  parser_->body_limit(core_.limits.max_body_bytes);
  parser_->on_chunk_header(on_chunk_);
  over_budget_ = false;
  core_.EnterWaiting(*this);
  stream_.expires_after(core_.limits.head_timeout);
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            self->Step([&] { self->OnHead(ec); });
                          });
}

void THttpSession::OnHead(beast::error_code ec) {
  if (closed_) return;
  // Displaced while the head came in: the newcomer has the slot, this request never runs.
  if (!core_.LeaveWaiting(*this)) return Close();
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
    return Refuse(http::status::request_header_fields_too_large);
  // The parser knows a declared length too large from the head alone.
  if (ec == http::error::body_limit) return Refuse(http::status::payload_too_large);
  if (Malformed(ec)) return Refuse(http::status::bad_request);
  if (ec) return Close();

  const auto& req = parser_->get();
  version_ = req.version();
  head_request_ = req.method() == http::verb::head;
  keep_alive_ = req.keep_alive();
  if (const auto refusal = Screen(req)) return Refuse(*refusal);
  const auto declared = parser_->content_length();
  // A chunked body has the time of the largest one allowed.
  expected_body_bytes_ = declared ? *declared : core_.limits.max_body_bytes;
  if (declared && *declared > core_.limits.max_body_bytes)
    return Refuse(http::status::payload_too_large);
  if (declared && *declared > core_.limits.uncounted_body_bytes && !TakeBodyBytes(*declared))
    return Refuse(http::status::service_unavailable);
  if (parser_->is_done()) return Dispatch();

  const auto expect = req.find(http::field::expect);
  if (version_ >= 11 && expect != req.end() &&
      EqualsIgnoreCaseAscii(View(expect->value()), "100-continue")) {
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    stream_.expires_after(Allowance(core_.limits, 0));
    asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        self->Step([&] {
                          if (self->closed_) return;
                          if (ec) return self->Close();
                          self->ReadBody();
                        });
                      });
    return;
  }
  ReadBody();
}

std::optional<http::status> THttpSession::Screen(const http::request_header<>& head) const {
  if (static_cast<size_t>(std::distance(head.begin(), head.end())) > core_.limits.max_header_fields)
    return http::status::request_header_fields_too_large;
  size_t hosts = 0;
  bool transfer_encoding = false;
  bool content_length = false;
  for (const auto& field : head) {
    if (field.name() == http::field::host) ++hosts;
    if (field.name() == http::field::transfer_encoding) transfer_encoding = true;
    if (field.name() == http::field::content_length) content_length = true;
    // Inflating is not offered: a small compressed body could grow without bound.
    if (field.name() == http::field::content_encoding &&
        !EqualsIgnoreCaseAscii(View(field.value()), "identity"))
      return http::status::unsupported_media_type;
  }
  if (head.version() >= 11 && hosts != 1) return http::status::bad_request;
  if (!transfer_encoding) return std::nullopt;
  // Where the body ends must be beyond doubt: a proxy in front that reads the framing otherwise
  // would take the body's bytes for a request of their own. Only a lone final "chunked" frames a
  // body; HTTP/1.0 has no transfer codings at all.
  const std::vector<std::string> codings = TransferCodings(head);
  if (head.version() < 11 || content_length || codings.empty() || codings.back() != "chunked" ||
      std::count(codings.begin(), codings.end(), "chunked") != 1)
    return http::status::bad_request;
  // A coding applied before the chunking would have to be undone, which is not offered.
  if (codings.size() > 1) return http::status::not_implemented;
  return std::nullopt;
}

void THttpSession::ReadBody() {
  stream_.expires_after(Allowance(core_.limits, expected_body_bytes_));
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, size_t) {
                     self->Step([&] { self->OnBody(ec); });
                   });
}

void THttpSession::OnBody(beast::error_code ec) {
  if (closed_) return;
  if (over_budget_) return Refuse(http::status::service_unavailable);
  // A chunk-size line or trailer section that outgrows the read buffer is no smaller a threat
  // than a body beyond its limit.
  if (ec == http::error::body_limit || ec == http::error::buffer_overflow)
    return Refuse(http::status::payload_too_large);
  if (Malformed(ec)) return Refuse(http::status::bad_request);
  if (ec) return Close();
  Dispatch();
}

// A general lane's handler may block long (database, mail, files), so it runs on a worker; the
// connection waits without a deadline meanwhile, since the time is the service's own. A lookup
// lane's runs here.
void THttpSession::Dispatch() {
  stream_.expires_never();
  answering_ = true;
  auto message = parser_->release();
  parser_.reset();
  // An idle connection keeps no large buffer from an earlier request.
  if (buffer_.size() == 0) buffer_.shrink_to_fit();
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
  // The body's bytes count against the budget until the handler is done with the request.
  auto lease = std::make_shared<THttpBodyLease>(core_.body_budget, std::exchange(body_bytes_, 0));
  if (core_.OnLookupLane(request)) {
    auto [response, file] = Respond(std::move(request), std::move(lease));
    return Answer(std::move(response), std::move(file));
  }
  core_.workers.Post([self = shared_from_this(), request = std::move(request),
                      lease = std::move(lease)]() mutable {
    auto [response, file] = self->Respond(std::move(request), std::move(lease));
    asio::post(self->Executor(),
               [self, response = std::move(response), file = std::move(file)]() mutable {
                 self->Step([&] { self->Answer(std::move(response), std::move(file)); });
               });
  });
}

std::pair<THttpResponse, std::shared_ptr<THttpSession::FileBody::value_type>> THttpSession::Respond(
    THttpRequest request, std::shared_ptr<THttpBodyLease> lease) {
  THttpResponse response;
  std::shared_ptr<FileBody::value_type> file;
  try {
    core_.handler(request, response);
    if (!response.body_file.empty()) {
      file = std::make_shared<FileBody::value_type>();
      beast::error_code ec;
      file->open(response.body_file.c_str(), beast::file_mode::scan, ec);
      if (ec) throw std::system_error(ec, "Cannot open " + response.body_file.string());
    }
  } catch (...) {
    logging::MainSession().LogException("HTTP request " + request.method + " " + request.path);
    response = THttpResponse{};
    response.status = 500;
    file.reset();
  }
  return {std::move(response), std::move(file)};
}

template <typename Body>
void THttpSession::Write(std::shared_ptr<http::response<Body>> res, uint64_t bytes) {
  stream_.expires_after(Allowance(core_.limits, bytes));
  auto& message = *res;
  http::async_write(
      stream_, message,
      [self = shared_from_this(), res = std::move(res)](beast::error_code ec, size_t) {
        self->Step([&] { self->OnWritten(ec); });
      });
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
  // Whatever of the request was read is dropped now, not after the lingering.
  parser_.reset();
  buffer_.consume(buffer_.size());
  buffer_.shrink_to_fit();
  ReleaseBodyBytes();
  THttpResponse response;
  response.status = static_cast<int>(status);
  Answer(std::move(response), nullptr);
}

// Closing at once with the client's bytes unread would reset the connection and could destroy
// the answer before the client reads it; so the rest is read and thrown away for a short while.
void THttpSession::Linger() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.expires_after(std::chrono::seconds(2));
  drain_ = std::make_unique<std::array<char, 16384>>();
  Drain();
}

void THttpSession::Drain() {
  stream_.async_read_some(asio::buffer(*drain_),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            self->Step([&] {
                              if (self->closed_) return;
                              if (ec) return self->Close();
                              self->Drain();
                            });
                          });
}

}  // namespace parlevo
