// The mail exchangers of a domain, asked of a DNS server with glibc's resolver. Each call has its
// own resolver state, so lookups from several threads never share anything.
//
// Thread safety: LookupMx may be called from any thread at the same time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo {

// The DNS server to ask. An empty address means the servers of the system's resolver
// configuration.
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

// The MX records of domain in the order the server gave them, asked with recursion desired and
// waiting about wait for an answer. Throws std::runtime_error when the lookup fails (no answer,
// an error code such as NXDOMAIN, a malformed answer, an invalid server address).
std::vector<TMxRecord> LookupMx(std::string_view domain, const TDnsServer& server,
                                std::chrono::milliseconds wait);

}  // namespace parlevo
