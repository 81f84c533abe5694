#include "notifications/send_mail_module.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace parlevo {
namespace {

// Restores the variable as it was before the test.
class DnsServerVariable : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = getenv(kDnsServerEnvVar)) saved_ = value;
  }
  void TearDown() override {
    if (saved_) {
      setenv(kDnsServerEnvVar, saved_->c_str(), 1);
    } else {
      unsetenv(kDnsServerEnvVar);
    }
  }
  std::optional<std::string> saved_;
};

TEST_F(DnsServerVariable, NamesTheServerAskedForMailExchangers) {
  setenv(kDnsServerEnvVar, "127.0.0.1:5353", 1);
  auto options = ServiceEMailModuleOptions();
  EXPECT_EQ(options.dns_server.address, "127.0.0.1");
  EXPECT_EQ(options.dns_server.port, 5353);
}

TEST_F(DnsServerVariable, UnsetEmptyOrInvalidLeavesTheSystemResolver) {
  unsetenv(kDnsServerEnvVar);
  EXPECT_EQ(ServiceEMailModuleOptions().dns_server.address, "");
  setenv(kDnsServerEnvVar, "", 1);
  EXPECT_EQ(ServiceEMailModuleOptions().dns_server.address, "");
  setenv(kDnsServerEnvVar, "dns.example:53", 1);
  EXPECT_EQ(ServiceEMailModuleOptions().dns_server.address, "");
}

}  // namespace
}  // namespace parlevo
