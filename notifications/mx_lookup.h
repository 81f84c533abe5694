// The mail exchangers of a domain, asked of a DNS server with c-ares. One bound covers the whole
// lookup, the UDP query and its TCP fallback after a truncated answer alike, and a cancel ends
// it at once. Each call has its own resolver channel, so lookups from several threads never
// share anything.
//
// Thread safety: LookupMx may be called from any thread at the same time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notifications/mail_cancel.h"

namespace parlevo {

// The DNS server to ask. An empty address means the servers of the system's resolver
// configuration (/etc/resolv.conf).
struct TDnsServer {
  std::string address;  // IPv4 address text
  uint16_t port = 53;
};

// "ADDRESS" or "ADDRESS:PORT" (IPv4 address, port 1-65535; without one, 53). nullopt for any
// other text.
std::optional<TDnsServer> ParseDnsServer(std::string_view text);

struct TMxRecord {
  uint16_t preference = 0;
  std::string exchange;
};

// The MX records of domain in the order the server gave them, asked with recursion desired.
// Gives up when no answer has come within wait, whatever the server does meanwhile (silence,
// a truncated answer and a TCP connection that never answers). Throws std::runtime_error when
// the lookup fails (no answer in time, cancelled, an error code such as NXDOMAIN, a malformed
// answer, an invalid server address). cancel, when given, must outlive the call.
std::vector<TMxRecord> LookupMx(std::string_view domain, const TDnsServer& server,
                                std::chrono::milliseconds wait,
                                const TMailCancel* cancel = nullptr);

}  // namespace parlevo
