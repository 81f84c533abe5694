#include "webservice/helpers_xml.h"

#include <optional>
#include <sstream>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/text_codec.h"

namespace parlevo {
namespace {

bool IsXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Segments of a dotted path; a "." in the last position does not open a further segment.
std::vector<std::string_view> PathSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  if (path.empty()) return segments;
  if (path.back() == '.') path.remove_suffix(1);
  size_t start = 0;
  while (true) {
    const size_t dot = path.find('.', start);
    segments.push_back(path.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return segments;
}

bool IsXmlBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Copies xml[pos..] up to and including the terminator; returns the position after it.
size_t CopyThrough(std::string_view xml, size_t pos, std::string_view terminator,
                   std::string& out) {
  const size_t end = xml.find(terminator, pos);
  const size_t stop = end == std::string_view::npos ? xml.size() : end + terminator.size();
  out.append(xml.substr(pos, stop - pos));
  return stop;
}

// A <!DOCTYPE ...> may hold an internal subset in brackets with markup of its own.
size_t CopyDeclaration(std::string_view xml, size_t pos, std::string& out) {
  int depth = 0;
  size_t i = pos;
  for (; i < xml.size(); ++i) {
    if (xml[i] == '[') ++depth;
    if (xml[i] == ']' && depth > 0) --depth;
    if (xml[i] == '>' && depth == 0) {
      ++i;
      break;
    }
  }
  out.append(xml.substr(pos, i - pos));
  return i;
}

// The number of a character reference "&#NN;" or "&#xHH;" at text[pos], with its length in
// `length`; nullopt when no reference starts there.
std::optional<char32_t> CharacterReferenceAt(std::string_view text, size_t pos, size_t& length) {
  if (text.compare(pos, 2, "&#") != 0) return std::nullopt;
  size_t i = pos + 2;
  const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
  if (hex) ++i;
  const size_t digits_start = i;
  uint32_t value = 0;
  for (; i < text.size() && i - digits_start < 8; ++i) {
    const char c = text[i];
    int digit = -1;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    }
    if (digit < 0) break;
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
  }
  if (i == digits_start || i >= text.size() || text[i] != ';') return std::nullopt;
  length = i + 1 - pos;
  return static_cast<char32_t>(value);
}

}  // namespace

std::string ApplyCaseMode(std::string_view s, uint8_t case_mode) {
  std::string out(s);
  switch (case_mode) {
    case kCaseUpper:
      for (char& c : out) c = UpperAscii(c);
      break;
    case kCaseLower:
      for (char& c : out) c = LowerAscii(c);
      break;
    case kCaseFirstUpper:
      if (!out.empty()) out[0] = UpperAscii(out[0]);
      break;
    default:
      break;
  }
  return out;
}

pugi::xml_node FindXMLNode(pugi::xml_node start, std::string_view path, std::string_view attr_name,
                           bool create, uint8_t case_mode, std::string_view attr_value) {
  if (!start) return {};
  const std::string attr(attr_name);
  pugi::xml_node parent;
  pugi::xml_node current = start;
  for (std::string_view raw : PathSegments(path)) {
    const std::string segment = ApplyCaseMode(raw, case_mode);
    // An element without a name cannot exist in a document; such a path names nothing.
    if (segment.empty()) return {};
    pugi::xml_node child = current.child(segment.c_str());
    if (!child && create) {
      child = current.append_child(segment.c_str());
      if (!attr.empty()) child.append_attribute(attr.c_str()) = std::string(attr_value).c_str();
    }
    parent = current;
    current = child;
    if (!current) return {};
  }
  if (attr.empty()) return current;

  const std::string name = current.name();
  for (pugi::xml_node n = current; n; n = n.next_sibling()) {
    if (n.type() != pugi::node_element || !EqualsIgnoreCaseAscii(n.name(), name)) continue;
    for (pugi::xml_attribute a : n.attributes()) {
      if (EqualsIgnoreCaseAscii(a.name(), attr) && EqualsIgnoreCaseAscii(a.value(), attr_value))
        return n;
    }
  }
  if (!create || !parent) return {};
  pugi::xml_node added = parent.append_child(name.c_str());
  added.append_attribute(attr.c_str()) = std::string(attr_value).c_str();
  return added;
}

pugi::xml_node FindXMLNode(pugi::xml_node start, std::string_view path, bool create) {
  return FindXMLNode(start, path, {}, create, kCaseLower);
}

std::string ConvertTagNameCase(std::string_view xml, uint8_t case_mode) {
  std::string out;
  out.reserve(xml.size());
  size_t i = 0;
  while (i < xml.size()) {
    const char c = xml[i];
    if (c != '<') {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::string_view rest = xml.substr(i);
    if (rest.starts_with("<?")) {
      i = CopyThrough(xml, i, "?>", out);
    } else if (rest.starts_with("<!--")) {
      i = CopyThrough(xml, i, "-->", out);
    } else if (rest.starts_with("<![CDATA[")) {
      i = CopyThrough(xml, i, "]]>", out);
    } else if (rest.starts_with("<!")) {
      i = CopyDeclaration(xml, i, out);
    } else {
      // The tag name runs up to the first blank or the end of the tag.
      out.push_back('<');
      ++i;
      while (i < xml.size() && xml[i] != '>' && !IsXmlBlank(xml[i])) {
        out += ApplyCaseMode(xml.substr(i, 1), case_mode);
        ++i;
      }
    }
  }
  return out;
}

std::string NodeText(pugi::xml_node node) {
  std::string text;
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
      text += child.value();
  }
  return text;
}

std::string DocumentXMLText(const pugi::xml_document& doc) {
  std::ostringstream out;
  doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
  return OnlyXmlCharacters(out.str());
}

std::string OnlyXmlCharacters(std::string_view xml_text) {
  std::string out;
  out.reserve(xml_text.size());
  // The serializer writes a control character as a reference ("&#01;"), which XML 1.0 forbids
  // as much as the character itself.
  for (size_t i = 0; i < xml_text.size();) {
    size_t length = 0;
    if (const auto code = CharacterReferenceAt(xml_text, i, length)) {
      if (IsXmlChar(*code)) {
        out.append(xml_text.substr(i, length));
      } else {
        out.push_back('?');
      }
      i += length;
      continue;
    }
    char32_t code_point = 0;
    const size_t sequence = DecodeUtf8Sequence(xml_text, i, code_point);
    if (sequence == 0) {
      AppendUtf8(out, 0xFFFD);
      ++i;
      continue;
    }
    if (IsXmlChar(code_point)) {
      out.append(xml_text.substr(i, sequence));
    } else {
      out.push_back('?');
    }
    i += sequence;
  }
  return out;
}

std::string EscapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char32_t c : Utf8ToUtf32(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (IsXmlChar(c)) {
          AppendUtf8(out, c);
        } else {
          out.push_back('?');
        }
    }
  }
  return out;
}

}  // namespace parlevo
