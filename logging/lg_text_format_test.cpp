#include "logging/lg_text_format.h"

#include <gtest/gtest.h>

#include "logging/lg_streams.h"

namespace parlevo::logging {
namespace {

std::unique_ptr<TLgLogEntry> MakeEntry(TLgLogEntryType type, std::string title,
                                       TLgLevel level = TLgLevel::Message) {
  auto entry = std::make_unique<TLgLogEntry>(type, TLgViewerId::Title);
  entry->SetTitle(std::move(title));
  entry->SetLevel(level);
  entry->SetTimestamp(EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 6));
  return entry;
}

std::string Expand(std::string_view pattern, const TLgLogEntry& entry) {
  TLgPatternParser parser;
  parser.SetPattern(pattern);
  return parser.Expand(entry);
}

TEST(TextFormatTest, DefaultPatternLine) {
  TLgTextFormatter formatter;
  const auto owned = MakeEntry(TLgLogEntryType::Message, "Hello");
  const TLgLogEntry& entry = *owned;
  TLgMemoryStream stream;
  EXPECT_EQ(formatter.Compile(entry), 42);
  formatter.Write(stream);
  EXPECT_EQ(stream.Bytes(), "[2024-01-02 03:04:05.006] Message: Hello\r\n");
}

TEST(TextFormatTest, WidthsPadLeftOrRightAndNeverCut) {
  const auto owned = MakeEntry(TLgLogEntryType::Warning, "x", TLgLevel::Warning);
  const TLgLogEntry& entry = *owned;
  EXPECT_EQ(Expand("%level,-8%|", entry), "Warning |");
  EXPECT_EQ(Expand("%level,8%|", entry), " Warning|");
  EXPECT_EQ(Expand("%level,3%|", entry), "Warning|");
  EXPECT_EQ(Expand("%level,abc%|", entry), "Warning|");
}

TEST(TextFormatTest, OptionsCaseAndLiterals) {
  const auto owned = MakeEntry(TLgLogEntryType::Message, "T");
  const TLgLogEntry& entry = *owned;
  EXPECT_EQ(Expand("%timestamp{hh:nn}%", entry), "03:04");
  EXPECT_EQ(Expand("%TITLE%", entry), "T");
  EXPECT_EQ(Expand("%foo% and %", entry), "%foo% and %");
  // Options written before the width make the token a literal.
  EXPECT_EQ(Expand("%title{x},5%", entry), "%title{x},5%");
  EXPECT_EQ(Expand("%title,5{x}%", entry), "    T");
}

TEST(TextFormatTest, FieldTokens) {
  auto owned = MakeEntry(TLgLogEntryType::Checkpoint, "T");
  TLgLogEntry& entry = *owned;
  entry.SetAppName("app");
  entry.SetSessionName("Main");
  entry.SetHostName("box");
  EXPECT_EQ(Expand("%appname%/%session%/%hostname%/%logentrytype%/%viewerid%", entry),
            "app/Main/box/Checkpoint/Title");
  EXPECT_EQ(Expand("%color%", entry), "<default>");
  entry.SetColor(0x0000FF | (0x10 << 8));
  EXPECT_EQ(Expand("%color%", entry), "$ff1000");
  EXPECT_EQ(Expand("%thread% %process%", entry),
            std::to_string(entry.ThreadId()) + " " + std::to_string(entry.ProcessId()));
}

TEST(TextFormatTest, IndentFollowsEnterAndLeave) {
  TLgPatternParser parser;
  parser.SetPattern("%title%");
  parser.SetIndent(true);
  EXPECT_EQ(parser.Expand(*MakeEntry(TLgLogEntryType::LeaveMethod, "stray")), "stray");
  EXPECT_EQ(parser.IndentLevel(), 0);
  EXPECT_EQ(parser.Expand(*MakeEntry(TLgLogEntryType::EnterMethod, "A")), "A");
  EXPECT_EQ(parser.Expand(*MakeEntry(TLgLogEntryType::Message, "B")), "   B");
  EXPECT_EQ(parser.Expand(*MakeEntry(TLgLogEntryType::LeaveMethod, "A")), "A");
  parser.Expand(*MakeEntry(TLgLogEntryType::EnterMethod, "A"));
  parser.SetPattern("%title%");  // a new pattern starts at the left again
  EXPECT_EQ(parser.Expand(*MakeEntry(TLgLogEntryType::Message, "C")), "C");
}

TEST(TextFormatTest, OnlyLogEntriesBecomeLines) {
  TLgTextFormatter formatter;
  TLgProcessFlow flow(TLgProcessFlowType::EnterMethod);
  TLgMemoryStream stream;
  EXPECT_EQ(formatter.Compile(flow), 0);
  formatter.Write(stream);
  EXPECT_TRUE(stream.Bytes().empty());
  formatter.SetPattern("");
  EXPECT_EQ(formatter.Compile(*MakeEntry(TLgLogEntryType::Message, "x")), 2);  // CR LF only
}

}  // namespace
}  // namespace parlevo::logging
