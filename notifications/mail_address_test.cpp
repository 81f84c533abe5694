#include "notifications/mail_address.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TEST(Recipients, CutAtCommaFirstThenSemicolon) {
  std::string list = "anna@example.de; bob@example.de";
  EXPECT_EQ(ExtractNextRecipient(list), "anna@example.de");
  EXPECT_EQ(list, "bob@example.de");
  EXPECT_EQ(ExtractNextRecipient(list), "bob@example.de");
  EXPECT_EQ(list, "");

  // The "," wins, so the first piece holds two addresses and fails the syntax check.
  list = "a@example.de;b@example.de, c@example.de";
  const std::string first = ExtractNextRecipient(list);
  EXPECT_EQ(first, "a@example.de;b@example.de");
  EXPECT_FALSE(IsValidEmail(first));
  EXPECT_EQ(ExtractNextRecipient(list), "c@example.de");

  list = " \t x@y.de \r\n";
  EXPECT_EQ(ExtractNextRecipient(list), "x@y.de");
}

TEST(Recipients, SyntaxCheck) {
  EXPECT_TRUE(IsValidEmail("anna.meier@example.de"));
  EXPECT_TRUE(IsValidEmail("a_b-c@sub.example-x.com"));
  EXPECT_TRUE(IsValidEmail("x@a.de"));   // four characters, dot at position 2
  EXPECT_FALSE(IsValidEmail("x@ab.c"));  // dot among the last two characters
  EXPECT_FALSE(IsValidEmail("x@abcd"));  // no dot
  EXPECT_FALSE(IsValidEmail("x@.abc"));  // dot at position 1
  EXPECT_FALSE(IsValidEmail("x@a.d"));   // domain shorter than four characters
  EXPECT_FALSE(IsValidEmail("@example.de"));
  EXPECT_FALSE(IsValidEmail("anna..m@example.de"));
  EXPECT_FALSE(IsValidEmail("a@b@example.de"));
  EXPECT_FALSE(IsValidEmail("a+tag@example.de"));
  EXPECT_FALSE(IsValidEmail("m\xC3\xBCller@example.de"));
  EXPECT_FALSE(IsValidEmail("anna example.de"));
  EXPECT_TRUE(IsValidMailChars(""));
}

TEST(Recipients, FileNameAfterTheLastSlash) {
  EXPECT_EQ(ExtractFileNameExt("http://host/files/plan.pdf"), "plan.pdf");
  EXPECT_EQ(ExtractFileNameExt("C:\\Templates\\a.txt"), "a.txt");
  EXPECT_EQ(ExtractFileNameExt("plain.txt"), "plain.txt");
}

}  // namespace
}  // namespace parlevo
