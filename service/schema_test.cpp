#include "service/schema.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "service/database.h"

namespace parlevo {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsSupersetOf;

class Schema : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/parlevo-schema-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    connstr_ = GetConnectionString(dir_);
  }
  void TearDown() override {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

  void Exec(const std::string& sql) {
    db::TADOQuery q;
    q.Connection().Open(connstr_);
    q.ExecSQL(sql);
  }

  std::unique_ptr<TADOQuery> Select(const std::string& sql) {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    EXPECT_TRUE(ConnectToADODB(query, connstr_, sql, true, error)) << error;
    return query;
  }

  std::vector<std::string> Columns(const std::string& table) {
    auto q = Select("SELECT * FROM [" + table + "] WHERE 1=0");
    std::vector<std::string> names;
    if (!q) return names;
    for (size_t i = 0; i < q->FieldCount(); ++i) names.push_back(q->Fields(i).FieldName());
    return names;
  }

  std::vector<std::string> Versions() {
    auto q = Select("SELECT Version FROM SchemaVersion ORDER BY Version");
    std::vector<std::string> versions;
    for (; q && !q->Eof(); q->Next()) versions.push_back(q->FieldByName("Version").AsString());
    return versions;
  }

  // A file of version 1 as delivered, brought to the given step by the chain itself.
  void FileAt(std::string_view last_version) {
    ASSERT_TRUE(CreateDatabaseIfMissing(connstr_));
    if (last_version.empty()) return;
    CreateSchemaVersion(connstr_);
    using StepFn = bool (*)(const std::string&, const StatementObserver&);
    const std::pair<std::string_view, StepFn> steps[] = {{"2.00", &UpdateDBVersion200},
                                                         {"2.10", &UpdateDBVersion210},
                                                         {"2.21", &UpdateDBVersion221},
                                                         {"2.22", &UpdateDBVersion222},
                                                         {"2.30", &UpdateDBVersion230}};
    for (const auto& [version, step] : steps) {
      ASSERT_TRUE(step(connstr_, {})) << version;
      if (version == last_version) return;
    }
  }

  std::string dir_;
  std::string connstr_;
};

TEST_F(Schema, ANewInstallationEndsAtTheCurrentVersion) {
  ASSERT_FALSE(std::filesystem::exists(dir_ + "/Database"));
  // A moment before midnight: the row keeps the day alone.
  const auto clock = [] { return EncodeDateTime({2029, 3, 14, 23, 59, 59, 999}); };
  EXPECT_TRUE(UpdateDB(connstr_, {}, clock));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/Database/conference.mdb"));
  EXPECT_THAT(Versions(), ElementsAre("2.00", "2.10", "2.21", "2.22", "2.30"));
  auto q = Select("SELECT * FROM SchemaVersion WHERE Version=\"2.30\"");
  EXPECT_DOUBLE_EQ(q->FieldByName("VersionDate").AsDateTime(),
                   EncodeDateTime({2029, 3, 14, 0, 0, 0, 0}));

  EXPECT_THAT(Columns("rooms"), ElementsAre("name", "directdial", "pin"));
  EXPECT_THAT(Columns("conferences"),
              ElementsAre("ID", "room", "name", "date", "starttime", "endtime", "RecurrenceId",
                          "PinHost", "PinMember", "PinListenOnly", "enddate"));
  EXPECT_THAT(Columns("members"),
              ElementsAre("ID", "sex", "title", "name", "firstname", "email", "sms", "company",
                          "project", "HideFromAddressbook", "language"));
  EXPECT_THAT(
      Columns("conferenceMembers"),
      ElementsAre("memberID", "conferenceID", "host", "email", "languagecode", "pin", "directdial",
                  "min", "max", "sms", "present", "listenOnly", "kick", "membersvisible"));
  EXPECT_THAT(Columns("conferenceMemberLog"),
              ElementsAre("conferenceID", "memberID", "from", "to"));
  EXPECT_THAT(Columns("languageid"), ElementsAre("name", "default"));
  EXPECT_THAT(Columns("conferenceRecurrences"),
              ElementsAre("RecurrenceId", "room", "name", "startdate", "starttime", "endtime",
                          "IsRecurrenceElement", "Daily", "DailyInterval", "DailyEveryWorkDay",
                          "Weekly", "WeeklyInterval", "WeeklyMonday", "WeeklyTuesday",
                          "WeeklyWednesday", "WeeklyThursday", "WeeklyFriday", "WeeklySaturday",
                          "WeeklySunday", "Monthly", "MonthlyInterval", "PinHost", "PinMember",
                          "PinListenOnly", "enddate", "MonthlyEveryX", "MonthlyWeekDay"));
  q = Select("SELECT name FROM [languageid] WHERE default=true");
  EXPECT_EQ(q->FieldByName("name").AsString(), "ger");
  // The column kinds the service's reads rely on.
  q = Select(
      "SELECT conferenceMembers.*, conferences.starttime FROM conferenceMembers, "
      "conferences WHERE 1=0");
  EXPECT_EQ(q->FieldByName("host").Kind(), db::FieldKind::Boolean);
  EXPECT_EQ(q->FieldByName("min").Kind(), db::FieldKind::DateTime);
  EXPECT_EQ(q->FieldByName("pin").Kind(), db::FieldKind::Text);
  EXPECT_EQ(q->FieldByName("starttime").Kind(), db::FieldKind::DateTime);
}

// The dial-in lookup by PIN and the lists of one conference must not scan whole tables; the
// indexes of a new file survive the upgrade chain.
TEST_F(Schema, ANewInstallationIndexesPinsAndMemberships) {
  const auto indexes = [this] {
    auto q = Select(
        "SELECT name, sql FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL "
        "ORDER BY name");
    std::vector<std::string> found;
    for (; q && !q->Eof(); q->Next()) {
      const std::string sql = q->FieldByName("sql").AsString();
      found.push_back(q->FieldByName("name").AsString() + ":" + sql.substr(sql.find(" ON ")));
    }
    return found;
  };
  const auto expected = ElementsAre(
      "conferenceMemberLog_membership: ON conferenceMemberLog (conferenceID, "
      "memberID)",
      "conferenceMembers_conference: ON conferenceMembers (conferenceID)",
      "conferenceMembers_pin: ON conferenceMembers (pin)",
      "conferences_of_room: ON conferences (room)",
      "conferences_room_end: ON conferences (room, endtime) WHERE endtime IS NOT NULL");
  ASSERT_TRUE(UpdateDB(connstr_));
  EXPECT_THAT(indexes(), expected);
  // The first form of the room index, which also ordered a room's conference list by end, goes
  // at the next start.
  Exec("CREATE INDEX conferences_room ON conferences (room, endtime)");
  ASSERT_TRUE(UpdateDB(connstr_));
  EXPECT_THAT(indexes(), expected);
}

TEST_F(Schema, AVersionOneFileIsBroughtForwardKeepingItsRows) {
  FileAt("");
  Exec("INSERT INTO members (name, email) VALUES (\"A\", \"a@x\")");
  Exec("INSERT INTO members (name, email) VALUES (\"B\", \"b@x\")");
  Exec("INSERT INTO conferences (room, name) VALUES (\"100\", \"C\")");
  ASSERT_FALSE(TableExistsADO(connstr_, "SchemaVersion"));

  EXPECT_TRUE(UpdateDB(connstr_));
  EXPECT_THAT(Versions(), ElementsAre("2.00", "2.10", "2.21", "2.22", "2.30"));
  auto q = Select("SELECT * FROM members ORDER BY ID");
  ASSERT_EQ(q->RecordCount(), 2u);
  for (; !q->Eof(); q->Next()) {
    EXPECT_EQ(q->FieldByName("language").AsString(), "ger");
    EXPECT_EQ(q->FieldByName("HideFromAddressbook").AsString(), "Falsch");
  }
  q = Select("SELECT * FROM conferences");
  EXPECT_EQ(q->FieldByName("name").AsString(), "C");
  EXPECT_TRUE(q->FieldByName("RecurrenceId").IsNull());
}

// The texts of the chain stay as they are: a file half way up on another installation meets
// exactly these statements.
TEST_F(Schema, TheUpgradeChainRunsItsStatementsUnchanged) {
  ASSERT_TRUE(CreateDatabaseIfMissing(connstr_));
  std::vector<std::string> run;
  ASSERT_TRUE(UpdateDB(connstr_, [&](std::string_view sql) {
    if (sql.find("SELECT") != 0 && sql.find("INSERT INTO SchemaVersion") != 0 &&
        sql.find("CREATE INDEX IF NOT EXISTS") != 0 && sql.find("DROP INDEX") != 0) {
      run.emplace_back(sql);
    }
  }));
  EXPECT_THAT(
      run,
      ElementsAre(
          "CREATE TABLE SchemaVersion (Version TEXT, VersionDate DATE)",
          "CREATE TABLE conferenceRecurrences (RecurrenceId COUNTER PRIMARY KEY NOT NULL, room "
          "TEXT, name TEXT, startdate DATE, starttime DATE, endtime DATE, IsRecurrenceElement INT, "
          "Daily INT, DailyInterval INT, DailyEveryWorkDay INT, Weekly INT, WeeklyInterval INT, "
          "WeeklyMonday INT, WeeklyTuesday INT, WeeklyWednesday INT, WeeklyThursday INT, "
          "WeeklyFriday INT, WeeklySaturday INT, WeeklySunday INT, Monthly INT, MonthlyInterval "
          "INT, MonthlyDay INT, MonthlyDayInterval INT, PinHost INT, PinMember INT, PinListenOnly "
          "INT)",
          "ALTER TABLE conferences ADD COLUMN RecurrenceId INT, COLUMN PinHost INT, COLUMN "
          "PinMember INT, COLUMN PinListenOnly INT",
          "ALTER TABLE members ADD COLUMN HideFromAddressbook BIT",
          "ALTER TABLE conferenceRecurrences ADD COLUMN `enddate` DATETIME",
          "ALTER TABLE conferences ADD COLUMN enddate DATETIME",
          "ALTER TABLE conferenceRecurrences ADD COLUMN MonthlyEveryX LONG INTEGER",
          "ALTER TABLE conferenceRecurrences ADD COLUMN MonthlyWeekDay LONG INTEGER",
          "UPDATE conferenceRecurrences SET MonthlyEveryX = MonthlyDay WHERE 1=1",
          "UPDATE conferenceRecurrences SET MonthlyWeekDay = MonthlyDayInterval WHERE 1=1",
          "ALTER TABLE conferenceRecurrences DROP COLUMN MonthlyDay",
          "ALTER TABLE conferenceRecurrences DROP COLUMN MonthlyDayInterval",
          "ALTER TABLE SchemaVersion ALTER COLUMN Version TEXT(20)",
          "ALTER TABLE [members] ADD COLUMN [language] TEXT(20)",
          "UPDATE members SET [language] = IIF(IsNull([language]),\"ger\",[language])"));
}

TEST_F(Schema, AFileAtTheCurrentVersionOnlyAsks) {
  ASSERT_TRUE(UpdateDB(connstr_));
  std::vector<std::string> statements;
  EXPECT_TRUE(UpdateDB(connstr_, [&](std::string_view sql) { statements.emplace_back(sql); }));
  std::vector<std::string> expected = {
      "SELECT * FROM SchemaVersion WHERE 1=0", "DROP INDEX IF EXISTS conferences_room",
      "CREATE INDEX IF NOT EXISTS conferences_room_end ON conferences (room, endtime) WHERE "
      "endtime IS NOT NULL",
      "CREATE INDEX IF NOT EXISTS conferences_of_room ON conferences (room)"};
  for (std::string_view v : {"2.00", "2.10", "2.21", "2.22", "2.30"}) {
    expected.push_back("SELECT Version FROM SchemaVersion WHERE Version = \"" + std::string(v) +
                       "\"");
  }
  EXPECT_THAT(statements, ElementsAreArray(expected));
  EXPECT_EQ(Versions().size(), 5u);
}

TEST_F(Schema, SeriesKeepTheirMonthlyValues) {
  FileAt("2.10");
  Exec(
      "INSERT INTO conferenceRecurrences (room, name, Monthly, MonthlyInterval, MonthlyDay, "
      "MonthlyDayInterval) VALUES (\"100\", \"S\", \"1\", \"1\", \"2\", \"1\")");
  Exec(
      "INSERT INTO conferenceRecurrences (room, name, Monthly, MonthlyDay, MonthlyDayInterval) "
      "VALUES (\"100\", \"T\", \"1\", \"5\", \"6\")");
  EXPECT_TRUE(UpdateDB(connstr_));
  auto q = Select("SELECT * FROM conferenceRecurrences ORDER BY RecurrenceId");
  ASSERT_EQ(q->RecordCount(), 2u);
  EXPECT_EQ(q->FieldByName("MonthlyEveryX").AsInteger(), 2);
  EXPECT_EQ(q->FieldByName("MonthlyWeekDay").AsInteger(), 1);
  EXPECT_FALSE(q->FindField("MonthlyDay").has_value());
  q->Next();
  EXPECT_EQ(q->FieldByName("MonthlyEveryX").AsString(), "5");
  EXPECT_EQ(q->FieldByName("MonthlyWeekDay").AsString(), "6");
}

TEST_F(Schema, AStepAppliedButNotRecordedRunsAgainToTheEnd) {
  FileAt("2.10");
  Exec(
      "INSERT INTO conferenceRecurrences (room, MonthlyDay, MonthlyDayInterval) VALUES "
      "(\"100\", 3, 4)");
  // 2.21 was applied by other means, its version row never written.
  Exec("ALTER TABLE conferenceRecurrences ADD COLUMN MonthlyEveryX LONG INTEGER");
  Exec("ALTER TABLE conferenceRecurrences ADD COLUMN MonthlyWeekDay LONG INTEGER");
  Exec(
      "UPDATE conferenceRecurrences SET MonthlyEveryX = MonthlyDay, MonthlyWeekDay = "
      "MonthlyDayInterval WHERE 1=1");
  Exec("ALTER TABLE conferenceRecurrences DROP COLUMN MonthlyDay");
  Exec("ALTER TABLE conferenceRecurrences DROP COLUMN MonthlyDayInterval");

  EXPECT_TRUE(UpdateDB(connstr_));
  EXPECT_THAT(Versions(), ElementsAre("2.00", "2.10", "2.21", "2.22", "2.30"));
  auto q = Select("SELECT * FROM conferenceRecurrences");
  EXPECT_EQ(q->FieldByName("MonthlyEveryX").AsInteger(), 3);
  EXPECT_EQ(q->FieldByName("MonthlyWeekDay").AsInteger(), 4);
  EXPECT_THAT(Columns("members"), Contains("language"));
}

TEST_F(Schema, HalfAppliedStepsAddOnlyWhatIsMissing) {
  FileAt("");
  CreateSchemaVersion(connstr_);
  // One of the four columns of 2.00 and the series table came in already, with a row.
  Exec("ALTER TABLE conferences ADD COLUMN PinHost INT");
  Exec("INSERT INTO conferences (room, PinHost) VALUES (\"100\", 7)");
  Exec(
      "CREATE TABLE conferenceRecurrences (RecurrenceId COUNTER PRIMARY KEY NOT NULL, room "
      "TEXT, MonthlyDay INT)");
  Exec("INSERT INTO conferenceRecurrences (room, MonthlyDay) VALUES (\"100\", 2)");

  EXPECT_TRUE(UpdateDB(connstr_));
  EXPECT_THAT(Versions(), ElementsAre("2.00", "2.10", "2.21", "2.22", "2.30"));
  EXPECT_THAT(Columns("conferences"),
              IsSupersetOf({"RecurrenceId", "PinHost", "PinMember", "PinListenOnly", "enddate"}));
  auto q = Select("SELECT * FROM conferences");
  EXPECT_EQ(q->FieldByName("PinHost").AsInteger(), 7);
  q = Select("SELECT * FROM conferenceRecurrences");
  EXPECT_EQ(q->FieldByName("MonthlyEveryX").AsInteger(), 2);  // moved from the column there
  EXPECT_FALSE(q->FindField("MonthlyDay").has_value());
  EXPECT_TRUE(q->FieldByName("MonthlyWeekDay").IsNull());  // no source column, no data
}

TEST_F(Schema, LanguagesThatWereSetStay) {
  FileAt("2.22");
  // The column came in by other means before the step was recorded.
  Exec("ALTER TABLE [members] ADD COLUMN [language] TEXT(20)");
  Exec("INSERT INTO members (name, [language]) VALUES (\"A\", \"eng\")");
  Exec("INSERT INTO members (name) VALUES (\"B\")");
  EXPECT_TRUE(UpdateDB(connstr_));
  auto q = Select("SELECT name, [language] FROM members ORDER BY name");
  EXPECT_EQ(q->FieldByName("language").AsString(), "eng");
  q->Next();
  EXPECT_EQ(q->FieldByName("language").AsString(), "ger");
  EXPECT_TRUE(IsDBVersion(connstr_, "2.30"));
}

TEST_F(Schema, AnUnusableDatabaseIsOnlyReported) {
  EXPECT_FALSE(UpdateDB(""));
  // A folder where the file should be.
  std::filesystem::create_directories(dir_ + "/Database/conference.mdb");
  EXPECT_FALSE(UpdateDB(connstr_));
  EXPECT_FALSE(IsDBVersion(connstr_, "2.00"));
  EXPECT_FALSE(CreateSchemaVersion(connstr_));
}

TEST_F(Schema, SchemaVersionIsCreatedThoughItReportsNoRow) {
  FileAt("");
  EXPECT_FALSE(CreateSchemaVersion(connstr_));
  EXPECT_TRUE(TableExistsADO(connstr_, "SchemaVersion"));
  EXPECT_FALSE(IsDBVersion(connstr_, "2.00"));
  EXPECT_TRUE(UpdateDBVersion200(connstr_));
  EXPECT_TRUE(IsDBVersion(connstr_, "2.00"));
  EXPECT_TRUE(UpdateDBVersion200(connstr_));  // found applied: nothing runs twice
  EXPECT_THAT(Versions(), ElementsAre("2.00"));
}

}  // namespace
}  // namespace parlevo
