#include "notifications/mx_lookup.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TEST(ParseDnsServer, AddressWithAndWithoutPort) {
  auto server = ParseDnsServer("127.0.0.1:5353");
  ASSERT_TRUE(server);
  EXPECT_EQ(server->address, "127.0.0.1");
  EXPECT_EQ(server->port, 5353);
  server = ParseDnsServer("10.1.2.3");
  ASSERT_TRUE(server);
  EXPECT_EQ(server->address, "10.1.2.3");
  EXPECT_EQ(server->port, 53);
  EXPECT_EQ(ParseDnsServer("127.0.0.1:65535")->port, 65535);
}

TEST(ParseDnsServer, AnythingElseIsRefused) {
  for (const char* text : {"", "localhost", "localhost:53", "127.0.0.1:", "127.0.0.1:0",
                           "127.0.0.1:65536", "127.0.0.1:99999999", "127.0.0.1:53x", "127.0.0.1:-1",
                           "127.0.0.1: 53", " 127.0.0.1", "::1", "1.2.3:53"}) {
    EXPECT_FALSE(ParseDnsServer(text)) << text;
  }
}

}  // namespace
}  // namespace parlevo
