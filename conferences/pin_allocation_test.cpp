#include "conferences/pin_allocation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "conferences/conference_test_support.h"
#include "platform/random.h"

namespace parlevo {
namespace {

using ::testing::ElementsAre;
using testing_support::InstallFolderTest;

const char* const kRequest =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><Request><Action>getNextFreeHostPin</Action>"
    "</Request>";

class PinAllocation : public InstallFolderTest {
 protected:
  // Stores conferences with the given PINs in one transaction ("" stores none).
  void StorePins(const std::string& column, const std::vector<std::string>& pins) {
    db::TADOQuery query;
    query.Connection().Open(connect_str_);
    query.Connection().BeginTrans();
    for (const std::string& pin : pins) {
      query.ExecSQL("INSERT INTO [conferences] (room, " + column + ") VALUES (\"100\", " +
                    (pin.empty() ? std::string("NULL") : pin) + ")");
    }
    query.Connection().CommitTrans();
  }
  std::string Pin(const std::string& answer) { return AnswerValue(answer, "pin"); }
  std::string AllPins(const std::string& answer) { return AnswerValue(answer, "allpins"); }
};

TEST(UsedPinList, SeparatorOnlyAfterSomethingWasWritten) {
  EXPECT_EQ(JoinUsedPins({}), "");
  EXPECT_EQ(JoinUsedPins({"1234"}), "1234");
  EXPECT_EQ(JoinUsedPins({"1234", "5678"}), "1234;5678");
  EXPECT_EQ(JoinUsedPins({"1234", "", "5678"}), "1234;;5678");
  EXPECT_EQ(JoinUsedPins({"", "1234"}), "1234");
  EXPECT_EQ(JoinUsedPins({"1234", ""}), "1234;");
}

TEST_F(PinAllocation, EmptyTableGivesAPinInRangeAndAnEmptyList) {
  const std::string answer = Call(GetNextFreeHostPin, kRequest);
  EXPECT_EQ(AnswerValue(answer, "result.code"), "0");
  EXPECT_EQ(AnswerValue(answer, "result.description"), "Pin erzeugt");
  EXPECT_EQ(AllPins(answer), "");
  const int pin = std::stoi(Pin(answer));
  EXPECT_GE(pin, 1000);
  EXPECT_LE(pin, 9998);
  EXPECT_EQ(answer,
            CreateResultXML(0, "Pin erzeugt", "<pin>" + Pin(answer) + "</pin><allpins></allpins>"));
}

TEST_F(PinAllocation, ListHoldsEachUsedTextOnceInOrderOfFirstUse) {
  StorePins("PinHost", std::vector<std::string>(20, "4711"));
  EXPECT_EQ(AllPins(Call(GetNextFreeHostPin, kRequest)), "4711");
  StorePins("PinHost", {"", "1234", "4711", ""});
  const std::string answer = Call(GetNextFreeHostPin, kRequest);
  EXPECT_EQ(AllPins(answer), "4711;;1234");
}

TEST_F(PinAllocation, UniquenessHoldsPerColumn) {
  StorePins("PinHost", {"1000", "1001"});
  StorePins("PinMember", {"2000"});
  EXPECT_EQ(AllPins(Call(GetNextFreeHostPin, kRequest)), "1000;1001;");
  EXPECT_EQ(AllPins(Call(GetNextFreeMemberPin, kRequest)), "2000");
  EXPECT_EQ(AllPins(Call(GetNextFreeListenOnlyPin, kRequest)), "");
}

TEST_F(PinAllocation, DrawsUniformlyFromTheFreePinsOnly) {
  // Every PIN but four taken; the draw must find those four and only them, each about as often.
  std::vector<std::string> taken;
  const std::set<int> free_pins = {1000, 4321, 9997, 9998};
  for (int pin = 1000; pin <= 9998; ++pin) {
    if (!free_pins.contains(pin)) taken.push_back(std::to_string(pin));
  }
  StorePins("PinHost", taken);
  SeedRandomForTesting(7);
  std::map<int, int> counts;
  std::vector<std::string> used;
  for (int i = 0; i < 200; ++i) ++counts[DetectNextFreePin("PinHost", used)];
  EXPECT_EQ(used.size(), taken.size());
  ASSERT_EQ(counts.size(), 4u);
  for (const auto& [pin, count] : counts) {
    EXPECT_TRUE(free_pins.contains(pin)) << pin;
    EXPECT_GT(count, 25) << pin;  // 50 expected; far below would mean a skewed draw
  }
}

TEST_F(PinAllocation, NeverHandsOutAListedPinOr9999) {
  StorePins("PinMember", {"9999", "5000", "5001"});
  for (int i = 0; i < 200; ++i) {
    const std::string answer = Call(GetNextFreeMemberPin, kRequest);
    const int pin = std::stoi(Pin(answer));
    ASSERT_TRUE(pin >= 1000 && pin <= 9998 && pin != 5000 && pin != 5001) << pin;
  }
}

TEST_F(PinAllocation, AllPinsTakenEndsWithAnAnswer) {
  std::vector<std::string> all;
  for (int pin = 1000; pin <= 9998; ++pin) all.push_back(std::to_string(pin));
  StorePins("PinListenOnly", all);
  EXPECT_EQ(Call(GetNextFreeListenOnlyPin, kRequest),
            CreateResultXML(-1, "Keine freie Pin verfügbar", ""));
  // Another column is unaffected.
  EXPECT_EQ(AnswerValue(Call(GetNextFreeHostPin, kRequest), "result.code"), "0");
}

TEST_F(PinAllocation, UnreadableColumnKeepsThePresetAnswer) {
  // A definition changes no row: only the missing table below tells that it ran.
  TActionStatement(connect_str_).Run("DROP TABLE conferences", false);
  ASSERT_FALSE(TableExistsADO(connect_str_, "conferences"));
  EXPECT_EQ(Call(GetNextFreeHostPin, kRequest), "error");
  std::vector<std::string> used{"stale"};
  EXPECT_EQ(DetectNextFreePin("PinHost", used), kPinColumnUnreadable);
  EXPECT_TRUE(used.empty());
}

}  // namespace
}  // namespace parlevo
