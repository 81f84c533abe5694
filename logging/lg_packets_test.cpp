#include "logging/lg_packets.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <sstream>

#include "logging/lg_exceptions.h"
#include "logging/lg_packet_queue.h"
#include "tests/deadline.h"

namespace parlevo::logging {
namespace {

TEST(LgPackets, NewLogEntryHasItsDefaults) {
  auto entry = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  EXPECT_EQ(RefCount(entry), 1);
  EXPECT_EQ(entry->Level(), TLgLevel::Message);
  EXPECT_EQ(entry->Color(), 0xFF000005u);
  EXPECT_EQ(entry->ThreadId(), CurrentThreadId());
  EXPECT_EQ(entry->ProcessId(), CurrentProcessId());
  EXPECT_EQ(entry->PacketType(), TLgPacketType::LogEntry);
  EXPECT_FALSE(entry->HasData());
  TLgPacketPtr shared = entry;
  EXPECT_EQ(RefCount(entry), 2);
}

TEST(LgPackets, SizesCountUtf16CodeUnitsPlusData) {
  TLgLogEntry entry(TLgLogEntryType::Message, TLgViewerId::Title);
  EXPECT_EQ(entry.Size(), 48);
  entry.SetTitle("abc");
  EXPECT_EQ(entry.Size(), 51);
  entry.SetSessionName("\xC3\xA4");  // one character, two bytes
  entry.SetAppName("ap");
  entry.SetHostName("h");
  entry.SetData("12345");
  EXPECT_TRUE(entry.HasData());
  EXPECT_EQ(entry.Size(), 51 + 1 + 2 + 1 + 5);
  entry.ClearData();
  EXPECT_FALSE(entry.HasData());

  TLgProcessFlow flow(TLgProcessFlowType::LeaveMethod);
  EXPECT_EQ(flow.Size(), 28);
  flow.SetTitle("Run");
  flow.SetHostName("host");
  EXPECT_EQ(flow.Size(), 35);
  EXPECT_EQ(flow.PacketType(), TLgPacketType::ProcessFlow);
}

TEST(LgPackets, ThreadSafeLockExistsOnlyWhenAskedFor) {
  TLgLogEntry entry(TLgLogEntryType::Debug, TLgViewerId::Title);
  entry.Lock();  // no lock yet: nothing happens
  entry.Unlock();
  EXPECT_FALSE(entry.ThreadSafe());
  entry.SetThreadSafe(true);
  entry.SetThreadSafe(true);
  EXPECT_TRUE(entry.ThreadSafe());
  entry.Lock();
  entry.Unlock();
  entry.SetThreadSafe(false);
  EXPECT_FALSE(entry.ThreadSafe());
}

TEST(LgPackets, NamesAndWireCodes) {
  EXPECT_EQ(LevelName(TLgLevel::Warning), "Warning");
  EXPECT_EQ(LevelName(TLgLevel::Unknown), "Unknown");
  EXPECT_EQ(LevelKeyword(TLgLevel::Fatal), "fatal");
  EXPECT_EQ(LevelKeyword(TLgLevel::Unknown), "");
  EXPECT_EQ(LevelFromKeyword(" Warning "), TLgLevel::Warning);
  EXPECT_EQ(LevelFromKeyword("warn"), std::nullopt);
  EXPECT_EQ(LogEntryTypeName(TLgLogEntryType::InternalError), "InternalError");
  EXPECT_EQ(LogEntryTypeCode(TLgLogEntryType::ResetCallstack), 3);
  EXPECT_EQ(LogEntryTypeCode(TLgLogEntryType::Message), 100);
  EXPECT_EQ(LogEntryTypeCode(TLgLogEntryType::Assert), 111);
  EXPECT_EQ(LogEntryTypeCode(TLgLogEntryType::Text), 200);
  EXPECT_EQ(LogEntryTypeCode(TLgLogEntryType::DatabaseStructure), 209);
  EXPECT_EQ(ViewerIdCode(TLgViewerId::None), -1);
  EXPECT_EQ(ViewerIdCode(TLgViewerId::Table), 5);
  EXPECT_EQ(ViewerIdCode(TLgViewerId::Web), 100);
  EXPECT_EQ(ViewerIdCode(TLgViewerId::Binary), 200);
  EXPECT_EQ(ViewerIdCode(TLgViewerId::XmlSource), 307);
  EXPECT_EQ(ViewerIdCode(TLgViewerId::Metafile), 403);
  EXPECT_EQ(ViewerIdName(TLgViewerId::SqlSource), "SqlSource");
  EXPECT_EQ(PacketTypeCode(TLgPacketType::ProcessFlow), 6);
  EXPECT_EQ(PacketTypeCode(TLgPacketType::LogHeader), 7);
}

TEST(LgViewerContexts, EscapingOfListValueListAndInspector) {
  EXPECT_EQ(EscapeText("a\r\nb\n\nc", ""), "a b c");
  EXPECT_EQ(EscapeText("", "\\="), "");
  TLgValueListViewerContext values;
  EXPECT_EQ(values.EscapeItem("a=b\\c[d]"), "a\\=b\\\\c[d]");
  TLgInspectorViewerContext inspector;
  EXPECT_EQ(inspector.EscapeItem("a=b\\c[d]"), "a\\=b\\\\c\\[d\\]");
  inspector.StartGroup("G[1]");
  inspector.AppendLine("x=1\r\ny");
  EXPECT_EQ(inspector.ViewerData(), "\xEF\xBB\xBF[G\\[1\\]]\r\nx=1 y\r\n");
  EXPECT_EQ(inspector.ViewerId(), TLgViewerId::Inspector);

  TLgListViewerContext list;
  list.AppendLine("one\ntwo");
  EXPECT_EQ(list.ViewerData(), "\xEF\xBB\xBFone two\r\n");
  EXPECT_EQ(list.ViewerId(), TLgViewerId::List);
}

TEST(LgViewerContexts, TextContextDataIsUtf8WithByteOrderMark) {
  TLgTextContext text(TLgViewerId::Data);
  EXPECT_EQ(text.ViewerData(), "\xEF\xBB\xBF");
  text.AppendLine("a\nb");  // a plain text context keeps line breaks
  EXPECT_EQ(text.ViewerData(),
            "\xEF\xBB\xBF"
            "a\nb\r\n");
  text.LoadFromText("new");
  EXPECT_EQ(text.ViewerData(), "\xEF\xBB\xBFnew");
  text.ResetData();
  EXPECT_EQ(text.ViewerData(), "\xEF\xBB\xBF");
}

TEST(LgViewerContexts, BinaryContextLoadsWholeStreamAndRestoresItsPosition) {
  TLgBinaryContext binary(TLgViewerId::Binary);
  try {
    binary.LoadFromStream(nullptr);
    FAIL();
  } catch (const ELogCenterError& e) {
    EXPECT_STREQ(e.what(), "AStream argument is not assigned");
  }
  std::istringstream stream(std::string("\x00\x01\x02\x03", 4));
  stream.seekg(2);
  binary.LoadFromStream(&stream);
  EXPECT_EQ(binary.ViewerData(), std::string("\x00\x01\x02\x03", 4));
  EXPECT_EQ(stream.tellg(), 2);
  binary.ResetData();
  EXPECT_EQ(binary.ViewerData(), "");
  EXPECT_THROW(binary.LoadFromFile("/nonexistent/dir/file.bin"), ELogCenterError);
}

TEST(LgPacketQueue, AccountsSizesAndDropsOldestBeyondBacklog) {
  std::vector<TLgPacketPtr> dropped;
  TLgPacketQueue queue([&](TLgPacketPtr p) { dropped.push_back(std::move(p)); });
  queue.SetBacklog(1000);
  auto first = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  first->SetTitle("first");
  auto second = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  queue.Push(first);
  queue.Push(second);
  EXPECT_EQ(RefCount(first), 2);  // the queue holds a reference
  EXPECT_EQ(queue.Count(), 2);
  EXPECT_EQ(queue.Size(), (48 + 5 + 12) + (48 + 12));

  queue.SetBacklog(60);  // only the newer one fits
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0], first);
  EXPECT_EQ(queue.Size(), 60);

  EXPECT_EQ(queue.Pop(), second);
  EXPECT_EQ(queue.Size(), 0);
  EXPECT_EQ(queue.Pop(), nullptr);

  queue.Push(first);
  queue.Clear();
  EXPECT_EQ(dropped.size(), 2u);
  EXPECT_EQ(queue.Count(), 0);
}

TEST(LgPacketQueue, BacklogZeroDropsEveryPacketAtOnce) {
  int drops = 0;
  TLgPacketQueue queue([&](TLgPacketPtr) { ++drops; });
  queue.SetBacklog(0);
  for (int i = 0; i < 3; ++i) {
    queue.Push(std::make_shared<TLgProcessFlow>(TLgProcessFlowType::EnterMethod));
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(queue.Size(), 0);
  }
  EXPECT_EQ(drops, 3);
}

TEST(PacketIdsTest, CachedIdsFollowThreadsAndForks) {
  EXPECT_EQ(CurrentProcessId(), static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(::syscall(SYS_gettid)));
  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, CurrentThreadId());
  const pid_t child = ::fork();
  if (child == 0) {
    const bool right = CurrentProcessId() == static_cast<uint32_t>(::getpid()) &&
                       CurrentThreadId() == static_cast<uint32_t>(::syscall(SYS_gettid));
    ::_exit(right ? 0 : 1);
  }
  testing_support::TWatchdog dog("the forked child", {child});
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace parlevo::logging
