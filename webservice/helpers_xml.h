// Reading and writing XML elements by name, and escaping text for XML written by hand: the
// dotted-path lookup through which every action reads its request fields and writes its answer
// elements, and the tag-name case conversion that makes request field names match without regard to
// letter case.
//
// Thread safety: the functions are pure, apart from FindXMLNode with create set, which changes
// the document it is given; a document must not be used by two threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace parlevo {

// Case modes; upper and lower case act on the ASCII letters only.
inline constexpr uint8_t kCaseUpper = 0;
inline constexpr uint8_t kCaseLower = 1;
inline constexpr uint8_t kCaseFirstUpper = 2;  // first character upper, rest unchanged

std::string ApplyCaseMode(std::string_view s, uint8_t case_mode);

// Walks the dotted path (segment 0 a child of start, segment 1 a child of that, ...) with the
// case mode applied to every segment; with create set, missing elements are appended. With a
// non-empty attr_name the element found last must carry attr_name = attr_value (compared
// without regard to ASCII case): it or a following sibling of the same name, else (with create)
// a new one. Returns an empty node when nothing was found or created; an empty path yields start.
pugi::xml_node FindXMLNode(pugi::xml_node start, std::string_view path, std::string_view attr_name,
                           bool create, uint8_t case_mode, std::string_view attr_value = {});
// The form every reader of the program uses: no attribute, segments lowered.
pugi::xml_node FindXMLNode(pugi::xml_node start, std::string_view path, bool create);

// Applies the case mode to the element names of the opening and closing tags of an XML text.
// Attribute names and values, element texts, comments, CDATA sections, processing instructions
// and the declaration are left as they are.
std::string ConvertTagNameCase(std::string_view xml_text, uint8_t case_mode);

// The text of an element (all of its text and CDATA children); empty for an empty node.
std::string NodeText(pugi::xml_node node);

// A document's XML text: the declaration (when the document has one) and the elements, without
// indentation. Characters that XML cannot carry, written raw or as references, become "?".
std::string DocumentXMLText(const pugi::xml_document& doc);

// The XML text with every character that XML 1.0 cannot carry, raw or as a character reference,
// replaced by "?", and bytes that are not UTF-8 by U+FFFD; everything else as it stands.
std::string OnlyXmlCharacters(std::string_view xml_text);

// Escapes text for element content or a double-quoted attribute: & < > " as entities, CR as a
// character reference so that the reader's parser keeps it. Characters that XML cannot carry at
// all become "?", bytes that are not UTF-8 U+FFFD.
std::string EscapeXml(std::string_view text);

}  // namespace parlevo
