#include "logging/lg_containers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include <unistd.h>

#include "logging/lg_exceptions.h"
#include "logging/lg_text.h"

namespace parlevo::logging {
namespace {

TEST(LgText, CountsUtf16CodeUnits) {
  EXPECT_EQ(Utf16Length(""), 0u);
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("\xC3\xA4\xC3\xB6"), 2u);  // two umlauts, four bytes
  EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u);  // one character beyond the basic plane
  EXPECT_EQ(Utf16Length("\xFF"
                        "a"),
            2u);  // an invalid byte counts as one
  EXPECT_EQ(FromUtf16(ToUtf16("a\xC3\xA4\xF0\x9F\x98\x80")), "a\xC3\xA4\xF0\x9F\x98\x80");
}

TEST(LgText, LowerCaseTrimAndLines) {
  EXPECT_EQ(LowerCaseText("LeVeL \xC3\x84"
                          "BC"),
            "level \xC3\xA4"
            "bc");
  EXPECT_TRUE(SameText("Session.MAIN.Level", "session.main.level"));
  EXPECT_FALSE(SameText("main", "mains"));
  EXPECT_EQ(TrimText(" \t a b \r\n"), "a b");
  EXPECT_EQ(SplitLines(""), std::vector<std::string>{});
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(LgHash, HashCodeIsDjb2OverLowerCasedUtf16) {
  EXPECT_EQ(LgHashCode(""), 5381u);
  EXPECT_EQ(LgHashCode("a"), 5381u * 33 + 'a');
  EXPECT_EQ(LgHashCode("Level"), LgHashCode("level"));
}

TEST(LgHash, KeysAreCaseInsensitiveAndKeepFirstSpelling) {
  TLgStringHash hash;
  hash.Put("Level", "debug");
  hash.Put("level", "error");
  EXPECT_EQ(hash.Count(), 1);
  EXPECT_EQ(hash.Get("LEVEL"), "error");
  EXPECT_TRUE(hash.Contains("lEvEl"));
  EXPECT_EQ(hash.Get("missing"), "");
  hash.Reset();
  ASSERT_TRUE(hash.Next());
  EXPECT_EQ(hash.CurrentKey(), "Level");
  EXPECT_FALSE(hash.Next());
  EXPECT_FALSE(hash.Next());
}

TEST(LgHash, GrowsWhenThreeQuartersOfBucketsAreOccupiedAndKeepsEveryKey) {
  TLgIntegerHash hash;
  EXPECT_EQ(hash.BucketCount(), 7);
  // Find keys for six distinct buckets of seven; the sixth occupied bucket triggers growth.
  std::set<uint32_t> buckets;
  std::vector<std::string> keys;
  for (int i = 0; buckets.size() < 6; ++i) {
    const std::string key = "key" + std::to_string(i);
    if (buckets.insert(LgHashCode(key) % 7).second) keys.push_back(key);
  }
  for (size_t i = 0; i < 5; ++i) hash.Put(keys[i], static_cast<int64_t>(i));
  EXPECT_EQ(hash.BucketCount(), 7);
  hash.Put(keys[5], 5);
  EXPECT_EQ(hash.BucketCount(), 17);
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(hash.Get(keys[i]), static_cast<int64_t>(i));

  for (int i = 0; i < 2000; ++i) hash.Put("n" + std::to_string(i), i);
  EXPECT_EQ(hash.Count(), 2006);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(hash.Get("N" + std::to_string(i)), i);
  int seen = 0;
  hash.Reset();
  while (hash.Next()) ++seen;
  EXPECT_EQ(seen, 2006);

  hash.Clear();
  EXPECT_EQ(hash.Count(), 0);
  EXPECT_FALSE(hash.Get(keys[0]).has_value());
}

struct Tracked {
  explicit Tracked(int* alive) : alive_(alive) { ++*alive_; }
  ~Tracked() { --*alive_; }
  int* alive_;
};

TEST(LgHash, OwningObjectTableFreesReplacedAndClearedObjects) {
  int alive = 0;
  {
    TLgObjectHash<Tracked> owning(true);
    owning.Adopt("a", std::make_unique<Tracked>(&alive));
    owning.Adopt("A", std::make_unique<Tracked>(&alive));  // replaces and frees the first
    owning.Adopt("b", std::make_unique<Tracked>(&alive));
    EXPECT_EQ(alive, 2);
    owning.Clear();
    EXPECT_EQ(alive, 0);
    owning.Adopt("c", std::make_unique<Tracked>(&alive));
  }
  EXPECT_EQ(alive, 0);

  Tracked kept(&alive);
  {
    TLgObjectHash<Tracked> referring(false);
    referring.Put("k", &kept);
    referring.Put("K", &kept);
    EXPECT_EQ(referring.Get("k"), &kept);
  }
  EXPECT_EQ(alive, 1);  // a non-owning table leaves its objects alone
}

TEST(LgStringList, IndexBoundsRaise) {
  TLgStringList list;
  list.Add("a");
  list.Add("b");
  EXPECT_EQ(list.Strings(1), "b");
  try {
    list.Strings(list.Count());
    FAIL() << "reading index Count must raise";
  } catch (const ELogCenterError& e) {
    EXPECT_STREQ(e.what(), "Index out of bounds");
  }
  EXPECT_THROW(list.Strings(-1), ELogCenterError);
  EXPECT_THROW(list.Delete(2), ELogCenterError);
  list.Delete(0);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Strings(0), "b");
}

TEST(LgStringList, SortsCaseSensitivelyByCharacterCode) {
  TLgStringList list;
  for (const char* s : {"b", "a", "B", "\xEF\xBD\x81", "\xF0\x9F\x98\x80", "A", "a"}) list.Add(s);
  list.Sort();
  std::vector<std::string> sorted;
  for (int i = 0; i < list.Count(); ++i) sorted.push_back(list.Strings(i));
  // Upper case before lower case; a supplementary character (surrogates) before U+FF41.
  EXPECT_EQ(sorted, (std::vector<std::string>{"A", "B", "a", "a", "b", "\xF0\x9F\x98\x80",
                                              "\xEF\xBD\x81"}));
}

TEST(LgStringList, LoadsTextFilesInEachEncoding) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("lg_containers_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return (dir / name).string();
  };
  TLgStringList list;
  list.LoadFromFile(write("utf8.txt", "\xEF\xBB\xBFkey=v\r\nx"));
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Strings(0), "key=v");
  list.LoadFromFile(write("le.txt", std::string("\xFF\xFE"
                                                "a\0=\0\xE4\0",
                                                8)));
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Strings(0), "a=\xC3\xA4");
  list.LoadFromFile(write("be.txt", std::string("\xFE\xFF\0b\0\n\0c", 8)));
  EXPECT_EQ(list.Count(), 2);
  list.LoadFromFile(write("latin1.txt", "\xE4"));
  EXPECT_EQ(list.Strings(0), "\xC3\xA4");
  EXPECT_THROW(list.LoadFromFile((dir / "missing.txt").string()), ELogCenterError);
  std::filesystem::remove_all(dir);
}

TEST(LgStringBuilder, CapacityDoublesInCodeUnitsAndShrinksAfterLargeUse) {
  TLgStringBuilder builder(4);
  builder.Append("ab");
  builder.Append("\xC3\xA4\xC3\xA4\xC3\xA4");  // three code units in six bytes
  EXPECT_EQ(builder.Length(), 5u);
  EXPECT_EQ(builder.Capacity(), 8u);
  EXPECT_EQ(builder.Text(), "ab\xC3\xA4\xC3\xA4\xC3\xA4");
  builder.Clear();
  EXPECT_EQ(builder.Capacity(), 8u);
  builder.Append(std::string(1048576, 'x'));
  EXPECT_EQ(builder.Capacity(), 1048576u);
  builder.Clear();
  EXPECT_EQ(builder.Capacity(), 256u);
  EXPECT_EQ(builder.Text(), "");
}

}  // namespace
}  // namespace parlevo::logging
