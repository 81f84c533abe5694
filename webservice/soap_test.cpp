#include "webservice/soap.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include <pugixml.hpp>

#include "webservice/helpers_xml.h"

namespace parlevo::soap {
namespace {

constexpr const char* kEnvNs = "http://schemas.xmlsoap.org/soap/envelope/";

// Every method answers with its name and its arguments, so that a test sees what was decoded.
TConferenceServiceMethods Recorder() {
  TConferenceServiceMethods m;
  m.GetLanguage = [](const std::string& c) { return "GetLanguage:" + c; };
  m.DoKonferenzAction = [](const std::string& r) -> std::string {
    if (r == "fail") throw std::runtime_error("database <locked>");
    if (r == "odd") throw 42;
    if (r == "busy") throw TSoapServiceBusy("too many at once");
    return "DoKonferenzAction:" + r;
  };
  m.TranslateLanguageCode = [](const std::string& c, const std::string& l) {
    return "TranslateLanguageCode:" + c + "," + l;
  };
  m.getAmPm = [] { return std::string("<response><useAmPm>true</useAmPm></response>"); };
  return m;
}

std::string Envelope(const std::string& body, const std::string& prefix = "SOAP-ENV") {
  return "<?xml version=\"1.0\"?><" + prefix + ":Envelope xmlns:" + prefix + "=\"" + kEnvNs +
         "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><" +
         prefix + ":Body>" + body + "</" + prefix + ":Body></" + prefix + ":Envelope>";
}

struct Decoded {
  int status = 0;
  std::string return_text;
  std::string return_type;
  std::string response_name;
  std::string fault_code;
  std::string fault_string;
};

Decoded Call(const std::string& envelope) {
  const TSoapHttpResponse r = InvokeSoapCall(envelope, Recorder());
  EXPECT_EQ(r.content_type, "text/xml; charset=utf-8");
  Decoded d;
  d.status = r.status;
  pugi::xml_document doc;
  const auto parsed = doc.load_string(r.body.c_str());
  EXPECT_TRUE(parsed) << r.body;
  const pugi::xml_node body = doc.child("SOAP-ENV:Envelope").child("SOAP-ENV:Body");
  const pugi::xml_node first = body.first_child();
  if (std::string_view(first.name()) == "SOAP-ENV:Fault") {
    d.fault_code = NodeText(first.child("faultcode"));
    d.fault_string = NodeText(first.child("faultstring"));
  } else {
    d.response_name = first.name();
    EXPECT_STREQ(first.attribute("xmlns:NS1").value(), "urn:SOAPIntf-IZYNTConferenceService");
    d.return_text = NodeText(first.child("return"));
    d.return_type = first.child("return").attribute("xsi:type").value();
  }
  return d;
}

TEST(SoapCall, DecodesRpcCallsWithAnyPrefix) {
  Decoded d =
      Call(Envelope("<NS1:TranslateLanguageCode xmlns:NS1=\"urn:SOAPIntf-IZYNTConferenceService\">"
                    "<languageCode xsi:type=\"xsd:string\">eng</languageCode>"
                    "<translatedLanguage xsi:type=\"xsd:string\">ger</translatedLanguage>"
                    "</NS1:TranslateLanguageCode>"));
  EXPECT_EQ(d.status, 200);
  EXPECT_EQ(d.response_name, "NS1:TranslateLanguageCodeResponse");
  EXPECT_EQ(d.return_type, "xsd:string");
  EXPECT_EQ(d.return_text, "TranslateLanguageCode:eng,ger");

  // Other prefixes, parameters in another order, a default namespace on the call.
  d =
      Call(Envelope("<TranslateLanguageCode xmlns=\"urn:SOAPIntf-IZYNTConferenceService\">"
                    "<translatedLanguage>fra</translatedLanguage><languageCode>ita</languageCode>"
                    "</TranslateLanguageCode>",
                    "soapenv"));
  EXPECT_EQ(d.return_text, "TranslateLanguageCode:ita,fra");

  // Prefixed parameter names and a missing parameter (read as the empty text).
  d =
      Call(Envelope("<m:TranslateLanguageCode xmlns:m=\"urn:x\"><m:languageCode>eng"
                    "</m:languageCode></m:TranslateLanguageCode>",
                    "s"));
  EXPECT_EQ(d.return_text, "TranslateLanguageCode:eng,");
}

TEST(SoapCall, ResolvesMultiRefValuesAndNil) {
  Decoded d =
      Call(Envelope("<ns1:TranslateLanguageCode xmlns:ns1=\"urn:SOAPIntf-IZYNTConferenceService\">"
                    "<languageCode href=\"#id1\"/><translatedLanguage href=\"#id2\"/>"
                    "</ns1:TranslateLanguageCode>"
                    "<multiRef id=\"id2\" SOAP-ENC:root=\"0\" "
                    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">ger</multiRef>"
                    "<multiRef id=\"id1\" SOAP-ENC:root=\"0\" "
                    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">eng</multiRef>"));
  EXPECT_EQ(d.return_text, "TranslateLanguageCode:eng,ger");

  d = Call(Envelope("<GetLanguage><languageCode xsi:nil=\"true\"/></GetLanguage>"));
  EXPECT_EQ(d.return_text, "GetLanguage:");

  d = Call(Envelope("<GetLanguage><languageCode href=\"#nowhere\"/></GetLanguage>"));
  EXPECT_EQ(d.status, 500);
  EXPECT_EQ(d.fault_code, "SOAP-ENV:Client");
}

TEST(SoapCall, CarriesTextsBothWays) {
  const std::string request =
      "<Request><Action>addRaum</Action><Name>M\u00fcller &amp; Co</Name></Request>";
  Decoded d =
      Call(Envelope("<DoKonferenzAction><Request xsi:type=\"xsd:string\">"
                    "&lt;Request&gt;&lt;Action&gt;addRaum&lt;/Action&gt;&lt;Name&gt;"
                    "M\u00fcller &amp;amp; Co&lt;/Name&gt;&lt;/Request&gt;"
                    "</Request></DoKonferenzAction>"));
  EXPECT_EQ(d.return_text, "DoKonferenzAction:" + request);
  // A CDATA section is text as well; CR survives, control characters XML cannot carry do not.
  d =
      Call(Envelope("<DoKonferenzAction><Request>a&#13;&#10;b\x01<![CDATA[<c>]]></Request>"
                    "</DoKonferenzAction>"));
  EXPECT_EQ(d.return_text, "DoKonferenzAction:a\r\nb?<c>");
  d = Call(Envelope("<getAmPm/>"));
  EXPECT_EQ(d.return_text, "<response><useAmPm>true</useAmPm></response>");
  EXPECT_EQ(d.response_name, "NS1:getAmPmResponse");
  // Method names match without regard to case.
  d = Call(Envelope("<getlanguage><languagecode>ger</languagecode></getlanguage>"));
  EXPECT_EQ(d.response_name, "NS1:GetLanguageResponse");
  EXPECT_EQ(d.return_text, "GetLanguage:ger");
}

TEST(SoapCall, BadRequestsAreClientFaults) {
  for (const std::string& body :
       {std::string("GetRaeume"), std::string(""), std::string("<a><b></a>"),
        std::string("<Envelope><Header/></Envelope>"), Envelope(""), Envelope("<NoSuchMethod/>"),
        Envelope("<multiRef id=\"1\" root=\"0\">x</multiRef>")}) {
    const Decoded d = Call(body);
    EXPECT_EQ(d.status, 500) << body;
    EXPECT_EQ(d.fault_code, "SOAP-ENV:Client") << body;
    EXPECT_FALSE(d.fault_string.empty()) << body;
  }
}

TEST(SoapCall, BodiesNotValidInTheirEncodingAreClientFaults) {
  const std::string call = "<GetLanguage><languageCode>a\xFF\xFEz</languageCode></GetLanguage>";
  const std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + Envelope(call).substr(21);
  for (const std::string& body :
       {utf8, Envelope(call), "\xEF\xBB\xBF" + Envelope(call),
        // Overlong forms and encoded surrogates are no UTF-8 either.
        Envelope("<GetLanguage><languageCode>\xC0\xAF\xED\xA0\x80</languageCode></GetLanguage>"),
        "<?xml version=\"1.0\" encoding=\"us-ascii\"?>" +
            Envelope("<GetLanguage><languageCode>\xC3\xA4</languageCode></GetLanguage>").substr(21),
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + Envelope("<getAmPm/>").substr(21)}) {
    const Decoded d = Call(body);
    EXPECT_EQ(d.status, 500) << body;
    EXPECT_EQ(d.fault_code, "SOAP-ENV:Client") << body;
    EXPECT_TRUE(d.response_name.empty()) << body;
  }
  EXPECT_EQ(Call(utf8).fault_string, "The request is not valid UTF-8: byte 0xFF at offset " +
                                         std::to_string(utf8.find('\xFF')));

  // Latin-1 takes every byte; well-formed UTF-8 and UTF-16 with a byte-order mark are read.
  Decoded d =
      Call("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" +
           Envelope("<GetLanguage><languageCode>\xE4\xFF</languageCode></GetLanguage>").substr(21));
  EXPECT_EQ(d.return_text, "GetLanguage:\u00e4\u00ff");
  d = Call(
      Envelope("<GetLanguage><languageCode>\u00e4\u20ac\U0001F600</languageCode></GetLanguage>"));
  EXPECT_EQ(d.return_text, "GetLanguage:\u00e4\u20ac\U0001F600");
  const auto utf16 = [](const std::string& ascii, char16_t extra) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) {
      if (c == '#') {
        bytes.push_back(static_cast<char>(extra & 0xFF));
        bytes.push_back(static_cast<char>(extra >> 8));
        continue;
      }
      bytes.push_back(c);
      bytes.push_back('\0');
    }
    return bytes;
  };
  const std::string with_mark =
      Envelope("<GetLanguage><languageCode>#</languageCode></GetLanguage>").substr(21);
  d = Call(utf16(with_mark, u'\u00e4'));
  EXPECT_EQ(d.return_text, "GetLanguage:\u00e4");
  d = Call(utf16(with_mark, 0xD800));  // half of a pair
  EXPECT_EQ(d.fault_code, "SOAP-ENV:Client");
}

TEST(SoapCall, FailuresAreServerFaults) {
  Decoded d = Call(Envelope("<DoKonferenzAction><Request>fail</Request></DoKonferenzAction>"));
  EXPECT_EQ(d.status, 500);
  EXPECT_EQ(d.fault_code, "SOAP-ENV:Server");
  EXPECT_EQ(d.fault_string, "database <locked>");
  d = Call(Envelope("<DoKonferenzAction><Request>odd</Request></DoKonferenzAction>"));
  EXPECT_EQ(d.fault_code, "SOAP-ENV:Server");
  // No room for the call now: the client may send it again.
  d = Call(Envelope("<DoKonferenzAction><Request>busy</Request></DoKonferenzAction>"));
  EXPECT_EQ(d.status, 503);
  EXPECT_EQ(d.fault_code, "SOAP-ENV:Server");
  EXPECT_EQ(d.fault_string, "too many at once");
  // A method without an implementation.
  d = Call(Envelope("<getLatestVersion/>"));
  EXPECT_EQ(d.status, 500);
  EXPECT_EQ(d.fault_code, "SOAP-ENV:Server");
}

TEST(SoapWsdl, DescribesTheInterfaceFromTheTable) {
  const std::string wsdl = GenerateWsdl("pbx01:81");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(wsdl.c_str()));
  const pugi::xml_node defs = doc.child("definitions");
  const pugi::xml_node port_type = defs.child("portType");
  EXPECT_STREQ(port_type.attribute("name").value(), "IZYNTConferenceService");
  size_t index = 0;
  for (pugi::xml_node op : port_type.children("operation")) {
    ASSERT_LT(index, ConferenceServiceTable().size());
    const TSoapMethod& m = ConferenceServiceTable()[index++];
    EXPECT_EQ(op.attribute("name").value(), m.name);
    const pugi::xml_node message =
        defs.find_child_by_attribute("message", "name", (std::string(m.name) + "Request").c_str());
    ASSERT_TRUE(message) << m.name;
    size_t p = 0;
    for (pugi::xml_node part : message.children("part")) {
      ASSERT_LT(p, m.parameters.size());
      EXPECT_EQ(part.attribute("name").value(), m.parameters[p++].name);
    }
    EXPECT_EQ(p, m.parameters.size());
  }
  EXPECT_EQ(index, 7u);
  EXPECT_STREQ(defs.child("binding").child("soap:binding").attribute("style").value(), "rpc");
  EXPECT_STREQ(
      defs.child("service").child("port").child("soap:address").attribute("location").value(),
      "http://pbx01:81/soap/IZYNTConferenceService");
  // A hostile Host header cannot break out of the attribute.
  pugi::xml_document hostile;
  ASSERT_TRUE(hostile.load_string(GenerateWsdl("a\"><x y=\"&").c_str()));
}

TEST(SoapTable, MethodsAndParametersInInterfaceOrder) {
  const auto table = ConferenceServiceTable();
  ASSERT_EQ(table.size(), 7u);
  EXPECT_EQ(table[0].name, "GetLanguage");
  EXPECT_EQ(table[1].name, "DoKonferenzAction");
  EXPECT_EQ(table[2].name, "TranslateLanguageCode");
  ASSERT_EQ(table[2].parameters.size(), 2u);
  EXPECT_EQ(table[2].parameters[0].name, "languageCode");
  EXPECT_EQ(table[2].parameters[1].name, "translatedLanguage");
  EXPECT_EQ(table[3].name, "GetTemplateLanguages");
  EXPECT_EQ(table[4].name, "GetConferenceIDFromMemberPIN");
  EXPECT_EQ(table[4].parameters[0].name, "strMemberPIN");
  EXPECT_EQ(table[5].name, "getLatestVersion");
  EXPECT_EQ(table[6].name, "getAmPm");
}

TEST(SoapModule, RoutesWsdlCallsAndInfoPage) {
  const TConferenceServiceMethods methods = Recorder();
  TSoapHttpResponse r =
      HandleSoapRequest({"GET", "/wsdl/IZYNTConferenceService", "h:81", ""}, methods);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("http://h:81/soap/IZYNTConferenceService"), std::string::npos);

  r = HandleSoapRequest({"GET", "/SOAP/IZyntConferenceService", "h", ""}, methods);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "text/html; charset=utf-8");
  EXPECT_NE(r.body.find("href=\"/wsdl/IZYNTConferenceService\""), std::string::npos);
  EXPECT_NE(r.body.find("TranslateLanguageCode(languageCode: string, translatedLanguage: string)"),
            std::string::npos);

  r = HandleSoapRequest({"POST", "/soap/IZYNTConferenceService", "h",
                         Envelope("<GetLanguage><languageCode>ger</languageCode></GetLanguage>")},
                        methods);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("GetLanguage:ger"), std::string::npos);

  r = HandleSoapRequest({"GET", "/index.html", "h", ""}, methods);
  EXPECT_EQ(r.status, 404);
}

}  // namespace
}  // namespace parlevo::soap
