// The transport under the HTTP front: an event-driven HTTP/1.1 server that keeps answering
// however slow, idle or hostile other clients are. A few I/O threads hold every connection; the
// request handlers, which block on the database, run on a fixed set of worker threads, so an idle
// connection costs a descriptor and a little memory, never a thread. Connections are bounded in
// total and per client address (at the bound, the connection that has waited longest for its
// request head makes room for a newcomer), a request head must arrive whole within a deadline,
// bodies are limited in size, each and all together, before they are read, and Stop closes every
// connection at once.
//
// Thread safety: Listen, Stop and the destructor are called from one owning thread. The handler
// runs on the worker threads, many requests at once, and must be safe for that.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parlevo {

struct THttpLimits {
  // Connections held at once; lowered to what the descriptor limit leaves (see Listen). A
  // newcomer beyond it displaces the connection that has waited longest for a request head, and
  // is refused (503) only when none waits.
  size_t max_connections = 8192;
  // Connections of one client address; at most half of the effective bound, so that one host
  // never takes every slot from the others. A newcomer beyond it displaces the longest waiting
  // of its own address.
  size_t max_connections_per_address = 1024;
  // The whole request head (request line and header fields) must arrive within this time after
  // the connection opens or the previous answer went out; an idle keep-alive connection is
  // closed when it runs out.
  std::chrono::milliseconds head_timeout{5000};
  // A body must arrive within body_timeout plus one second per body_bytes_per_second of its
  // declared length; answers must leave within the same allowance for their size.
  std::chrono::milliseconds body_timeout{10000};
  size_t body_bytes_per_second = 256 * 1024;
  // Larger bodies get 413 before any of their bytes are read.
  size_t max_body_bytes = 8 * 1024 * 1024;
  // The bodies of all requests held at once, from their head until their handler is done; a
  // body beyond what is left gets 503 before its bytes are read (a chunked one chunk by chunk).
  uint64_t max_bodies_bytes = 64 * 1024 * 1024;
  // A body of at most this declared length is not counted: it costs no more than the read
  // buffer every connection may fill anyway, and so held large bodies never refuse the PBX's
  // small lookups.
  size_t uncounted_body_bytes = 16 * 1024;
  // The request line and the header fields together; beyond it, or beyond max_header_fields
  // fields, the answer is 431. A connection's read buffer holds at most this plus 16 KiB, which
  // bounds a chunk-size line with its extensions and the trailer fields as well.
  size_t max_head_bytes = 64 * 1024;
  size_t max_header_fields = 100;
  // Threads running handlers of the general lane; fewer are used when the system refuses more.
  unsigned worker_threads = 32;
  // Threads holding the connections (each connection stays on one), besides the listener's. The
  // lookup lane's handlers run on them too, so there are more than processors: a call waiting
  // for the disk leaves the other threads to the rest. Fewer are used when the system refuses
  // more (one at least). Measured on 8 processors, PIN lookups per second: 4 threads 64,000,
  // 8 threads 92,000, 16 threads 105,000, 24 threads 106,000.
  unsigned io_threads = 16;
  // Descriptors kept free for the handlers' own files and database when the bound is derived
  // from the descriptor limit.
  size_t reserved_descriptors = 128;
  // The listener pauses this long when the system has no descriptor or memory for a new
  // connection, instead of spinning on the error.
  std::chrono::milliseconds accept_backoff{100};
};

// One request as the handler sees it. The path is percent-decoded and holds whatever bytes the
// client sent; the query (after "?") is cut off.
struct THttpRequest {
  std::string method;
  std::string path;
  std::string target;  // as sent
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first field of that name (letter case ignored), or the empty text.
  std::string get_header_value(std::string_view name) const;
};

// The answer; a handler that touches nothing sends 200 without content.
struct THttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // When set, the answer's body is this file instead, read in pieces while it is written; its
  // length is taken when it is opened (after the handler returns), and a file that cannot be
  // opened answers 500.
  std::filesystem::path body_file;

  // Replaces every field of that name.
  void set_header(std::string_view name, std::string value);
  std::string get_header_value(std::string_view name) const;
  void set_content(std::string content, std::string content_type);
  void set_file(std::filesystem::path file, std::string content_type);
};

using THttpHandler = std::function<void(const THttpRequest&, THttpResponse&)>;

// Where a request's handler runs. The general lane's may wait long (on a mail server, another
// process's database lock, a slow disk), so they run on the workers. The lookup lane's are short
// reads that must answer at once (the PBX's PIN lookup): they run on the I/O thread that holds
// the connection, so that they never queue behind the workers and their answer is written
// without a hand-off between threads.
enum class THttpLane { kGeneral, kLookup };
// Called on an I/O thread for every whole request: must be quick and safe on many threads.
using THttpLaneOf = std::function<THttpLane(const THttpRequest&)>;

class THttpServer {
 public:
  // handler is called for every whole request; an exception from it answers 500 (and is logged).
  // lane_of picks the lane of each request; without it every request runs on the general lane.
  THttpServer(THttpLimits limits, THttpHandler handler, THttpLaneOf lane_of = {});
  // Stops listening, closes every connection and waits for the handlers that still run.
  ~THttpServer();
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  // Binds address:port (0: a port the system chooses) and accepts connections; returns the port.
  // Throws std::runtime_error when the port cannot be bound or no thread can be started. Again
  // after Stop is fine.
  uint16_t Listen(const std::string& address, uint16_t port);
  // Closes the listener and every client connection before it returns, whatever the clients
  // do: idle and reading connections at once, one whose request is being answered once its answer
  // is written or after 750 ms, whichever is first (a handler still running then finishes on its
  // own, its answer dropped). Does nothing when not listening.
  void Stop();
  bool Listening() const { return listening_; }

  // The bounds in force while listening: the connection bound and the per-address share after
  // the descriptor limit was taken into account.
  size_t ConnectionBound() const;
  size_t AddressShare() const;

  // The I/O side, private to the server and its connections (http_server_core.h).
  struct Core;

 private:
  std::unique_ptr<Core> core_;
  bool listening_ = false;
};

}  // namespace parlevo
