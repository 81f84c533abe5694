#include "logging/lg_connections.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "logging/lg_exceptions.h"
#include "logging/lg_protocol_factory.h"
#include "logging/lg_test_support.h"

namespace parlevo::logging {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries ParseConnections(std::string_view text) {
  Entries entries;
  TLgConnectionsParser::Parse(text, [&](const std::string& name, const std::string& options) {
    entries.emplace_back(name, options);
  });
  return entries;
}

Entries ParseOptions(std::string_view options) {
  Entries entries;
  TLgOptionsParser::Parse(
      "file", options,
      [&](const std::string& protocol, const std::string& key, const std::string& value) {
        EXPECT_EQ(protocol, "file");
        entries.emplace_back(key, value);
      });
  return entries;
}

std::string ConnectionsError(std::string_view text) {
  try {
    ParseConnections(text);
  } catch (const ELogCenterError& e) {
    return e.what();
  }
  return "no error";
}

std::string OptionsError(std::string_view options) {
  try {
    ParseOptions(options);
  } catch (const ELogCenterError& e) {
    return e.what();
  }
  return "no error";
}

TEST(LgConnectionsParser, SplitsProtocolsAndTheirOptions) {
  EXPECT_EQ(ParseConnections(""), Entries{});
  EXPECT_EQ(ParseConnections("   "), Entries{});
  EXPECT_EQ(ParseConnections("pipe(reconnect=true, reconnect.interval=1s)"),
            (Entries{{"pipe", "reconnect=true, reconnect.interval=1s"}}));
  EXPECT_EQ(ParseConnections("file(), mem()"), (Entries{{"file", ""}, {"mem", ""}}));
  EXPECT_EQ(ParseConnections("file()mem()"), (Entries{{"file", ""}, {"mem", ""}}));
  EXPECT_EQ(ParseConnections("  PIPE ( a=1 )  text(x=2)  "),
            (Entries{{"pipe", "a=1"}, {"text", "x=2"}}));
  // A ")" inside quotes does not end the options; escaped quotes stay as written.
  EXPECT_EQ(ParseConnections("file(filename=\"a)b\", caption=\"x\"\"y\")"),
            (Entries{{"file", "filename=\"a)b\", caption=\"x\"\"y\""}}));
}

TEST(LgConnectionsParser, ReportsMalformedStrings) {
  EXPECT_EQ(ConnectionsError("pipe"), "Missing \"(\" at position 5");
  EXPECT_EQ(ConnectionsError("  pipe  "), "Missing \"(\" at position 5");
  EXPECT_EQ(ConnectionsError("file(), p\xC3\xA4pe"), "Missing \"(\" at position 13");
  EXPECT_EQ(ConnectionsError("file(append=true"), "Missing \")\" at position 17");
  EXPECT_EQ(ConnectionsError("File(filename=\"a.lgf)"),
            "Quoted values not closed at protocol \"file\"");
}

TEST(LgOptionsParser, SplitsKeysAndValues) {
  EXPECT_EQ(ParseOptions(""), Entries{});
  EXPECT_EQ(ParseOptions("reconnect=true, reconnect.interval=1s"),
            (Entries{{"reconnect", "true"}, {"reconnect.interval", "1s"}}));
  EXPECT_EQ(ParseOptions("FileName=\"a,b.lgf\", Caption = My Log "),
            (Entries{{"filename", "a,b.lgf"}, {"caption", "My Log"}}));
  EXPECT_EQ(ParseOptions("filename=\"a\"\"b\""), (Entries{{"filename", "a\"b"}}));
  EXPECT_EQ(ParseOptions("caption=\"  padded  \""), (Entries{{"caption", "padded"}}));
  EXPECT_EQ(ParseOptions("level=debug,"), (Entries{{"level", "debug"}}));
}

TEST(LgOptionsParser, ReportsMalformedOptions) {
  EXPECT_EQ(OptionsError("append"), "Missing \"=\" at \"file\" protocol");
  EXPECT_EQ(OptionsError("a=1, append"), "Missing \"=\" at \"file\" protocol");
  EXPECT_EQ(OptionsError("filename=\"open"), "Quoted value not closed at protocol \"file\"");
}

TEST(LgConnectionsBuilder, WritesQuotedOptionsThatParseBack) {
  TLgConnectionsBuilder builder;
  builder.AddOption("caption", "say \"hi\"");
  builder.AddOption("append", true);
  builder.AddOption("maxparts", 3);
  builder.AddOption("queue", int64_t{2048});
  builder.AddOption("level", TLgLevel::Warning);
  builder.AddOption("rotate", TLgFileRotate::Weekly);
  EXPECT_EQ(builder.Text(),
            "caption=\"say \"\"hi\"\"\", append=\"true\", maxparts=\"3\", queue=\"2048\", "
            "level=\"warning\", rotate=\"weekly\"");
  EXPECT_EQ(ParseOptions(builder.Text()), (Entries{{"caption", "say \"hi\""},
                                                   {"append", "true"},
                                                   {"maxparts", "3"},
                                                   {"queue", "2048"},
                                                   {"level", "warning"},
                                                   {"rotate", "weekly"}}));
  builder.Clear();
  builder.AddOption("a", false);
  EXPECT_EQ(builder.Text(), "a=\"false\"");
}

TEST(LgProtocolVariables, ExpandsEveryOccurrenceExactly) {
  TLgProtocolVariables variables;
  EXPECT_EQ(variables.Expand("file(filename=$dir$/x.lgf)"), "file(filename=$dir$/x.lgf)");
  variables.Put("dir", "/var/log");
  variables.Put("DIR", "/tmp");  // same name: replaces the value
  variables.Put("self", "$self$");
  EXPECT_EQ(variables.Count(), 2);
  EXPECT_EQ(variables.Expand("file(filename=$dir$/x.lgf), text(filename=$dir$/y.log)"),
            "file(filename=/tmp/x.lgf), text(filename=/tmp/y.log)");
  EXPECT_EQ(variables.Expand("$Dir$ $self$"), "$Dir$ $self$");  // the match is case-sensitive
}

TEST(LgProtocolFactory, CreatesRegisteredProtocolsByLowerCasedName) {
  testing::RegisterCaptureProtocol();
  auto protocol = TLgProtocolFactory::GetProtocol("  CAPTURE ", "level=error");
  ASSERT_NE(protocol, nullptr);
  EXPECT_EQ(protocol->GetName(), "capture");
  EXPECT_EQ(protocol->Level(), TLgLevel::Error);

  try {
    TLgProtocolFactory::GetProtocol("Udp", "");
    FAIL();
  } catch (const ELogCenterError& e) {
    EXPECT_STREQ(e.what(), "Protocol \"udp\" not found");
  }
  try {
    TLgProtocolFactory::GetProtocol("capture", "bogus=1");
    FAIL();
  } catch (const ELogCenterError& e) {
    EXPECT_STREQ(e.what(), "Option \"bogus\" not available for protocol \"capture\"");
  }
  // Empty names and classes are ignored.
  TLgProtocolFactory::RegisterProtocol("  ", [] { return std::unique_ptr<TLgProtocol>(); });
  TLgProtocolFactory::RegisterProtocol("nothing", TLgProtocolClass());
  EXPECT_THROW(TLgProtocolFactory::GetProtocol("nothing", ""), ELogCenterError);
}

}  // namespace
}  // namespace parlevo::logging
