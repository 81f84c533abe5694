#include "front/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "logging/lg_auto.h"

namespace parlevo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A client on a raw socket, so that a test can stall, send half a request or never read.
class RawClient {
 public:
  // from: the loopback address the connection comes from (127.0.0.x), to tell clients apart.
  RawClient(uint16_t port, const char* from = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool Send(std::string_view bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Reads until the server closes or the bound passes; closed() tells which.
  std::string ReadAll(std::chrono::milliseconds bound = 5000ms) {
    std::string out = std::move(pending_);
    pending_.clear();
    const auto until = Clock::now() + bound;
    while (Clock::now() < until) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
      if (ReadSome(out, std::max(left, 1)) <= 0) break;
    }
    return out;
  }
  // Reads one answer whose end is known by its Content-Length (no close needed). Bytes of a
  // pipelined answer that came in the same read are kept for the next call.
  std::string ReadAnswer(std::chrono::milliseconds bound = 5000ms) {
    std::string out = std::move(pending_);
    pending_.clear();
    const auto until = Clock::now() + bound;
    while (Clock::now() < until) {
      const size_t head_end = out.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        const size_t at = out.find("Content-Length: ");
        const size_t length =
            at == std::string::npos || at > head_end ? 0 : std::stoul(out.substr(at + 16));
        if (out.size() >= head_end + 4 + length) {
          pending_ = out.substr(head_end + 4 + length);
          out.resize(head_end + 4 + length);
          return out;
        }
      }
      if (ReadSome(out, 50) < 0) break;
    }
    return out;
  }
  bool closed() const { return closed_; }

 private:
  // Waits up to timeout_ms for bytes and appends what one read gives: 1 when it read, 0 when
  // nothing came, -1 when the server closed.
  int ReadSome(std::string& out, int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return 0;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return -1;
    }
    out.append(buffer, static_cast<size_t>(n));
    return 1;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string pending_;
};

std::string StatusLine(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n"));
}

// Short deadlines and small limits, so that the tests see them act quickly.
THttpLimits TestLimits() {
  THttpLimits limits;
  limits.head_timeout = 400ms;
  limits.body_timeout = 400ms;
  limits.max_body_bytes = 1024;
  limits.max_head_bytes = 2048;
  limits.max_header_fields = 10;
  limits.worker_threads = 4;
  return limits;
}

class HttpServerTest : public ::testing::Test {
 protected:
  // Answers "<method> <path>|<body>"; the path "/throw" throws.
  void Start(THttpLimits limits = TestLimits()) {
    server_ = std::make_unique<THttpServer>(limits, [this](const THttpRequest& request,
                                                           THttpResponse& response) {
      ++handled_;
      if (request.path == "/throw") throw std::runtime_error("handler failed");
      if (request.path == "/head") response.set_header("Content-Length", "1234");
      response.set_content(request.method + " " + request.path + "|" + request.body, "text/plain");
    });
    port_ = server_->Listen("127.0.0.1", 0);
  }

  std::unique_ptr<THttpServer> server_;
  uint16_t port_ = 0;
  std::atomic<int> handled_{0};
};

TEST_F(HttpServerTest, PathsMethodsAndKeepAliveReachTheHandler) {
  Start();
  RawClient c(port_);
  ASSERT_TRUE(c.connected());
  // Any byte in a path arrives decoded; the query is cut off.
  ASSERT_TRUE(c.Send("GET /a%0ab%00c%zz.html?x=1 HTTP/1.1\r\nHost: h\r\n\r\n"));
  std::string answer = c.ReadAnswer();
  EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
  EXPECT_NE(answer.find(std::string("GET /a\nb\0c%zz.html|", 19)), std::string::npos) << answer;

  // Two requests in one write are answered in order on the same connection.
  ASSERT_TRUE(
      c.Send("POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc"
             "BREW /q HTTP/1.1\r\nHost: h\r\n\r\n"));
  answer = c.ReadAnswer();
  EXPECT_NE(answer.find("POST /p|abc"), std::string::npos) << answer;
  answer = c.ReadAnswer();
  EXPECT_NE(answer.find("BREW /q|"), std::string::npos) << answer;

  // HEAD: the handler's length, no bytes; without one, the length of what GET would send.
  ASSERT_TRUE(c.Send("HEAD /head HTTP/1.1\r\nHost: h\r\n\r\nHEAD /x HTTP/1.1\r\nHost: h\r\n\r\n"));
  answer = c.ReadAll(300ms);
  EXPECT_NE(answer.find("Content-Length: 1234\r\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Content-Length: 8\r\n"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("HEAD /"), std::string::npos) << answer;

  ASSERT_TRUE(c.Send("GET /throw HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
  answer = c.ReadAll();
  EXPECT_EQ(StatusLine(answer), "HTTP/1.1 500 Internal Server Error");
  EXPECT_TRUE(c.closed());
}

TEST_F(HttpServerTest, TheWholeHeadMustArriveInTimeNotEachByte) {
  Start();
  RawClient slow(port_);
  const std::string request = "GET /slowly-arriving-request HTTP/1.1\r\nHost: h\r\n\r\n";
  const auto began = Clock::now();
  size_t sent = 0;
  // One byte every 50 ms: each byte is "recent", but the head as a whole is late.
  while (sent < request.size() && slow.Send(request.substr(sent, 1))) {
    ++sent;
    std::this_thread::sleep_for(50ms);
    if (Clock::now() - began > 3s) break;
  }
  slow.ReadAll(2000ms);
  EXPECT_TRUE(slow.closed());
  EXPECT_LT(sent, request.size());
  EXPECT_LT(Clock::now() - began, 2500ms);
  EXPECT_EQ(handled_.load(), 0);

  // An idle keep-alive connection is closed after the same time.
  RawClient idle(port_);
  ASSERT_TRUE(idle.Send("GET /once HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_NE(idle.ReadAnswer().find("GET /once|"), std::string::npos);
  const auto answered = Clock::now();
  idle.ReadAll(3000ms);
  EXPECT_TRUE(idle.closed());
  EXPECT_LT(Clock::now() - answered, 2000ms);

  // A body that stalls is cut off at its own deadline.
  RawClient stalled(port_);
  ASSERT_TRUE(stalled.Send("POST /b HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\nabc"));
  stalled.ReadAll(3000ms);
  EXPECT_TRUE(stalled.closed());
  EXPECT_EQ(handled_.load(), 1);
}

// A head or body that completes in the same turn of the I/O loop as its deadline either runs its
// handler and gets the answer, or runs nothing: many clients finish their heads (or, every other
// one, their bodies) around a short deadline.
TEST_F(HttpServerTest, EveryHandledRequestIsAnsweredWhenItsHeadMeetsTheDeadline) {
  THttpLimits limits = TestLimits();
  limits.head_timeout = 20ms;
  limits.body_timeout = 20ms;
  limits.worker_threads = 8;
  Start(limits);
  constexpr int kRounds = 40;
  constexpr int kClients = 50;
  int answered_total = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int handled_before = handled_.load();
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      // Heads finish from 19 to 21 ms after the connection, in steps of 0.1 ms.
      const auto delay = 19ms + std::chrono::microseconds((i * 41 + round * 7) % 21 * 100);
      const bool late_body = i % 2 == 1;
      clients.emplace_back([this, delay, late_body, &answered] {
        RawClient c(port_);
        if (!c.connected()) return;
        if (late_body && !c.Send("POST /edge HTTP/1.1\r\nHost: h\r\nConnection: close\r\n"
                                 "Content-Length: 3\r\n\r\n"))
          return;
        std::this_thread::sleep_until(Clock::now() + delay);
        if (!c.Send(late_body ? "abc"
                              : "GET /edge HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"))
          return;
        if (c.ReadAll(2000ms).find(" /edge|") != std::string::npos) ++answered;
      });
    }
    for (auto& t : clients) t.join();
    const int handled = handled_.load() - handled_before;
    ASSERT_EQ(handled, answered.load()) << "round " << round;
    answered_total += answered;
  }
  // Both outcomes occur, or the test did not meet the deadline at all.
  EXPECT_GT(answered_total, 0);
  EXPECT_LT(answered_total, kRounds * kClients);
}

TEST_F(HttpServerTest, OversizedOrEncodedRequestsAreRefusedUnread) {
  Start();
  {
    // Only the head is sent: the answer comes before any body byte.
    RawClient c(port_);
    ASSERT_TRUE(c.Send("POST /big HTTP/1.1\r\nHost: h\r\nContent-Length: 1073741824\r\n\r\n"));
    const std::string answer = c.ReadAll();
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 413 Payload Too Large");
    EXPECT_TRUE(c.closed());
  }
  {
    // A chunked body has no declared length; it is cut at the limit.
    RawClient c(port_);
    ASSERT_TRUE(c.Send("POST /chunks HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string chunk = "400\r\n" + std::string(1024, 'x') + "\r\n";
    c.Send(chunk);
    c.Send(chunk);
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 413 Payload Too Large");
  }
  {
    RawClient c(port_);
    ASSERT_TRUE(
        c.Send("POST /gz HTTP/1.1\r\nHost: h\r\nContent-Encoding: gzip\r\n"
               "Content-Length: 4\r\n\r\nabcd"));
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 415 Unsupported Media Type");
  }
  {
    RawClient c(port_);
    ASSERT_TRUE(
        c.Send("GET /h HTTP/1.1\r\nHost: h\r\nX-Big: " + std::string(4096, 'a') + "\r\n\r\n"));
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 431 Request Header Fields Too Large");
  }
  {
    RawClient c(port_);
    std::string head = "GET /h HTTP/1.1\r\nHost: h\r\n";
    for (int i = 0; i < 11; ++i) head += "X-" + std::to_string(i) + ": 1\r\n";
    ASSERT_TRUE(c.Send(head + "\r\n"));
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 431 Request Header Fields Too Large");
  }
  {
    RawClient c(port_);
    ASSERT_TRUE(c.Send("NOT A REQUEST\r\n\r\n"));
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 400 Bad Request");
  }
  EXPECT_EQ(handled_.load(), 0);
  {
    // Within the limits: identity is no encoding, and a client waiting for 100 Continue gets it.
    RawClient c(port_);
    ASSERT_TRUE(
        c.Send("POST /ok HTTP/1.1\r\nHost: h\r\nContent-Encoding: identity\r\n"
               "Expect: 100-continue\r\nContent-Length: 1024\r\n\r\n"));
    EXPECT_EQ(StatusLine(c.ReadAll(300ms)), "HTTP/1.1 100 Continue");
    ASSERT_TRUE(c.Send(std::string(1024, 'y')));
    EXPECT_NE(c.ReadAnswer().find("POST /ok|yyyy"), std::string::npos);
  }
}

// Waits until the server has taken the connection in: a request through it is answered.
void ExpectServed(RawClient& c, const std::string& path) {
  ASSERT_TRUE(c.Send("GET " + path + " HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_NE(c.ReadAnswer().find("GET " + path + "|"), std::string::npos) << path;
}

// Whether the server closed the connection: the read ends without an answer.
bool ClosedByServer(RawClient& c) {
  const std::string answer = c.ReadAll(2000ms);
  return c.closed() && answer.empty();
}

// A body whose end a proxy in front might find elsewhere is never read: only a lone final
// "chunked" frames a body, and the bytes after a refused head never run as a request of their own.
TEST_F(HttpServerTest, AmbiguousFramingAndMissingHostsAreRefused) {
  Start();
  const std::string smuggled = "GET /second HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {"Transfer-Encoding: identity\r\n", "400"},
      {"Transfer-Encoding: chunked, identity\r\n", "400"},
      {"Transfer-Encoding: gzip\r\n", "400"},
      {"Transfer-Encoding: xchunked\r\n", "400"},
      {"Transfer-Encoding: gzip\r\nContent-Length: 5\r\n", "400"},
      {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "400"},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", "400"},
      {"Transfer-Encoding: gzip, chunked\r\n", "501"},
      {"Transfer-Encoding: x-unknown\r\nTransfer-Encoding: chunked\r\n", "501"},
  };
  for (const auto& [fields, status] : cases) {
    RawClient c(port_);
    ASSERT_TRUE(c.Send("POST /first HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n" + smuggled));
    const std::string answer = c.ReadAll();
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + status) << fields << answer;
    EXPECT_EQ(answer.find("/second"), std::string::npos) << fields;
    EXPECT_TRUE(c.closed()) << fields;
  }
  {
    RawClient c(port_);
    ASSERT_TRUE(c.Send("POST /old HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"));
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.0 400 Bad Request");
  }
  for (const std::string fields : {"", "Host: a\r\nHost: b\r\n"}) {
    RawClient c(port_);
    ASSERT_TRUE(c.Send("GET /hosts HTTP/1.1\r\n" + fields + "\r\n"));
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 400 Bad Request") << fields;
  }
  EXPECT_EQ(handled_.load(), 0);

  // What is allowed still works: a chunked body in any letter case, HTTP/1.0 without a host.
  RawClient c(port_);
  ASSERT_TRUE(
      c.Send("POST /chunked HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: Chunked\r\n\r\n"
             "3;ext=1\r\nabc\r\n0\r\nX-Trailer: 1\r\n\r\n"));
  EXPECT_NE(c.ReadAnswer().find("POST /chunked|abc"), std::string::npos);
  RawClient old(port_);
  ASSERT_TRUE(old.Send("GET /old HTTP/1.0\r\n\r\n"));
  EXPECT_NE(old.ReadAll().find("GET /old|"), std::string::npos);
}

// Chunk-size lines and trailers are bounded by the read buffer as the head is; bodies held at
// once by the budget, which a request gives back when it is done.
TEST_F(HttpServerTest, ChunkLinesTrailersAndHeldBodiesAreBounded) {
  THttpLimits limits = TestLimits();
  limits.head_timeout = 5s;
  limits.body_timeout = 5s;
  limits.max_bodies_bytes = 2048;
  limits.uncounted_body_bytes = 16;
  Start(limits);
  const std::string chunked = "POST /c HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (const std::string endless : {"5;", "0\r\nX-Trailer: "}) {
    RawClient c(port_);
    ASSERT_TRUE(c.Send(chunked + endless));
    const std::string filler(4096, 'a');
    // Far beyond the read buffer (the head limit and 16 KiB); the answer comes long before.
    for (int i = 0; i < 64 && c.Send(filler); ++i) {
    }
    EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 413 Payload Too Large") << endless;
  }

  // Two bodies of 1 KiB take the whole budget while they arrive.
  const std::string head = "POST /held HTTP/1.1\r\nHost: h\r\nContent-Length: 1024\r\n\r\n";
  RawClient first(port_);
  RawClient second(port_);
  ASSERT_TRUE(first.Send(head + std::string(512, 'x')));
  ASSERT_TRUE(second.Send(head + std::string(512, 'y')));
  std::this_thread::sleep_for(100ms);
  {
    RawClient over(port_);
    ASSERT_TRUE(over.Send(head));
    EXPECT_EQ(StatusLine(over.ReadAll()), "HTTP/1.1 503 Service Unavailable");
  }
  {
    RawClient over(port_);
    ASSERT_TRUE(over.Send(chunked + "10\r\n"));
    EXPECT_EQ(StatusLine(over.ReadAll()), "HTTP/1.1 503 Service Unavailable");
  }
  EXPECT_EQ(handled_.load(), 0);
  // Once a request is answered, its bytes are free for the next one.
  ASSERT_TRUE(first.Send(std::string(512, 'x')));
  EXPECT_NE(first.ReadAnswer().find("POST /held|xxx"), std::string::npos);
  RawClient next(port_);
  ASSERT_TRUE(next.Send(head + std::string(1024, 'z')));
  EXPECT_NE(next.ReadAnswer().find("POST /held|zzz"), std::string::npos);
  // Small bodies are never refused for want of budget.
  RawClient third(port_);
  ASSERT_TRUE(third.Send(head + std::string(512, 'x')));
  std::this_thread::sleep_for(100ms);
  RawClient small(port_);
  ASSERT_TRUE(small.Send("POST /small HTTP/1.1\r\nHost: h\r\nContent-Length: 16\r\n\r\n" +
                         std::string(16, 's')));
  EXPECT_NE(small.ReadAnswer().find("POST /small|ssss"), std::string::npos);
}

// A file answer is read from the file as it is written; one that cannot be opened answers 500.
TEST_F(HttpServerTest, FileAnswersAreSentFromTheFile) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("parlevo-http-file-" + std::to_string(::getpid()) + ".bin");
  std::string content(300 * 1024, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  {
    std::ofstream out(file, std::ios::binary);
    out << content;
  }
  server_ = std::make_unique<THttpServer>(
      TestLimits(), [&](const THttpRequest& request, THttpResponse& response) {
        response.set_file(request.path == "/missing" ? file.string() + ".none" : file.string(),
                          "application/octet-stream");
      });
  port_ = server_->Listen("127.0.0.1", 0);
  RawClient c(port_);
  ASSERT_TRUE(
      c.Send("GET /file HTTP/1.1\r\nHost: h\r\n\r\nHEAD /file HTTP/1.1\r\nHost: h\r\n\r\n"));
  std::string answer = c.ReadAnswer();
  EXPECT_NE(answer.find("Content-Length: 307200\r\n"), std::string::npos);
  EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), content);
  answer = c.ReadAll(300ms);
  EXPECT_NE(answer.find("Content-Length: 307200\r\n"), std::string::npos) << answer;
  EXPECT_EQ(answer.size(), answer.find("\r\n\r\n") + 4);
  ASSERT_TRUE(c.Send("GET /missing HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_EQ(StatusLine(c.ReadAnswer()), "HTTP/1.1 500 Internal Server Error");
  std::filesystem::remove(file);
}

// A connection step that throws (here: a field name beyond what a header can hold, met while
// the answer is built) is logged, and its connection closed and released, slot and all.
TEST_F(HttpServerTest, AConnectionWhoseStepThrowsIsLoggedAndReleased) {
  THttpLimits limits = TestLimits();
  limits.max_connections = 8;
  limits.max_connections_per_address = 4;
  limits.worker_threads = 8;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> holding{0};
  server_ = std::make_unique<THttpServer>(
      limits, [&](const THttpRequest& request, THttpResponse& response) {
        if (request.path == "/unsendable") response.set_header(std::string(70000, 'X'), "1");
        if (request.path == "/hold") {
          ++holding;
          released.wait_for(10s);
        }
      });
  port_ = server_->Listen("127.0.0.1", 0);

  std::mutex logged_mutex;
  std::vector<std::string> logged;
  logging::TLogCenter& center = logging::GlobalLogCenter();
  center.SetOnLogEntry([&](logging::TLogCenter&, const logging::TLgLogEntry& entry) {
    std::lock_guard lock(logged_mutex);
    logged.push_back(entry.Title());
  });
  center.Enable();
  for (int i = 0; i < 4; ++i) {
    RawClient c(port_, "127.0.0.5");
    ASSERT_TRUE(c.Send("GET /unsendable HTTP/1.1\r\nHost: h\r\n\r\n"));
    EXPECT_TRUE(ClosedByServer(c));
  }
  center.Disable();
  center.SetOnLogEntry(nullptr);
  {
    std::lock_guard lock(logged_mutex);
    ASSERT_GE(logged.size(), 4u);
    EXPECT_NE(logged[0].find("HTTP connection of 127.0.0.5"), std::string::npos) << logged[0];
    EXPECT_NE(logged[0].find("field name too large"), std::string::npos) << logged[0];
  }

  // The address has its whole share again: four requests of it are in the handler at once (a
  // connection being answered gives way to nobody, so a leaked slot would refuse the fourth).
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<RawClient>(port_, "127.0.0.5"));
    ASSERT_TRUE(held.back()->Send("GET /hold HTTP/1.1\r\nHost: h\r\n\r\n"));
  }
  for (int i = 0; i < 1000 && holding < 4; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(holding.load(), 4);
  release.set_value();
  for (auto& c : held) EXPECT_EQ(StatusLine(c->ReadAnswer()), "HTTP/1.1 200 OK");
}

TEST_F(HttpServerTest, AtTheBoundTheLongestWaitingHeadMakesRoom) {
  THttpLimits limits = TestLimits();
  limits.head_timeout = 30s;
  limits.max_connections = 8;
  limits.max_connections_per_address = 4;
  limits.worker_threads = 8;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> holding{0};
  server_ = std::make_unique<THttpServer>(
      limits, [&](const THttpRequest& request, THttpResponse& response) {
        if (request.path == "/hold") {
          ++holding;
          released.wait_for(10s);
        }
        response.set_content(request.method + " " + request.path + "|", "text/plain");
      });
  port_ = server_->Listen("127.0.0.1", 0);
  EXPECT_EQ(server_->ConnectionBound(), 8u);
  EXPECT_EQ(server_->AddressShare(), 4u);

  // Four connections of one address wait for their heads, the oldest first; one of them had an
  // answer already and idles, which is waiting for a head too.
  std::vector<std::unique_ptr<RawClient>> first;
  for (int i = 0; i < 4; ++i) {
    first.push_back(std::make_unique<RawClient>(port_, "127.0.0.1"));
    if (i == 0) ExpectServed(*first[0], "/idle");
    std::this_thread::sleep_for(20ms);
  }
  RawClient fresh(port_, "127.0.0.1");
  ExpectServed(fresh, "/fresh");
  EXPECT_TRUE(ClosedByServer(*first[0]));  // the share is full: its longest waiting gave way
  // The newcomer's slot was the displaced one's: the others still hold theirs.
  ExpectServed(*first[3], "/still");

  // Four connections of another address are being answered: none of them gives way, so a fifth
  // from there is refused.
  std::vector<std::unique_ptr<RawClient>> busy;
  for (int i = 0; i < 4; ++i) {
    busy.push_back(std::make_unique<RawClient>(port_, "127.0.0.2"));
    ASSERT_TRUE(busy.back()->Send("GET /hold HTTP/1.1\r\nHost: h\r\n\r\n"));
  }
  for (int i = 0; i < 500 && holding < 4; ++i) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(holding.load(), 4);
  RawClient over(port_, "127.0.0.2");
  EXPECT_EQ(StatusLine(over.ReadAll()), "HTTP/1.1 503 Service Unavailable");
  EXPECT_TRUE(over.closed());

  // The bound is reached (four waiting, two of them idle after an answer, and four answered): a
  // third address takes the place of the longest waiting connection of any address.
  RawClient third(port_, "127.0.0.3");
  ExpectServed(third, "/third");
  EXPECT_TRUE(ClosedByServer(*first[1]));

  release.set_value();
  for (auto& c : busy) EXPECT_NE(c->ReadAnswer().find("GET /hold|"), std::string::npos);
  server_.reset();
}

TEST_F(HttpServerTest, TheBoundFollowsTheDescriptorLimit) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 640);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  Start();
  EXPECT_EQ(server_->ConnectionBound(), lowered.rlim_cur - 128);
  EXPECT_EQ(server_->AddressShare(), (lowered.rlim_cur - 128) / 2);
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

// Out of descriptors, the listener waits instead of spinning on the failed accepts, and takes
// the waiting connections in once descriptors are free again.
TEST_F(HttpServerTest, TheListenerBacksOffWhenDescriptorsRunOut) {
  Start();
  std::vector<int> sockets;
  for (int i = 0; i < 4; ++i) sockets.push_back(::socket(AF_INET, SOCK_STREAM, 0));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit exhausted = saved;
  exhausted.rlim_cur = static_cast<rlim_t>(*std::max_element(sockets.begin(), sockets.end()) + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &exhausted), 0);

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request = "GET /late HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  for (int fd : sockets) {
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  }
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(500ms);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  const auto cpu = [](const rusage& r) {
    return std::chrono::seconds(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           std::chrono::microseconds(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
  };
  // A spinning listener would burn the whole half second.
  EXPECT_LT(cpu(after) - cpu(before), 250ms);

  for (int fd : sockets) {
    std::string answer;
    char buffer[1024];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 3000) > 0) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_NE(answer.find("GET /late|"), std::string::npos);
    ::close(fd);
  }
}

TEST_F(HttpServerTest, StopClosesEveryConnectionAtOnceAndListenServesAgain) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> in_handler{false};
  THttpLimits limits = TestLimits();
  limits.head_timeout = 60s;
  server_ = std::make_unique<THttpServer>(
      limits, [&](const THttpRequest& request, THttpResponse& response) {
        if (request.path == "/wait") {
          in_handler = true;
          released.wait_for(10s);
        }
        response.set_content("done " + request.path, "text/plain");
      });
  port_ = server_->Listen("127.0.0.1", 0);

  RawClient idle(port_);
  RawClient slow(port_);
  slow.Send("GET /half");
  RawClient busy(port_);
  busy.Send("GET /wait HTTP/1.1\r\nHost: h\r\n\r\n");
  while (!in_handler) std::this_thread::sleep_for(1ms);

  const auto began = Clock::now();
  server_->Stop();
  EXPECT_LT(Clock::now() - began, 1s);
  EXPECT_FALSE(server_->Listening());
  for (RawClient* c : {&idle, &slow, &busy}) {
    c->ReadAll(1000ms);
    EXPECT_TRUE(c->closed());
  }
  EXPECT_FALSE(RawClient(port_).connected());

  // The same port again, while the old handler still runs.
  EXPECT_EQ(server_->Listen("127.0.0.1", port_), port_);
  RawClient fresh(port_);
  fresh.Send("GET /new HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_NE(fresh.ReadAnswer().find("done /new"), std::string::npos);
  release.set_value();
  server_.reset();  // waits for the handler, whose answer has nowhere to go
}

TEST_F(HttpServerTest, StopLetsARequestBeingAnsweredSendItsAnswerFirst) {
  std::atomic<bool> in_handler{false};
  std::atomic<bool> stopping{false};
  server_ = std::make_unique<THttpServer>(
      TestLimits(), [&](const THttpRequest& request, THttpResponse& response) {
        in_handler = true;
        // Work that the stop itself cuts short (an interrupted send) ends soon after it began.
        const auto until = Clock::now() + 5s;
        while (!stopping && Clock::now() < until) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(150ms);
        response.set_content("failed " + request.path, "text/plain");
      });
  port_ = server_->Listen("127.0.0.1", 0);
  RawClient idle(port_);
  RawClient busy(port_);
  busy.Send("GET /send HTTP/1.1\r\nHost: h\r\n\r\n");
  while (!in_handler) std::this_thread::sleep_for(1ms);

  const auto began = Clock::now();
  stopping = true;
  server_->Stop();
  EXPECT_LT(Clock::now() - began, 1s);
  const std::string answer = busy.ReadAll(1000ms);
  EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
  EXPECT_NE(answer.find("failed /send"), std::string::npos);
  EXPECT_NE(answer.find("Connection: close"), std::string::npos);
  EXPECT_TRUE(busy.closed());
  idle.ReadAll(100ms);
  EXPECT_TRUE(idle.closed());
}

TEST_F(HttpServerTest, APortInUseFailsListenClearly) {
  Start();
  THttpServer second(TestLimits(), [](const THttpRequest&, THttpResponse&) {});
  try {
    second.Listen("127.0.0.1", port_);
    FAIL() << "a second server bound the same port";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(std::to_string(port_)), std::string::npos);
  }
  EXPECT_FALSE(second.Listening());
  EXPECT_THROW(second.Listen("not an address", 0), std::runtime_error);
}

}  // namespace
}  // namespace parlevo
