#include "notifications/mx_lookup.h"

#include <ares.h>
#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace parlevo {

namespace {

void EnsureAresInitialised() {
  // ares_library_init is not thread-safe; it runs once for the process.
  static std::once_flag once;
  static int status = ARES_SUCCESS;
  std::call_once(once, [] { status = ares_library_init(ARES_LIB_INIT_ALL); });
  if (status != ARES_SUCCESS) {
    throw std::runtime_error(std::string("DNS resolver could not be initialised: ") +
                             ares_strerror(status));
  }
}

// What the query's callback leaves for the loop.
struct TQueryOutcome {
  bool done = false;
  int status = ARES_SUCCESS;
  std::vector<TMxRecord> records;
};

void TakeAnswer(void* arg, int status, int, unsigned char* answer, int length) {
  auto* outcome = static_cast<TQueryOutcome*>(arg);
  outcome->done = true;
  outcome->status = status;
  if (status != ARES_SUCCESS) return;
  ares_mx_reply* replies = nullptr;
  outcome->status = ares_parse_mx_reply(answer, length, &replies);
  for (const ares_mx_reply* r = replies; r != nullptr; r = r->next) {
    outcome->records.push_back({r->priority, r->host != nullptr ? r->host : ""});
  }
  if (replies != nullptr) ares_free_data(replies);
}

// The number of DNS servers of the system's resolver configuration, at least one.
int SystemServerCount() {
  ares_channel probe = nullptr;
  if (ares_init(&probe) != ARES_SUCCESS) return 1;
  int count = 0;
  ares_addr_node* servers = nullptr;
  if (ares_get_servers(probe, &servers) == ARES_SUCCESS) {
    for (const ares_addr_node* s = servers; s != nullptr; s = s->next) ++count;
  }
  if (servers != nullptr) ares_free_data(servers);
  ares_destroy(probe);
  return std::max(count, 1);
}

// Owns one resolver channel; destroying it ends what is still under way.
class TChannel {
 public:
  TChannel(std::chrono::milliseconds wait, const TDnsServer& server) {
    ares_options options{};
    // One try per server; the servers share the bound, so that a silent first one leaves the
    // next its turn. The loop's own deadline covers whatever c-ares would still do after it
    // (the TCP fallback included).
    const int servers = server.address.empty() ? SystemServerCount() : 1;
    options.timeout = static_cast<int>(std::max<long long>(1, wait.count() / servers));
    options.tries = 1;
    options.flags = 0;  // recursion desired; a truncated answer is asked again over TCP
    const int status = ares_init_options(&channel_, &options,
                                         ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS);
    if (status != ARES_SUCCESS) {
      throw std::runtime_error(std::string("DNS resolver could not be initialised: ") +
                               ares_strerror(status));
    }
    if (server.address.empty()) return;
    ares_addr_port_node node{};
    node.family = AF_INET;
    node.udp_port = server.port;
    node.tcp_port = server.port;
    if (inet_pton(AF_INET, server.address.c_str(), &node.addr.addr4) != 1) {
      ares_destroy(channel_);
      throw std::runtime_error("invalid DNS server address '" + server.address + "'");
    }
    if (const int set = ares_set_servers_ports(channel_, &node); set != ARES_SUCCESS) {
      ares_destroy(channel_);
      throw std::runtime_error(std::string("DNS server could not be set: ") + ares_strerror(set));
    }
  }
  ~TChannel() { ares_destroy(channel_); }
  TChannel(const TChannel&) = delete;
  TChannel& operator=(const TChannel&) = delete;
  ares_channel get() const { return channel_; }

 private:
  ares_channel channel_ = nullptr;
};

std::string Why(int status) {
  switch (status) {
    case ARES_ENOTFOUND:
      return "domain not found";
    case ARES_ENODATA:
      return "no MX record";
    case ARES_ETIMEOUT:
      return "no answer from the DNS server";
    case ARES_ESERVFAIL:
      return "DNS server failure";
    case ARES_EBADRESP:
      return "malformed answer";
    default:
      return ares_strerror(status);
  }
}

}  // namespace

std::optional<TDnsServer> ParseDnsServer(std::string_view text) {
  TDnsServer server;
  const size_t colon = text.find(':');
  server.address = std::string(text.substr(0, colon));
  in_addr parsed{};
  if (inet_pton(AF_INET, server.address.c_str(), &parsed) != 1) return std::nullopt;
  if (colon == std::string_view::npos) return server;
  const std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const int value = std::stoi(std::string(port));
  if (value < 1 || value > 65535) return std::nullopt;
  server.port = static_cast<uint16_t>(value);
  return server;
}

std::vector<TMxRecord> LookupMx(std::string_view domain, const TDnsServer& server,
                                std::chrono::milliseconds wait, const TMailCancel* cancel) {
  if (domain.empty()) throw std::runtime_error("DNS lookup of an empty domain");
  const std::string name(domain);
  const auto fail = [&name](const std::string& why) {
    return std::runtime_error("MX lookup of '" + name + "': " + why);
  };
  if (cancel != nullptr && cancel->Cancelled()) throw fail("not asked, the service is stopping");
  EnsureAresInitialised();

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + wait;
  TQueryOutcome outcome;
  {
    TChannel channel(wait, server);
    ares_query(channel.get(), name.c_str(), 1 /* class IN */, 15 /* type MX */, &TakeAnswer,
               &outcome);
    while (!outcome.done) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0)
        throw fail("no answer from the DNS server within " + std::to_string(wait.count()) + " ms");
      ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
      const int bits = ares_getsock(channel.get(), sockets, ARES_GETSOCK_MAXNUM);
      std::vector<pollfd> polled;
      for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
        if (events != 0) polled.push_back({sockets[i], events, 0});
      }
      if (cancel != nullptr) polled.push_back({cancel->WakeFd(), POLLIN, 0});
      // c-ares' own timers (a retry, its time-out) may come before the deadline.
      timeval limit{left / 1000, static_cast<suseconds_t>((left % 1000) * 1000)};
      timeval next{};
      const timeval* due = ares_timeout(channel.get(), &limit, &next);
      const int poll_ms =
          static_cast<int>(std::min<long long>(left, due->tv_sec * 1000LL + due->tv_usec / 1000));
      const int ready = ::poll(polled.data(), polled.size(), std::max(poll_ms, 1));
      if (cancel != nullptr && cancel->Cancelled())
        throw fail("cancelled, the service is stopping");
      if (ready <= 0) {
        ares_process_fd(channel.get(), ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // timers only
        continue;
      }
      for (const pollfd& p : polled) {
        if (p.revents == 0 || (cancel != nullptr && p.fd == cancel->WakeFd())) continue;
        const bool in = (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        const bool out = (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
        ares_process_fd(channel.get(), in ? p.fd : ARES_SOCKET_BAD, out ? p.fd : ARES_SOCKET_BAD);
        if (outcome.done) break;
      }
    }
  }
  if (outcome.status != ARES_SUCCESS) throw fail(Why(outcome.status));
  return outcome.records;
}

}  // namespace parlevo
