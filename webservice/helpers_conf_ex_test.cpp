#include "webservice/helpers_conf_ex.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "platform/random.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using Fields = std::vector<std::string>;

TEST(RequestDocument, FieldNamesMatchWithoutRegardToCase) {
  pugi::xml_document doc;
  LoadRequestDocument(doc,
                      "<Request><Action>GetRaeume</Action><KonferenzID>12</KonferenzID>"
                      "</Request>");
  pugi::xml_node root = doc.document_element();
  EXPECT_STREQ(root.name(), "request");
  EXPECT_EQ(NodeText(FindXMLNode(root, "action", false)), "GetRaeume");
  EXPECT_EQ(NodeText(FindXMLNode(root, "KonferenzID", true)), "12");
  // A field the request lacks reads as the empty text.
  EXPECT_EQ(NodeText(FindXMLNode(root, "name", true)), "");
}

TEST(RequestDocument, KeepsTextsAndIgnoresTheDeclaredEncoding) {
  pugi::xml_document doc;
  LoadRequestDocument(doc,
                      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<request>"
                      "<Action>addRaum</Action><Name><![CDATA[<M\u00fcller & Co>]]></Name>"
                      "<Mail>a&amp;b@x.de</Mail></request>");
  pugi::xml_node root = doc.document_element();
  EXPECT_EQ(NodeText(FindXMLNode(root, "name", true)), "<M\u00fcller & Co>");
  EXPECT_EQ(NodeText(FindXMLNode(root, "mail", true)), "a&b@x.de");
}

TEST(RequestDocument, MalformedTextThrows) {
  pugi::xml_document doc;
  EXPECT_THROW(LoadRequestDocument(doc, "<request><action>x</request>"), std::runtime_error);
  EXPECT_THROW(LoadRequestDocument(doc, ""), std::runtime_error);
  EXPECT_THROW(LoadRequestDocument(doc, "GetRaeume"), std::runtime_error);
}

TEST(CreateResultXML, BuildsTheEnvelope) {
  EXPECT_EQ(CreateResultXML(0, "OK", ""),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><response><result><code>0</code>"
            "<description>OK</description></result></response>");
  EXPECT_EQ(CreateResultXML(-1, "Fehler", "<id>7</id>"),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><response><result><code>-1</code>"
            "<description>Fehler</description></result><id>7</id></response>");
}

TEST(CreateResultXML, EscapesTheDescription) {
  const std::string answer = CreateResultXML(-999, "Syntax error near \"<\" & '>'", "<x>1</x>");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str()));
  pugi::xml_node root = doc.document_element();
  EXPECT_EQ(NodeText(FindXMLNode(root, "result.description", false)),
            "Syntax error near \"<\" & '>'");
  EXPECT_EQ(NodeText(FindXMLNode(root, "x", false)), "1");
}

TEST(GetQueryResultText, SetsOrCreatesResult) {
  pugi::xml_document doc;
  doc.append_child("RESPONSE");
  GetQueryResultText(doc, "");
  EXPECT_EQ(DocumentXMLText(doc), "<RESPONSE><result>Fehler</result></RESPONSE>");
  GetQueryResultText(doc, "no such table");
  EXPECT_EQ(DocumentXMLText(doc), "<RESPONSE><result>no such table</result></RESPONSE>");
}

TEST(GenerateRandomPin, FiveDigitsWithLeadingZerosKept) {
  SeedRandomForTesting(7);
  bool leading_zero = false;
  for (int i = 0; i < 2000; ++i) {
    const std::string pin = GenerateRandomPin();
    ASSERT_EQ(pin.size(), 5u);
    for (char c : pin) ASSERT_TRUE(c >= '0' && c <= '9') << pin;
    leading_zero = leading_zero || pin[0] == '0';
  }
  EXPECT_TRUE(leading_zero);
}

TEST(ParticipantExistsText, OnlyForMinusOne) {
  EXPECT_EQ(ParticipantExistsText(-1), "Teilnehmer exisitert in der Konferenz bereits");
  EXPECT_EQ(ParticipantExistsText(0), "");
}

TEST(SplitString, FieldsAndSeparators) {
  EXPECT_EQ(SplitString("a;;b", ';', false, false), (Fields{"a", "", "b"}));
  EXPECT_EQ(SplitString("a;b;", ';', false, false), (Fields{"a", "b"}));
  EXPECT_EQ(SplitString("", ';', false, false), Fields{});
  EXPECT_EQ(SplitString(" a ; b ", ';', true, false), (Fields{"a", "b"}));
  EXPECT_EQ(SplitString(" a ; b ", ';', false, false), (Fields{" a ", " b "}));
  EXPECT_EQ(SplitString("12|ger|-1|0", '|', false, false), (Fields{"12", "ger", "-1", "0"}));
}

TEST(SplitString, QuotesGroupAField) {
  EXPECT_EQ(SplitString("\"x;y\";z", ';', false, true), (Fields{"x;y", "z"}));
  EXPECT_EQ(SplitString("a;\"\";b", ';', false, true), (Fields{"a", "", "b"}));
  // Without quote handling the quotes are ordinary characters.
  EXPECT_EQ(SplitString("\"x;y\"", ';', false, false), (Fields{"\"x", "y\""}));
}

TEST(StripPort, RemovesColonAndDigits) {
  EXPECT_EQ(StripPort("pbx01:81"), "pbx01");
  EXPECT_EQ(StripPort("pbx01:81x"), "pbx01x");
  EXPECT_EQ(StripPort("pbx01"), "");
  EXPECT_EQ(StripPort("pbx01:"), "");
  EXPECT_EQ(StripPort("10.0.0.5:8080"), "10.0.0.5");
}

TEST(RequestHostName, PortsDefaultPortAndIpv6) {
  EXPECT_EQ(RequestHostName("pbx01:81"), "pbx01");
  EXPECT_EQ(RequestHostName("pbx01"), "pbx01");
  EXPECT_EQ(RequestHostName(" pbx01.example.org "), "pbx01.example.org");
  EXPECT_EQ(RequestHostName("[fe80::1]:81"), "[fe80::1]");
  EXPECT_EQ(RequestHostName("[::1]"), "[::1]");
  EXPECT_EQ(RequestHostName(""), "");
  EXPECT_EQ(RequestHostName(":81"), "");
  EXPECT_EQ(RequestHostName("[::1"), "");
  EXPECT_EQ(RequestHostName("evil\"><a>"), "");
}

class HostValues {
 public:
  std::map<std::string, std::string> values;
  int writes = 0;
  THostValueAccess Access() {
    return {[this](const std::string& n) { return values[n]; },
            [this](const std::string& n, const std::string& v) {
              values[n] = v;
              ++writes;
            }};
  }
};

TEST(GetRequestHost, FillsOnlyEmptyValues) {
  HostValues reg;
  reg.values["MailHost"] = "mail.example.org";
  reg.values["SMSHost"] = "  ";
  GetRequestHost("pbx01:81", reg.Access());
  EXPECT_EQ(reg.values["MailHost"], "mail.example.org");
  EXPECT_EQ(reg.values["SMSHost"], "pbx01");

  HostValues fresh;
  GetRequestHost("pbx02", fresh.Access());
  EXPECT_EQ(fresh.values["MailHost"], "pbx02");
  EXPECT_EQ(fresh.values["SMSHost"], "pbx02");

  HostValues untouched;
  GetRequestHost("", untouched.Access());
  GetRequestHost(":81", untouched.Access());
  EXPECT_EQ(untouched.writes, 0);
}

TEST(GetRequestHost, PassesValueErrorsOn) {
  THostValueAccess failing{
      [](const std::string&) -> std::string { throw std::runtime_error("registry unavailable"); },
      [](const std::string&, const std::string&) {}};
  EXPECT_THROW(GetRequestHost("pbx01:81", failing), std::runtime_error);
}

}  // namespace
}  // namespace parlevo
