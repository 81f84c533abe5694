// One client connection of the HTTP server: reads a request head and body, each phase under a
// deadline of its own, refuses what breaks the limits before reading it, hands whole requests to
// the worker threads and writes their answers back; keep-alive connections go round again.
//
// Thread safety: every member runs on the connection's own I/O thread (its executor), except
// Handle, which runs on a worker and posts the answer back there. The registry place is guarded
// by the core's registry mutex.
#pragma once

// Before Boost.Asio, whose headers use std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "front/http_server.h"

namespace parlevo {

class THttpBodyLease;

class THttpSession : public std::enable_shared_from_this<THttpSession> {
 public:
  THttpSession(THttpServer::Core& core, boost::asio::ip::tcp::socket socket, std::string address);
  ~THttpSession();
  THttpSession(const THttpSession&) = delete;
  THttpSession& operator=(const THttpSession&) = delete;

  void Start();
  boost::asio::any_io_executor Executor() { return stream_.get_executor(); }
  // Ends the connection at once and leaves the server's registry; again does nothing.
  void Close() noexcept;
  bool Answering() const { return answering_; }
  const std::string& Address() const { return address_; }

 private:
  friend struct THttpServer::Core;
  using FileBody = boost::beast::http::file_body;

  // Where the connection stands in the core's registry (its mutex held): while it waits for a
  // request head it is listed, oldest first, and may be displaced by a newcomer, which takes it
  // out of the registry.
  struct RegistryPlace {
    bool registered = false;
    bool listed = false;
    std::list<THttpSession*>::iterator in_all;
    std::list<THttpSession*>::iterator in_address;
  };

  // Runs one step of the connection; whatever it throws is logged and ends the connection.
  template <typename Fn>
  void Step(Fn&& fn) noexcept;
  void ReadHead();
  void OnHead(boost::beast::error_code ec);
  // The status that refuses a head breaking the rules, before its body is read.
  std::optional<boost::beast::http::status> Screen(
      const boost::beast::http::request_header<>& head) const;
  bool TakeBodyBytes(uint64_t bytes);
  void ReleaseBodyBytes() noexcept;
  void ReadBody();
  void OnBody(boost::beast::error_code ec);
  void Dispatch();
  // Runs the handler and opens the file it answers with; a failure answers 500. The request and
  // its body bytes are given up before the answer goes back, so that its client finds them free.
  std::pair<THttpResponse, std::shared_ptr<FileBody::value_type>> Respond(
      THttpRequest request, std::shared_ptr<THttpBodyLease> lease);
  void Answer(THttpResponse response, std::shared_ptr<FileBody::value_type> file);
  template <typename Body>
  void Write(std::shared_ptr<boost::beast::http::response<Body>> res, uint64_t bytes);
  void OnWritten(boost::beast::error_code ec);
  void Refuse(boost::beast::http::status status);
  void Linger();
  void Drain();

  THttpServer::Core& core_;
  // Its per-phase expiry is checked against the operation it belongs to, so a deadline that
  // fell due in the same turn as the head's arrival cannot close a dispatched request.
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  std::function<void(uint64_t, boost::beast::string_view, boost::beast::error_code&)> on_chunk_;
  std::unique_ptr<std::array<char, 16384>> drain_;
  const std::string address_;
  RegistryPlace place_;
  // Bytes of the body budget this connection holds while it reads a body.
  uint64_t body_bytes_ = 0;
  // The length the body's deadline allows for.
  uint64_t expected_body_bytes_ = 0;
  unsigned version_ = 11;
  bool closed_ = false;
  bool keep_alive_ = false;
  // From the whole request until its answer is written: what a stop waits for, briefly.
  std::atomic<bool> answering_{false};
  bool head_request_ = false;
  bool refused_ = false;
  bool over_budget_ = false;
};

}  // namespace parlevo
