#include "webservice/soap.h"

#include <array>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include <pugixml.hpp>

#include "logging/lg_auto.h"
#include "platform/ascii_text.h"
#include "platform/text_codec.h"
#include "webservice/helpers_xml.h"

namespace parlevo::soap {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using Args = std::vector<std::string>;

constexpr std::string_view kXmlType = "text/xml; charset=utf-8";
constexpr std::string_view kHtmlType = "text/html; charset=utf-8";
constexpr std::string_view kSoapEncoding = "http://schemas.xmlsoap.org/soap/encoding/";
constexpr std::string_view kEnvelopeOpen =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">";
constexpr std::string_view kEnvelopeClose = "</SOAP-ENV:Envelope>";

template <typename Fn>
const Fn& Require(const Fn& fn, std::string_view name) {
  if (!fn) throw std::runtime_error("Method " + std::string(name) + " is not available");
  return fn;
}

const std::array<TSoapMethod, 7>& Table() {
  using T = TSoapType;
  using M = const TConferenceServiceMethods&;
  static const std::array<TSoapMethod, 7> table = {{
      {"GetLanguage",
       {{"languageCode", T::String}},
       T::String,
       [](M m, const Args& a) { return Require(m.GetLanguage, "GetLanguage")(a[0]); }},
      {"DoKonferenzAction",
       {{"Request", T::String}},
       T::String,
       [](M m, const Args& a) { return Require(m.DoKonferenzAction, "DoKonferenzAction")(a[0]); }},
      {"TranslateLanguageCode",
       {{"languageCode", T::String}, {"translatedLanguage", T::String}},
       T::String,
       [](M m, const Args& a) {
         return Require(m.TranslateLanguageCode, "TranslateLanguageCode")(a[0], a[1]);
       }},
      {"GetTemplateLanguages",
       {},
       T::String,
       [](M m, const Args&) { return Require(m.GetTemplateLanguages, "GetTemplateLanguages")(); }},
      {"GetConferenceIDFromMemberPIN",
       {{"strMemberPIN", T::String}},
       T::String,
       [](M m, const Args& a) {
         return Require(m.GetConferenceIDFromMemberPIN, "GetConferenceIDFromMemberPIN")(a[0]);
       }},
      {"getLatestVersion",
       {},
       T::String,
       [](M m, const Args&) { return Require(m.getLatestVersion, "getLatestVersion")(); }},
      {"getAmPm", {}, T::String, [](M m, const Args&) { return Require(m.getAmPm, "getAmPm")(); }},
  }};
  return table;
}

std::string_view XsdName(TSoapType type) {
  return type == TSoapType::Int ? "int" : "string";
}

std::string_view LocalName(std::string_view name) {
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool SameAscii(std::string_view a, std::string_view b) {
  return ApplyCaseMode(a, kCaseLower) == ApplyCaseMode(b, kCaseLower);
}

pugi::xml_attribute AttributeByLocalName(pugi::xml_node node, std::string_view local) {
  for (pugi::xml_attribute a : node.attributes()) {
    if (LocalName(a.name()) == local) return a;
  }
  return {};
}

pugi::xml_node ChildByLocalName(pugi::xml_node node, std::string_view local) {
  for (pugi::xml_node c : node.children()) {
    if (c.type() == pugi::node_element && LocalName(c.name()) == local) return c;
  }
  return {};
}

// Follows a multi-ref "href" to the element carrying the matching "id", as encoders that share
// values between parameters write them.
pugi::xml_node ResolveReference(pugi::xml_document& doc, pugi::xml_node value) {
  for (int hops = 0; hops < 16; ++hops) {
    const pugi::xml_attribute href = value.attribute("href");
    if (!href) return value;
    std::string_view target = href.value();
    if (!target.starts_with("#"))
      throw std::invalid_argument("Unsupported reference " + std::string(target));
    target.remove_prefix(1);
    const pugi::xml_node referenced = doc.find_node([&](pugi::xml_node n) {
      const pugi::xml_attribute id = n.attribute("id");
      return n.type() == pugi::node_element && id && target == id.value();
    });
    if (!referenced) throw std::invalid_argument("Unresolved reference #" + std::string(target));
    value = referenced;
  }
  throw std::invalid_argument("Reference chain too long");
}

std::string ParameterValue(pugi::xml_document& doc, pugi::xml_node call, std::string_view name) {
  pugi::xml_node element;
  for (pugi::xml_node c : call.children()) {
    if (c.type() == pugi::node_element && SameAscii(LocalName(c.name()), name)) {
      element = c;
      break;
    }
  }
  if (!element) return {};
  element = ResolveReference(doc, element);
  const pugi::xml_attribute nil = AttributeByLocalName(element, "nil");
  if (nil && (std::string_view(nil.value()) == "true" || std::string_view(nil.value()) == "1"))
    return {};
  return NodeText(element);
}

const TSoapMethod* FindMethod(std::string_view name) {
  for (const TSoapMethod& m : Table()) {
    if (m.name == name) return &m;
  }
  for (const TSoapMethod& m : Table()) {
    if (SameAscii(m.name, name)) return &m;
  }
  return nullptr;
}

TSoapHttpResponse Fault(std::string_view code, std::string_view message) {
  TSoapHttpResponse response;
  response.status = 500;
  response.content_type = kXmlType;
  response.body = std::string(kEnvelopeOpen) + "<SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>" +
                  std::string(code) + "</faultcode><faultstring>" + EscapeXml(message) +
                  "</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body>" + std::string(kEnvelopeClose);
  return response;
}

TSoapHttpResponse ClientFault(std::string_view message) {
  MainSession().LogWarning("SOAP client fault: " + std::string(message));
  return Fault("SOAP-ENV:Client", message);
}

// The value of the "encoding" pseudo-attribute of an XML declaration at the start of an 8-bit
// text; empty when there is none.
std::string DeclaredEncoding(std::string_view text) {
  if (!text.starts_with("<?xml")) return {};
  const std::string_view declaration = text.substr(0, text.find("?>"));
  size_t pos = declaration.find("encoding");
  if (pos == std::string_view::npos) return {};
  pos = declaration.find_first_of("\"'", pos);
  if (pos == std::string_view::npos) return {};
  const size_t end = declaration.find(declaration[pos], pos + 1);
  if (end == std::string_view::npos) return {};
  return std::string(TrimAscii(declaration.substr(pos + 1, end - pos - 1)));
}

std::string ByteAt(std::string_view text, size_t pos) {
  return fmt::format("byte 0x{:02X} at offset {}", static_cast<unsigned char>(text[pos]), pos);
}

// Why the envelope is not valid in the encoding the parser reads it in, or nothing when it is.
// The parser takes the encoding from a byte-order mark, from the first bytes of UTF-16 or UTF-32
// text, or from the declaration, which it honours for Latin-1 only and reads as UTF-8 otherwise;
// it checks none of them, so a malformed sequence would reach the database as it came.
std::optional<std::string> EncodingFault(std::string_view text) {
  const auto starts = [&](std::string_view bytes) { return text.starts_with(bytes); };
  using namespace std::string_view_literals;
  if (starts("\x00\x00\xFE\xFF"sv) || starts("\xFF\xFE\x00\x00"sv) || starts("\x00\x00\x00<"sv) ||
      starts("<\x00\x00\x00"sv)) {
    const bool big = text[0] == '\0';
    if (text.size() % 4 != 0)
      return "The request is not valid UTF-32: its length is no multiple of 4";
    for (size_t pos = 0; pos < text.size(); pos += 4) {
      const auto b = [&](size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(text[pos + i]));
      };
      const char32_t c = big ? (b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3))
                             : (b(3) << 24 | b(2) << 16 | b(1) << 8 | b(0));
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return fmt::format("The request is not valid UTF-32: no character at offset {}", pos);
      }
    }
    return std::nullopt;
  }
  const bool utf16_be = starts("\xFE\xFF"sv) || starts("\x00<"sv);
  const bool utf16_le = starts("\xFF\xFE"sv) || starts("<\x00"sv);
  if (utf16_be || utf16_le) {
    if (text.size() % 2 != 0) return "The request is not valid UTF-16: its length is odd";
    const std::u16string units = Utf16Units(text, utf16_be);
    if (const auto lone = FindLoneSurrogate(units)) {
      return fmt::format("The request is not valid UTF-16: a lone surrogate at offset {}",
                         *lone * 2);
    }
    return std::nullopt;
  }
  const std::string_view body = starts("\xEF\xBB\xBF"sv) ? text.substr(3) : text;
  const std::string encoding = ToLowerAscii(DeclaredEncoding(body));
  if (encoding == "iso-8859-1" || encoding == "latin1") return std::nullopt;  // every byte is one
  if (encoding.starts_with("utf-16") || encoding.starts_with("utf-32") ||
      encoding.starts_with("ucs-")) {
    return "The request declares the encoding " + DeclaredEncoding(body) +
           " but is not written in it";
  }
  const bool ascii = encoding == "us-ascii" || encoding == "ascii";
  for (size_t pos = 0; pos < body.size();) {
    char32_t c = 0;
    const size_t n = DecodeUtf8Sequence(body, pos, c);
    if (n == 0) {
      return "The request is not valid UTF-8: " + ByteAt(body, pos);
    }
    if (ascii && c >= 0x80) {
      return "The request is not valid US-ASCII: " + ByteAt(body, pos);
    }
    pos += n;
  }
  return std::nullopt;
}

TSoapHttpResponse Answer(const TSoapMethod& method, std::string_view result) {
  const std::string element = "NS1:" + std::string(method.name) + "Response";
  TSoapHttpResponse response;
  response.content_type = kXmlType;
  response.body = std::string(kEnvelopeOpen) + "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"" +
                  std::string(kSoapEncoding) + "\"><" + element + " xmlns:NS1=\"" +
                  std::string(kInterfaceNamespace) +
                  "\"><return xsi:type=\"xsd:" + std::string(XsdName(method.result)) + "\">" +
                  EscapeXml(result) + "</return></" + element + "></SOAP-ENV:Body>" +
                  std::string(kEnvelopeClose);
  return response;
}

std::string ServiceAddress(std::string_view host) {
  return "http://" + std::string(host.empty() ? "localhost" : host) + "/soap/" +
         std::string(kInterfaceName);
}

}  // namespace

std::span<const TSoapMethod> ConferenceServiceTable() {
  return Table();
}

TSoapHttpResponse InvokeSoapCall(std::string_view envelope,
                                 const TConferenceServiceMethods& methods) {
  logging::TLgMethodScope scope(MainSession(), "InvokeSoapCall");
  if (const auto fault = EncodingFault(envelope)) return ClientFault(*fault);
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(envelope.data(), envelope.size(), pugi::parse_default, pugi::encoding_auto);
  if (!parsed) {
    return ClientFault(std::string("The request is not well-formed XML: ") + parsed.description());
  }
  const pugi::xml_node root = doc.document_element();
  if (LocalName(root.name()) != "Envelope") return ClientFault("The request is no SOAP envelope");
  const pugi::xml_node body = ChildByLocalName(root, "Body");
  if (!body) return ClientFault("The SOAP envelope has no body");

  // The call is the body's first entry; multi-ref values after it are marked root="0".
  pugi::xml_node call;
  for (pugi::xml_node c : body.children()) {
    if (c.type() != pugi::node_element) continue;
    const pugi::xml_attribute root_attr = AttributeByLocalName(c, "root");
    if (root_attr && std::string_view(root_attr.value()) == "0") continue;
    call = c;
    break;
  }
  if (!call) return ClientFault("The SOAP body names no method");
  const std::string_view method_name = LocalName(call.name());
  const TSoapMethod* method = FindMethod(method_name);
  if (!method) {
    return ClientFault("No method named \"" + std::string(method_name) + "\" in " +
                       std::string(kInterfaceName));
  }
  MainSession().LogString(TLgLevel::Debug, "SOAP method", method->name);

  Args arguments;
  try {
    for (const TSoapParameter& p : method->parameters) {
      arguments.push_back(ParameterValue(doc, call, p.name));
      MainSession().LogString(TLgLevel::Debug, p.name, arguments.back());
    }
  } catch (const std::exception& e) {
    return ClientFault(e.what());
  }

  try {
    const std::string result = method->invoke(methods, arguments);
    MainSession().LogString(TLgLevel::Debug, "Result", result);
    return Answer(*method, result);
  } catch (const TSoapServiceBusy& e) {
    MainSession().LogWarning("SOAP method " + std::string(method->name) + ": " + e.what());
    TSoapHttpResponse busy = Fault("SOAP-ENV:Server", e.what());
    busy.status = 503;
    return busy;
  } catch (const std::exception& e) {
    MainSession().LogException(e, "SOAP method " + std::string(method->name));
    return Fault("SOAP-ENV:Server", e.what());
  } catch (...) {
    MainSession().LogException("SOAP method " + std::string(method->name));
    return Fault("SOAP-ENV:Server", "Unknown exception in " + std::string(method->name));
  }
}

std::string GenerateWsdl(std::string_view host) {
  const std::string ns(kInterfaceNamespace);
  const std::string intf(kInterfaceName);
  const std::string body = "<soap:body use=\"encoded\" encodingStyle=\"" +
                           std::string(kSoapEncoding) + "\" namespace=\"" + ns + "\"/>";
  std::string messages, port_type, binding;
  for (const TSoapMethod& m : Table()) {
    const std::string name(m.name);
    messages += "<message name=\"" + name + "Request\">";
    std::string order;
    for (const TSoapParameter& p : m.parameters) {
      messages += "<part name=\"" + std::string(p.name) +
                  "\" type=\"xs:" + std::string(XsdName(p.type)) + "\"/>";
      order += (order.empty() ? "" : " ") + std::string(p.name);
    }
    messages += "</message><message name=\"" + name +
                "Response\"><part name=\"return\" type=\"xs:" + std::string(XsdName(m.result)) +
                "\"/></message>";
    port_type += "<operation name=\"" + name + "\"" +
                 (order.empty() ? "" : " parameterOrder=\"" + order + "\"") +
                 "><input message=\"tns:" + name + "Request\"/><output message=\"tns:" + name +
                 "Response\"/></operation>";
    binding += "<operation name=\"" + name + "\"><soap:operation soapAction=\"" + ns + "#" + name +
               "\" style=\"rpc\"/><input>" + body + "</input><output>" + body +
               "</output></operation>";
  }
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
         "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
         "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" name=\"" +
         intf +
         "service\" targetNamespace=\"http://tempuri.org/\" "
         "xmlns:tns=\"http://tempuri.org/\" "
         "xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\" "
         "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">" +
         messages + "<portType name=\"" + intf + "\">" + port_type + "</portType><binding name=\"" +
         intf + "binding\" type=\"tns:" + intf +
         "\"><soap:binding style=\"rpc\" transport=\"http://schemas.xmlsoap.org/soap/http\"/>" +
         binding + "</binding><service name=\"" + intf + "service\"><port name=\"" + intf +
         "Port\" binding=\"tns:" + intf + "binding\"><soap:address location=\"" +
         EscapeXml(ServiceAddress(host)) + "\"/></port></service></definitions>";
}

std::string ServiceInfoPage() {
  const std::string intf(kInterfaceName);
  std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + intf +
                     "</title></head><body><h1>" + intf +
                     "</h1><p>Namespace: " + std::string(kInterfaceNamespace) +
                     "</p><p><a href=\"/wsdl/" + intf + "\">WSDL</a></p><ul>";
  for (const TSoapMethod& m : Table()) {
    page += "<li>" + std::string(m.name) + "(";
    bool first = true;
    for (const TSoapParameter& p : m.parameters) {
      page += (first ? "" : ", ") + std::string(p.name) + ": " + std::string(XsdName(p.type));
      first = false;
    }
    page += "): " + std::string(XsdName(m.result)) + "</li>";
  }
  return page + "</ul></body></html>";
}

TSoapHttpResponse HandleSoapRequest(const TSoapHttpRequest& request,
                                    const TConferenceServiceMethods& methods) {
  const std::string path = ApplyCaseMode(request.path, kCaseLower);
  const std::string intf = ApplyCaseMode(kInterfaceName, kCaseLower);
  if (path.find("wsdl/" + intf) != std::string::npos) {
    return {200, std::string(kXmlType), GenerateWsdl(request.host)};
  }
  if (path.find("soap/" + intf) != std::string::npos) {
    if (SameAscii(request.method, "POST")) return InvokeSoapCall(request.body, methods);
    return {200, std::string(kHtmlType), ServiceInfoPage()};
  }
  return {404, "text/plain; charset=utf-8", "Not found"};
}

}  // namespace parlevo::soap
