#include "webservice/helpers_xml.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

pugi::xml_document Parse(const char* text) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(text));
  return doc;
}

TEST(FindXMLNode, WalksDottedPaths) {
  auto doc = Parse("<root><translation><eng>English</eng><ger>Deutsch</ger></translation></root>");
  pugi::xml_node root = doc.document_element();
  EXPECT_EQ(NodeText(FindXMLNode(root, "translation.ger", false)), "Deutsch");
  // Segments are lowered before they are matched; a trailing point adds no segment.
  EXPECT_EQ(NodeText(FindXMLNode(root, "Translation.ENG", false)), "English");
  EXPECT_EQ(NodeText(FindXMLNode(root, "translation.eng.", false)), "English");
  EXPECT_EQ(FindXMLNode(root, "", false), root);
  EXPECT_FALSE(FindXMLNode(root, "missing.ger", false));
  EXPECT_FALSE(FindXMLNode(root, "translation.fra", false));
  EXPECT_FALSE(FindXMLNode(pugi::xml_node(), "translation", true));
  // Mode upper finds nothing in a lower-case file.
  EXPECT_FALSE(FindXMLNode(root, "translation", {}, false, kCaseUpper));
}

TEST(FindXMLNode, CreatesWhatIsMissing) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("request");
  pugi::xml_node daily = FindXMLNode(root, "Recurrence.Daily", true);
  ASSERT_TRUE(daily);
  EXPECT_STREQ(daily.name(), "daily");
  EXPECT_STREQ(daily.parent().name(), "recurrence");
  EXPECT_EQ(NodeText(daily), "");
  // A second lookup finds the element made by the first.
  EXPECT_EQ(FindXMLNode(root, "recurrence.daily", true), daily);
  EXPECT_EQ(DocumentXMLText(doc), "<request><recurrence><daily/></recurrence></request>");
  // An empty segment names no element and creates nothing.
  EXPECT_FALSE(FindXMLNode(root, "a..b", true));
  EXPECT_FALSE(root.child("a").next_sibling());
}

TEST(FindXMLNode, SelectsSiblingsByAttribute) {
  auto doc = Parse("<r><list><item key=\"a\">1</item><item KEY=\"B\">2</item></list></r>");
  pugi::xml_node root = doc.document_element();
  EXPECT_EQ(NodeText(FindXMLNode(root, "list.item", "key", false, kCaseLower, "b")), "2");
  EXPECT_EQ(NodeText(FindXMLNode(root, "list.item", "key", false, kCaseLower, "A")), "1");
  EXPECT_FALSE(FindXMLNode(root, "list.item", "key", false, kCaseLower, "c"));
  pugi::xml_node added = FindXMLNode(root, "list.item", "key", true, kCaseLower, "c");
  ASSERT_TRUE(added);
  EXPECT_STREQ(added.attribute("key").value(), "c");
  EXPECT_EQ(root.child("list").last_child(), added);
  // A created path gets the attribute on its new elements as well.
  pugi::xml_node fresh = FindXMLNode(root, "other.entry", "id", true, kCaseLower, "7");
  ASSERT_TRUE(fresh);
  EXPECT_STREQ(fresh.attribute("id").value(), "7");
}

TEST(ApplyCaseMode, ActsOnAsciiLettersOnly) {
  EXPECT_EQ(ApplyCaseMode("GetRäume", kCaseLower),
            "geträ"
            "ume");
  EXPECT_EQ(ApplyCaseMode("getRaeume", kCaseUpper), "GETRAEUME");
  EXPECT_EQ(ApplyCaseMode("getRaeume", kCaseFirstUpper), "GetRaeume");
  EXPECT_EQ(ApplyCaseMode("", kCaseFirstUpper), "");
}

TEST(ConvertTagNameCase, LowersElementNamesOnly) {
  EXPECT_EQ(ConvertTagNameCase("<Request><Action>GetRaeume</Action></Request>", kCaseLower),
            "<request><action>GetRaeume</action></request>");
  EXPECT_EQ(ConvertTagNameCase("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><Root>"
                               "<Action Type=\"A\">X</Action><Empty/></Root>",
                               kCaseLower),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><root>"
            "<action Type=\"A\">X</action><empty/></root>");
  // Attributes after a line break or tab keep their case as well.
  EXPECT_EQ(ConvertTagNameCase("<Item\n\tName=\"V\">T</Item>", kCaseLower),
            "<item\n\tName=\"V\">T</item>");
}

TEST(ConvertTagNameCase, LeavesMarkupOtherThanTagsAlone) {
  const std::string text =
      "<!DOCTYPE Req [<!ELEMENT Req ANY>]><Req><!-- <Keep> --><?Pi <X>?>"
      "<Name><![CDATA[<B>Bold</B> & <I>]]></Name></Req>";
  EXPECT_EQ(ConvertTagNameCase(text, kCaseLower),
            "<!DOCTYPE Req [<!ELEMENT Req ANY>]><req><!-- <Keep> --><?Pi <X>?>"
            "<name><![CDATA[<B>Bold</B> & <I>]]></name></req>");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(ConvertTagNameCase(text, kCaseLower).c_str()));
  EXPECT_EQ(NodeText(FindXMLNode(doc.document_element(), "name", false)), "<B>Bold</B> & <I>");
}

TEST(HelpersXml, EscapedTextReadsBackAsItWasWritten) {
  const std::string text = "M\u00fcller & \"Co\" <x>\r\nend";
  const std::string escaped = EscapeXml(text);
  EXPECT_EQ(escaped, "M\u00fcller &amp; &quot;Co&quot; &lt;x&gt;&#13;\nend");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(("<a b=\"" + escaped + "\">" + escaped + "</a>").c_str()));
  EXPECT_EQ(std::string(doc.child("a").text().get()), text);
  // What XML cannot carry at all is marked, never written raw.
  EXPECT_EQ(EscapeXml("a\x01"
                      "b\x7f"),
            "a?b\x7f");
}

TEST(HelpersXml, DocumentTextsCarryOnlyXmlCharacters) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("RESPONSE");
  root.append_child("a").text().set("ID \x01 and \x1f, tab\tkept");
  root.append_child("b").append_attribute("v").set_value("x\x02y");
  root.append_child("c").text().set("\xef\xbf\xbe \xc3\xbc \xff &#01;");  // U+FFFE, ü, a stray byte
  const std::string text = DocumentXMLText(doc);
  EXPECT_EQ(text,
            "<RESPONSE><a>ID ? and ?, tab\tkept</a><b v=\"x?y\"/>"
            "<c>? \xc3\xbc \xef\xbf\xbd &amp;#01;</c></RESPONSE>");
  // Allowed references stay; forbidden ones, decimal or hexadecimal, are marked.
  EXPECT_EQ(OnlyXmlCharacters("<a>&#13;&#x9;&#1;&#x1F;&#xFFFE;&#65;&#;&#x</a>"),
            "<a>&#13;&#x9;??\?&#65;&#;&#x</a>");
}

}  // namespace
}  // namespace parlevo
