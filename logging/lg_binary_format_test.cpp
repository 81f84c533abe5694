#include "logging/lg_binary_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "logging/lg_test_viewer.h"

namespace parlevo::logging {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string text;
  for (int v : values) text += static_cast<char>(v);
  return text;
}

std::string Formatted(const TLgPacket& packet) {
  TLgBinaryFormatter formatter;
  TLgMemoryStream stream;
  const int64_t size = formatter.Compile(packet);
  formatter.Write(stream);
  EXPECT_EQ(static_cast<size_t>(size), stream.Bytes().size());
  return stream.Bytes();
}

std::string U32(uint32_t v) {
  return std::string(reinterpret_cast<const char*>(&v), 4);
}

std::string F64(double v) {
  return std::string(reinterpret_cast<const char*>(&v), 8);
}

TEST(BinaryFormatTest, EmptyLogEntryIsFortyEightBytesOfBody) {
  TLgLogEntry entry(TLgLogEntryType::Message, TLgViewerId::Title);
  const std::string bytes = Formatted(entry);
  ASSERT_EQ(bytes.size(), 54u);
  EXPECT_EQ(bytes.substr(0, 6), Bytes({4, 0, 48, 0, 0, 0}));
  EXPECT_EQ(bytes.substr(6, 4), U32(100));  // Message
  EXPECT_EQ(bytes.substr(10, 4), U32(0));   // Title
  EXPECT_EQ(bytes.substr(50, 4), U32(0xFF000005));
}

TEST(BinaryFormatTest, LogEntryFieldsAndStringsInTheirPlaces) {
  TLgLogEntry entry(TLgLogEntryType::Text, TLgViewerId::Data);
  entry.SetAppName("app");
  entry.SetSessionName("Main");
  entry.SetTitle("Grüße");  // 5 characters, 7 bytes of UTF-8
  entry.SetHostName("h");
  entry.SetData("\x01\x02\x03");
  entry.SetTimestamp(45293.5);
  entry.SetColor(0x00332211);
  const std::string body = Formatted(entry).substr(6);
  std::string expected = U32(200) + U32(1) + U32(3) + U32(4) + U32(7) + U32(1) + U32(3) +
                         U32(entry.ProcessId()) + U32(entry.ThreadId()) + F64(45293.5) +
                         U32(0x00332211) + "app" + "Main" + "Grüße" + "h" + "\x01\x02\x03";
  EXPECT_EQ(body, expected);
}

TEST(BinaryFormatTest, SeparatorWritesViewerNoneAsAllOnes) {
  TLgLogEntry entry(TLgLogEntryType::Separator, TLgViewerId::None);
  const std::string bytes = Formatted(entry);
  EXPECT_EQ(bytes.substr(6, 4), U32(0));
  EXPECT_EQ(bytes.substr(10, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(BinaryFormatTest, ProcessFlowLayout) {
  TLgProcessFlow flow(TLgProcessFlowType::LeaveMethod);
  flow.SetTitle("Run");
  flow.SetHostName("box");
  flow.SetTimestamp(2.25);
  const std::string bytes = Formatted(flow);
  EXPECT_EQ(bytes.substr(0, 6), Bytes({6, 0, 34, 0, 0, 0}));
  EXPECT_EQ(bytes.substr(6), U32(1) + U32(3) + U32(3) + U32(flow.ProcessId()) +
                                 U32(flow.ThreadId()) + F64(2.25) + "Run" + "box");
}

TEST(BinaryFormatTest, LogHeaderCarriesHostAndApplication) {
  TLgLogHeader header("h", "a");
  EXPECT_EQ(header.Content(), "hostname=h\r\nappname=a\r\n");
  EXPECT_EQ(header.Size(), 23 + 4);
  const std::string bytes = Formatted(header);
  EXPECT_EQ(bytes, Bytes({7, 0, 27, 0, 0, 0, 23, 0, 0, 0}) + "hostname=h\r\nappname=a\r\n");
}

TEST(BinaryFormatTest, CodeTablesAsWritten) {
  const std::vector<std::pair<TLgLogEntryType, int32_t>> entry_codes = {
      {TLgLogEntryType::ResetCallstack, 3},
      {TLgLogEntryType::Message, 100},
      {TLgLogEntryType::Assert, 111},
      {TLgLogEntryType::Text, 200},
      {TLgLogEntryType::DatabaseStructure, 209}};
  for (const auto& [type, code] : entry_codes) EXPECT_EQ(LogEntryTypeCode(type), code);
  const std::vector<std::pair<TLgViewerId, int32_t>> viewer_codes = {
      {TLgViewerId::None, -1},    {TLgViewerId::Table, 5},       {TLgViewerId::Web, 100},
      {TLgViewerId::Binary, 200}, {TLgViewerId::XmlSource, 307}, {TLgViewerId::Metafile, 403}};
  for (const auto& [id, code] : viewer_codes) EXPECT_EQ(ViewerIdCode(id), code);
  EXPECT_EQ(PacketTypeCode(TLgPacketType::LogEntry), 4);
  EXPECT_EQ(PacketTypeCode(TLgPacketType::ProcessFlow), 6);
  EXPECT_EQ(PacketTypeCode(TLgPacketType::LogHeader), 7);
}

TEST(BinaryFormatTest, ReusedFormatterAfterAHugeBodyStillWritesExactPackets) {
  TLgBinaryFormatter formatter;
  TLgLogEntry huge(TLgLogEntryType::Binary, TLgViewerId::Binary);
  huge.SetData(std::string(2 * 1048576, 'x'));
  TLgLogEntry small(TLgLogEntryType::Message, TLgViewerId::Title);
  small.SetTitle("after");
  TLgMemoryStream stream;
  formatter.Format(huge, stream);
  formatter.Format(small, stream);
  const auto packets = testing::DecodePackets(stream.Bytes());
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].data.size(), 2u * 1048576);
  EXPECT_EQ(packets[1].title, "after");
}

}  // namespace
}  // namespace parlevo::logging
