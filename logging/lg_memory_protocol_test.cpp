#include "logging/lg_memory_protocol.h"

#include <gtest/gtest.h>

#include "logging/lg_test_viewer.h"

namespace parlevo::logging {
namespace {

TLgPacketPtr Entry(const std::string& title, TLgLevel level = TLgLevel::Message) {
  auto entry = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  entry->SetTitle(title);
  entry->SetLevel(level);
  entry->SetTimestamp(EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 6));
  return entry;
}

std::vector<std::string> DumpTitles(TLgMemoryProtocol& protocol) {
  auto stream = std::make_shared<TLgMemoryStream>();
  protocol.Dispatch(stream);
  const std::string& bytes = stream->Bytes();
  EXPECT_EQ(bytes.substr(0, 4), "LOGF");
  std::vector<std::string> titles;
  for (const auto& p : testing::DecodePackets(std::string_view(bytes).substr(4))) {
    titles.push_back(p.title);
  }
  return titles;
}

TEST(MemoryProtocolTest, KeepsAboutMaxSizeOfTheNewestPackets) {
  TLgOutput<TLgMemoryProtocol> protocol;
  protocol.Initialize("maxsize=1");
  protocol.Connect();
  for (int i = 0; i < 100; ++i) protocol.WritePacket(Entry(std::string(38, 'a' + i % 26)));
  // 48 + 38 + 12 = 98 bytes each: ten fit into 1024.
  EXPECT_EQ(protocol.QueueCount(), 10);
  EXPECT_LE(protocol.QueueSize(), 1024);
  const auto titles = DumpTitles(protocol);
  ASSERT_EQ(titles.size(), 10u);
  EXPECT_EQ(titles.back(), std::string(38, 'a' + 99 % 26));
  EXPECT_EQ(protocol.QueueCount(), 0);                  // the dump empties the queue
  protocol.WritePacket(Entry(std::string(2000, 'x')));  // larger than the whole limit
  EXPECT_EQ(protocol.QueueCount(), 0);
}

TEST(MemoryProtocolTest, TextDumpStartsWithAByteOrderMark) {
  TLgOutput<TLgMemoryProtocol> protocol;
  protocol.Initialize("astext=true, pattern=\"%title%\"");
  protocol.Connect();
  protocol.WritePacket(Entry("first"));
  protocol.WritePacket(std::make_shared<TLgProcessFlow>(TLgProcessFlowType::EnterMethod));
  protocol.WritePacket(Entry("second"));
  auto stream = std::make_shared<TLgMemoryStream>();
  protocol.Dispatch(stream);
  EXPECT_EQ(stream->Bytes(),
            "\xEF\xBB\xBF"
            "first\r\nsecond\r\n");
}

TEST(MemoryProtocolTest, DispatchToAnotherProtocolUsesItsLevel) {
  TLgOutput<TLgMemoryProtocol> source;
  source.Connect();
  source.WritePacket(Entry("quiet", TLgLevel::Debug));
  source.WritePacket(Entry("loud", TLgLevel::Error));
  TLgOutput<TLgMemoryProtocol> target;
  target.Initialize("level=warning");
  target.Connect();
  source.Dispatch(&target);
  EXPECT_EQ(source.QueueCount(), 0);
  EXPECT_EQ(DumpTitles(target), std::vector<std::string>{"loud"});
}

TEST(MemoryProtocolTest, DisconnectLosesThePacketsButABacklogKeepsThemBetweenFlushes) {
  TLgOutput<TLgMemoryProtocol> plain;
  plain.Connect();
  plain.WritePacket(Entry("gone"));
  plain.Disconnect();
  plain.Connect();
  EXPECT_EQ(plain.QueueCount(), 0);

  TLgOutput<TLgMemoryProtocol> backlog;
  backlog.Initialize("backlog.enabled=true");
  backlog.Connect();
  backlog.WritePacket(Entry("m1"));
  backlog.WritePacket(Entry("e1", TLgLevel::Error));
  backlog.WritePacket(Entry("e2", TLgLevel::Error));
  EXPECT_EQ(DumpTitles(backlog), (std::vector<std::string>{"m1", "e1", "e2"}));
}

}  // namespace
}  // namespace parlevo::logging
