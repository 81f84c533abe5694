#include "notifications/mx_lookup.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace parlevo {

namespace {

// Owns the per-call resolver state.
class TResolverState {
 public:
  TResolverState() {
    std::memset(&state_, 0, sizeof state_);
    if (res_ninit(&state_) != 0) throw std::runtime_error("DNS resolver could not be initialised");
  }
  ~TResolverState() { res_nclose(&state_); }
  TResolverState(const TResolverState&) = delete;
  TResolverState& operator=(const TResolverState&) = delete;
  res_state get() { return &state_; }

 private:
  struct __res_state state_;
};

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
                                std::chrono::milliseconds wait) {
  if (domain.empty()) throw std::runtime_error("DNS lookup of an empty domain");
  TResolverState resolver;
  res_state st = resolver.get();
  st->options |= RES_RECURSE;
  st->retrans = static_cast<int>(std::max<long long>(1, (wait.count() + 999) / 1000));
  st->retry = 1;
  if (!server.address.empty()) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.port);
    if (inet_pton(AF_INET, server.address.c_str(), &addr.sin_addr) != 1) {
      throw std::runtime_error("invalid DNS server address '" + server.address + "'");
    }
    st->nsaddr_list[0] = addr;
    st->nscount = 1;
  }

  std::vector<unsigned char> answer(NS_MAXMSG);
  const std::string name(domain);
  const int length = res_nquery(st, name.c_str(), ns_c_in, ns_t_mx, answer.data(),
                                static_cast<int>(answer.size()));
  if (length < 0) {
    const char* why = "no answer";
    switch (st->res_h_errno) {
      case HOST_NOT_FOUND:
        why = "domain not found";
        break;
      case NO_DATA:
        why = "no MX record";
        break;
      case TRY_AGAIN:
        why = "no answer from the DNS server";
        break;
      case NO_RECOVERY:
        why = "DNS server failure";
        break;
      default:
        break;
    }
    throw std::runtime_error("MX lookup of '" + name + "': " + why);
  }

  ns_msg message;
  if (ns_initparse(answer.data(), length, &message) != 0) {
    throw std::runtime_error("MX lookup of '" + name + "': malformed answer");
  }
  std::vector<TMxRecord> records;
  const int count = ns_msg_count(message, ns_s_an);
  for (int i = 0; i < count; ++i) {
    ns_rr rr;
    if (ns_parserr(&message, ns_s_an, i, &rr) != 0) {
      throw std::runtime_error("MX lookup of '" + name + "': malformed answer record");
    }
    if (ns_rr_type(rr) != ns_t_mx || ns_rr_rdlen(rr) < 3) continue;
    const unsigned char* rdata = ns_rr_rdata(rr);
    TMxRecord record;
    record.preference = static_cast<uint16_t>(ns_get16(rdata));
    char exchange[NS_MAXDNAME];
    if (ns_name_uncompress(ns_msg_base(message), ns_msg_end(message), rdata + 2, exchange,
                           sizeof exchange) < 0) {
      throw std::runtime_error("MX lookup of '" + name + "': malformed exchanger name");
    }
    record.exchange = exchange;
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace parlevo
