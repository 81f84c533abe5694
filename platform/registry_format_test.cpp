#include "platform/registry_format.h"

#include <gtest/gtest.h>

#include <string>

namespace parlevo {
namespace {

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare";

// Catches the parse error and hands back its message.
std::string ParseError(std::string_view text) {
  try {
    TRegDocument::Parse(text, "/etc/test.reg");
  } catch (const ERegistryException& e) {
    return e.what();
  }
  return "(parsed without error)";
}

TEST(RegistryFormat, ReadsTheExportFormatAndWritesItBackUnchanged) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; written by hand\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "@=\"default\"\r\n"
      "\r\n"
      "[" +
      std::string(kKey) +
      "]\r\n"
      "\"ExtServerURL\"=\"local\\\\host \\\"x\\\"\"\r\n"
      "\"Port\"=dword:00000051\r\n"
      "\"Multi\"=hex(7):41,00,00,00\r\n"
      "\r\n";
  TRegDocument doc = TRegDocument::Parse(text, "x.reg");
  EXPECT_EQ(doc.Serialize(), text);

  const TRegSection* ours =
      doc.FindSection("hkey_local_machine\\software\\orvalen\\parlevo for zyntware");
  ASSERT_NE(ours, nullptr);
  EXPECT_EQ(RegValueNames(*ours), (std::vector<std::string>{"ExtServerURL", "Port", "Multi"}));
  EXPECT_EQ(FindRegValue(*ours, "extserverurl")->text, "local\\host \"x\"");
  EXPECT_EQ(FindRegValue(*ours, "PORT")->dword, 0x51u);
  EXPECT_EQ(FindRegValue(*ours, "Multi")->kind, TRegValueKind::kOther);

  const TRegSection* other = doc.FindSection("HKEY_LOCAL_MACHINE\\SOFTWARE\\Other");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(FindRegValue(*other, "Blob")->kind, TRegValueKind::kOther);
  EXPECT_EQ(FindRegValue(*other, "")->text, "default");

  EXPECT_TRUE(doc.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE"));
  EXPECT_TRUE(doc.KeyExists("HKEY_LOCAL_MACHINE\\software\\orvalen"));
  EXPECT_FALSE(doc.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orval"));
}

TEST(RegistryFormat, AcceptsLfRegedit4Utf8BomAndUtf16) {
  TRegDocument lf =
      TRegDocument::Parse("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:7fffffff\n", "x.reg");
  EXPECT_EQ(FindRegValue(*lf.FindSection("HKEY_LOCAL_MACHINE\\A"), "X")->dword, 0x7fffffffu);
  // Rewritten in the one format this program writes.
  EXPECT_EQ(lf.Serialize(),
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
            "\"x\"=dword:7fffffff\r\n");

  TRegDocument bom = TRegDocument::Parse(
      "\xEF\xBB\xBFWindows Registry Editor Version "
      "5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"t\"=\"\xC3\xA4\"\n",
      "x.reg");
  EXPECT_EQ(FindRegValue(*bom.FindSection("HKEY_LOCAL_MACHINE\\A"), "t")->text, "\xC3\xA4");

  // UTF-16LE with BOM, as regedit exports; includes a character outside the BMP.
  std::u16string wide =
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
      u"\"Name\"=\"\u00e4\U0001F600\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : wide) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  TRegDocument utf16 = TRegDocument::Parse(bytes, "x.reg");
  EXPECT_EQ(FindRegValue(*utf16.FindSection("HKEY_LOCAL_MACHINE\\A"), "name")->text,
            "\xC3\xA4\xF0\x9F\x98\x80");

  EXPECT_EQ(TRegDocument::Parse("", "x.reg").Serialize(),
            "Windows Registry Editor Version 5.00\r\n\r\n");
}

TEST(RegistryFormat, MalformedTextNamesTheFileAndLine) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n";
  struct Case {
    std::string text;
    std::string line;
    std::string what;
  };
  const Case cases[] = {
      {"[HKEY_LOCAL_MACHINE\\A]\n", "line 1", "must begin with"},
      {"Windows Registry Editor Version 5.00\n\"x\"=\"1\"\n", "line 2", "before the first key"},
      {head + "\"x\"=\"abc\n", "line 4", "closing double quote"},
      {head + "\"x\"=\"C:\\temp\"\n", "line 4", "unknown escape"},
      {head + "\"x\"=dword:123456789\n", "line 4", "hexadecimal"},
      {head + "\"x\"=dword:12g\n", "line 4", "hexadecimal"},
      {head + "\"x\"=42\n", "line 4", "unknown value type"},
      {head + "\"x\"=\"1\" junk\n", "line 4", "after the closing"},
      {head + "x=\"1\"\n", "line 4", "expected a key"},
      {head + "\"x\" \"1\"\n", "line 4", "expected \"=\""},
      {head + "\"x\"=\"1\"\n\"X\"=\"2\"\n", "line 5", "second time"},
      {head + "\n[hkey_local_machine\\a]\n", "line 5", "second time"},
      {head + "[HKEY_LOCAL_MACHINE\\B\n", "line 4", "closing \"]\""},
      {head + "\"b\"=hex:01,\\\n", "line 4", "past the end"},
  };
  for (const Case& c : cases) {
    std::string message = ParseError(c.text);
    EXPECT_NE(message.find("/etc/test.reg"), std::string::npos) << message;
    EXPECT_NE(message.find(c.line + ":"), std::string::npos) << c.text << " -> " << message;
    EXPECT_NE(message.find(c.what), std::string::npos) << c.text << " -> " << message;
  }
}

TEST(RegistryFormat, EditsKeepSpellingPositionAndLayout) {
  TRegDocument doc = TRegDocument::Parse(
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
      "\"SMStoExt\"=\"1\"\r\n; note\r\n\"Port\"=dword:00000051\r\n\r\n",
      "x.reg");
  TRegSection& a = doc.FindOrAddSection("hkey_local_machine\\a");
  SetRegValue(a, TRegValue{"SMSToExt", TRegValueKind::kDword, "", 5});
  SetRegValue(a, TRegValue{"New", TRegValueKind::kString, "a\"b\\c", 0});
  EXPECT_TRUE(RemoveRegValue(a, "PORT"));
  EXPECT_FALSE(RemoveRegValue(a, "Port"));
  TRegSection& b = doc.FindOrAddSection("HKEY_LOCAL_MACHINE\\B");
  SetRegValue(b, TRegValue{"", TRegValueKind::kString, "d", 0});
  EXPECT_EQ(doc.Serialize(),
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
            "\"SMStoExt\"=dword:00000005\r\n; note\r\n\"New\"=\"a\\\"b\\\\c\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\B]\r\n@=\"d\"\r\n\r\n");

  // A key that ends without a blank line still gets one before the next key.
  TRegDocument tight = TRegDocument::Parse(
      "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"", "x.reg");
  tight.FindOrAddSection("HKEY_LOCAL_MACHINE\\B");
  EXPECT_EQ(tight.Serialize(),
            "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"1\"\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\r\n");
}

TEST(RegistryFormat, ValueLinesEscapeAndRefuseLineBreaks) {
  EXPECT_EQ(FormatRegValueLine({"Port", TRegValueKind::kDword, "", 0xFFFFFFFFu}),
            "\"Port\"=dword:ffffffff");
  EXPECT_EQ(FormatRegValueLine({"Pa\"th", TRegValueKind::kString, "C:\\x\\", 0}),
            "\"Pa\\\"th\"=\"C:\\\\x\\\\\"");
  EXPECT_THROW(FormatRegValueLine({"x", TRegValueKind::kString, "a\nb", 0}), ERegistryException);
  EXPECT_THROW(FormatRegValueLine({"x\r", TRegValueKind::kString, "", 0}), ERegistryException);
  EXPECT_THROW(FormatRegValueLine({"x", TRegValueKind::kString, std::string("a\0b", 3), 0}),
               ERegistryException);
  EXPECT_THROW(FormatRegValueLine({"x", TRegValueKind::kOther, "", 0}), ERegistryException);
}

}  // namespace
}  // namespace parlevo
