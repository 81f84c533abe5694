// One client connection of the HTTP server: reads a request head and body, each phase under a
// deadline of its own, refuses what breaks the limits before reading it, hands whole requests to
// the worker threads and writes their answers back; keep-alive connections go round again.
//
// Thread safety: every member runs on the connection's own I/O thread (its executor); the
// handler's answer is posted back there.
#pragma once

// Before Boost.Asio, whose headers use std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "webservice/front/http_server.h"

namespace parlevo {

class THttpSession : public std::enable_shared_from_this<THttpSession> {
 public:
  THttpSession(THttpServer::Core& core, boost::asio::ip::tcp::socket socket, std::string address);

  void Start();
  boost::asio::any_io_executor Executor() { return stream_.get_executor(); }
  // Ends the connection at once and leaves the server's registry; again does nothing.
  void Close();
  bool Answering() const { return answering_; }
  // The handler's answer, back on the I/O thread.
  void Answer(THttpResponse response);

 private:
  using Response = boost::beast::http::response<boost::beast::http::string_body>;

  void ExpiresAfter(std::chrono::steady_clock::duration allowance);
  void ReadHead();
  void OnHead(boost::beast::error_code ec);
  void ReadBody();
  void OnBody(boost::beast::error_code ec);
  void Dispatch();
  void Write(std::shared_ptr<Response> res);
  void OnWritten(boost::beast::error_code ec);
  void Refuse(boost::beast::http::status status);
  void Linger();
  void Drain();

  THttpServer::Core& core_;
  boost::asio::ip::tcp::socket stream_;
  boost::asio::steady_timer deadline_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
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

}  // namespace parlevo
