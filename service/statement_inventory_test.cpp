// Every statement the service's routines run, as they write it, with plausible values in its
// slots, run through ConnectToADODB against the schema that UpdateDB makes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "platform/datetime.h"
#include "service/database.h"
#include "service/schema.h"

namespace parlevo {
namespace {

using ::testing::ElementsAre;

class Statements : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/parlevo-statements-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    connstr_ = GetConnectionString(dir_);
    ASSERT_TRUE(UpdateDB(connstr_));
  }
  void TearDown() override {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

  // A statement that is not a select; true when it changed a row.
  bool Exec(const std::string& sql) {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    const bool ok = ConnectToADODB(query, connstr_, sql, false, error);
    EXPECT_EQ(error, "") << sql;
    return ok;
  }

  int Insert(const std::string& sql) {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    int id = -1;
    EXPECT_TRUE(ConnectToADODB(query, connstr_, sql, false, error)) << sql << ": " << error;
    EXPECT_TRUE(GetAutoWert(query, id, error)) << error;
    return id;
  }

  std::unique_ptr<TADOQuery> Select(const std::string& sql) {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    EXPECT_TRUE(ConnectToADODB(query, connstr_, sql, true, error)) << sql << ": " << error;
    if (!query) query = std::make_unique<TADOQuery>();  // an empty result for the checks below
    return query;
  }

  std::vector<std::string> Column(const std::string& sql, const std::string& field) {
    auto q = Select(sql);
    std::vector<std::string> values;
    for (; !q->Eof(); q->Next()) values.push_back(q->FieldByName(field).AsString());
    return values;
  }

  // Rooms, two conferences of room 100 and one of room 200, three members.
  void Seed() {
    ASSERT_TRUE(Exec("INSERT INTO [rooms] VALUES (\"Raum 1\", \"100\", \"4711\")"));
    ASSERT_TRUE(Exec("INSERT INTO [rooms] VALUES (\"Raum 2\", \"200\", \"4712\")"));
    conf1_ = Insert(
        "INSERT INTO [conferences] (room, name, [date], enddate, starttime, endtime, "
        "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES (\"100\", \"Jour fixe\", "
        "\"2026-03-07\", NULL, \"2026-03-07 10:00:00\", \"2026-03-07 11:00:00\", \"-1\", "
        "\"1234\", \"2345\", \"3456\")");
    conf2_ = Insert(
        "INSERT INTO [conferences] (room, name, [date], enddate, starttime, endtime, "
        "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES (\"100\", \"Review\", "
        "\"2026-04-02\", \"2026-04-30\", \"2026-04-02 09:00:00\", \"2026-04-02 09:30:00\", "
        "\"7\", \"1234\", NULL, \"3457\")");
    conf3_ = Insert(
        "INSERT INTO [conferences] (room, name, [date], enddate, starttime, endtime, "
        "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES (\"200\", \"Andere\", "
        "\"2026-03-07\", NULL, \"2026-03-07 14:00:00\", \"2026-03-07 15:00:00\", \"-1\", "
        "\"1235\", \"2346\", \"3458\")");
    anna_ = Insert(
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES(\"Frau\", \"Dr.\", \"Huber\", \"Anna\", "
        "\"anna@example.org\", \"0171 1\", \"ACME\", \"P1\", \"ger\")");
    bert_ = Insert(
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES (\"Herr\", \"\", \"Maier\", \"Bert\", "
        "\"bert@example.org\", \"\", \"\", \"\", \"\")");
    carl_ = Insert(
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES(\"Herr\", \"\", \"Klein\", \"Carl\", \"carl@example.org\", "
        "\"0171 3\", \"X\", \"\", \"eng\")");
  }

  // Anna hosts conference 1, Bert and Carl take part; Carl is also in conference 2.
  void SeedMemberships() {
    Seed();
    const std::string k = std::to_string(conf1_);
    ASSERT_TRUE(Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(anna_) + ", " + k +
                     ", true, false, \"ger\", \"01234\", \"100\", \"07.03.2026 09:45\", "
                     "\"07.03.2026 11:00\", false, false, false, false, true)"));
    ASSERT_TRUE(Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(bert_) + ", " + k +
                     ", false, false, \"ger\", \"01235\", \"100\", \"07.03.2026 10:00\", "
                     "\"07.03.2026 11:00\", false, false, true, false, false)"));
    ASSERT_TRUE(Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(carl_) + ", " + k +
                     ", false, false, \"eng\", \"01236\", \"100\", \"07.03.2026 10:00\", "
                     "\"07.03.2026 11:00\", false, false, false, false, true)"));
    ASSERT_TRUE(Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(carl_) + ", " +
                     std::to_string(conf2_) +
                     ", false, false, \"eng\", \"01237\", \"100\", \"02.04.2026 09:00\", "
                     "\"02.04.2026 09:30\", false, false, false, false, true)"));
  }

  // Attendance rows as the PBX side writes them: ISO texts, "to" empty while the member is in.
  void SeedAttendance() {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath(dir_).c_str(), &db), SQLITE_OK);
    const std::string k = std::to_string(conf1_);
    const std::string sql =
        "INSERT INTO conferenceMemberLog VALUES (" + k + ", " + std::to_string(anna_) +
        ", '2026-03-07 09:50:00', '2026-03-07 10:20:00');"
        "INSERT INTO conferenceMemberLog VALUES (" +
        k + ", " + std::to_string(anna_) +
        ", '2026-03-07 10:25:00', NULL);"
        "INSERT INTO conferenceMemberLog VALUES (" +
        k + ", " + std::to_string(bert_) + ", '2026-03-07 10:30:00', '2026-03-07 10:50:00');";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }

  std::string dir_;
  std::string connstr_;
  int conf1_ = 0, conf2_ = 0, conf3_ = 0;
  int anna_ = 0, bert_ = 0, carl_ = 0;
};

TEST_F(Statements, TheUpgradeChainRunsItsStatementsUnchanged) {
  db::CloseIdleConnections();
  std::filesystem::remove_all(dir_ + "/Database");
  ASSERT_TRUE(CreateDatabaseIfMissing(connstr_));
  std::vector<std::string> run;
  ASSERT_TRUE(UpdateDB(connstr_, [&](std::string_view sql) {
    if (sql.find("SELECT") != 0 && sql.find("INSERT INTO SchemaVersion") != 0 &&
        sql.find("CREATE INDEX IF NOT EXISTS") != 0) {
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
  // The version rows carry the day in the short date format of the moment.
  EXPECT_TRUE(Exec("INSERT INTO SchemaVersion (Version, VersionDate) VALUES (\"2.40\", \"" +
                   DateToStr(Now()) + "\")"));
}

TEST_F(Statements, SoapMethods) {
  SeedMemberships();
  auto q = Select("SELECT name FROM [languageid] WHERE default=true");
  EXPECT_EQ(q->FieldByName("name").AsString(), "ger");

  q = Select(
      "SELECT [conferenceMembers].conferenceID, [conferenceMembers].host, "
      "[conferences].name as conferenceName   FROM [conferenceMembers], [conferences]  "
      "WHERE [conferenceMembers].pin=\"01234\" AND "
      "[conferenceMembers].conferenceID=[conferences].ID");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->FieldByName("conferenceID").AsInteger(), conf1_);
  EXPECT_TRUE(q->FieldByName("host").AsBoolean());
  EXPECT_EQ(q->FieldByName("conferenceName").AsString(), "Jour fixe");
  EXPECT_TRUE(Select("SELECT [conferenceMembers].conferenceID, [conferenceMembers].host, "
                     "[conferences].name as conferenceName   FROM [conferenceMembers], "
                     "[conferences]  WHERE [conferenceMembers].pin=\"99999\" AND "
                     "[conferenceMembers].conferenceID=[conferences].ID")
                  ->Eof());

  q = Select("SELECT MAX(version) as latestVersion FROM SchemaVersion");
  EXPECT_EQ(q->FieldByName("latestVersion").AsString(), "2.30");
}

TEST_F(Statements, Rooms) {
  Seed();
  EXPECT_TRUE(Exec("UPDATE [rooms] SET name=\"Raum 1a\",  pin=\"4713\" WHERE directdial=\"100\""));
  EXPECT_FALSE(Exec("UPDATE [rooms] SET name=\"X\",  pin=\"1\" WHERE directdial=\"999\""));
  EXPECT_THAT(Column("Select * FROM [rooms]", "name"), ElementsAre("Raum 1a", "Raum 2"));

  auto q = Select("Select * FROM [conferences] WHERE room like \"100\"");
  ASSERT_EQ(q->RecordCount(), 2u);
  EXPECT_EQ(q->FieldByName("date").AsString(), "07.03.2026");
  EXPECT_EQ(q->FieldByName("starttime").AsString(), "07.03.2026 10:00:00.000");
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), conf1_);

  ASSERT_TRUE(Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(anna_) + ", " +
                   std::to_string(conf1_) +
                   ", true, false, \"ger\", \"01234\", \"100\", NULL, NULL, false, false, false, "
                   "false, true)"));
  q = Select("Select count(*) as numMembers FROM [conferenceMembers] WHERE conferenceID like \"" +
             std::to_string(conf1_) + "\"");
  EXPECT_EQ(q->FieldByName("numMembers").AsString(), "1");

  // DeleteRaum, for room 100.
  EXPECT_EQ(Select("Select * FROM [conferences] WHERE room=\"100\"")->RecordCount(), 2u);
  EXPECT_TRUE(Exec("Delete FROM [conferenceMembers] WHERE conferenceID=" + std::to_string(conf1_)));
  EXPECT_FALSE(
      Exec("Delete FROM [conferenceMemberLog] WHERE conferenceID=" + std::to_string(conf1_)));
  EXPECT_TRUE(Exec("Delete FROM [conferences] WHERE room=\"100\""));
  EXPECT_TRUE(Exec("Delete FROM [rooms] WHERE directdial=\"100\""));
  EXPECT_FALSE(Exec("Delete FROM [rooms] WHERE directdial=\"100\""));
  EXPECT_THAT(Column("Select * FROM [rooms]", "directdial"), ElementsAre("200"));
}

TEST_F(Statements, Conferences) {
  SeedMemberships();
  auto q = Select("Select * FROM [conferences] WHERE room like \"100\"");
  EXPECT_EQ(q->FieldByName("RecurrenceId").AsString(), "-1");
  EXPECT_EQ(q->FieldByName("enddate").AsString(), "");  // no end date sent
  EXPECT_EQ(q->FieldByName("PinHost").AsString(), "1234");
  q->Next();
  EXPECT_EQ(q->FieldByName("PinMember").AsString(), "");
  EXPECT_EQ(q->FieldByName("enddate").AsString(), "30.04.2026");

  // The times of an update go in as the client sent them.
  const std::string k = std::to_string(conf2_);
  EXPECT_TRUE(
      Exec("UPDATE [conferences] SET room=\"100\", name=\"Review 2\", "
           "starttime=\"2026-04-03T09:00:00\", endtime=\"03.04.2026 09:45\", "
           "[date]=\"2026-04-03\", RecurrenceID=\"-1\", PinMember=\"2347\", "
           "PinHost=\"1236\", PinListenOnly=\"3459\" WHERE ID=" +
           k));
  EXPECT_FALSE(
      Exec("UPDATE [conferences] SET room=\"100\", name=\"N\", starttime=NULL, "
           "endtime=NULL, [date]=NULL, RecurrenceID=\"-1\", PinMember=\"1\", "
           "PinHost=\"2\", PinListenOnly=\"3\" WHERE ID=999"));
  EXPECT_TRUE(
      Exec("UPDATE [conferenceMembers] SET [min]=\"2026-04-03T09:00:00\", "
           "[max]=\"03.04.2026 09:45\", email=false, sms=false WHERE conferenceID=" +
           k));
  q = Select("SELECT * FROM [conferences] WHERE ID=" + k);
  EXPECT_EQ(q->FieldByName("RecurrenceId").AsInteger(), -1);
  EXPECT_EQ(q->FieldByName("starttime").AsString(), "03.04.2026 09:00:00.000");
  EXPECT_EQ(q->FieldByName("endtime").AsString(), "03.04.2026 09:45:00.000");

  // The month window of GetKonferenzen, and the list without one.
  EXPECT_THAT(Column("Select * FROM [conferences] Where room like \"100\" AND "
                     "starttime>=#2026-04-01# AND starttime<#2026-05-01# ORDER BY starttime ASC",
                     "name"),
              ElementsAre("Review 2"));
  EXPECT_THAT(Column("Select * FROM [conferences] Where room like \"100\" AND "
                     "starttime>=#2009-12-01# AND starttime<#2010-01-01# ORDER BY starttime ASC",
                     "name"),
              ElementsAre());
  EXPECT_EQ(Select("Select * FROM [conferences] Where room like \"100\"")->RecordCount(), 2u);

  // DeleteKonferenz.
  const std::string k1 = std::to_string(conf1_);
  EXPECT_EQ(
      Select("SELECT memberID FROM [conferenceMembers] WHERE conferenceID=" + k1)->RecordCount(),
      3u);
  EXPECT_TRUE(Exec("Delete FROM [conferenceMembers] WHERE conferenceID=" + k1));
  EXPECT_TRUE(Exec("Delete FROM [conferences] WHERE ID=" + k1));
  EXPECT_FALSE(Exec("Delete FROM [conferences] WHERE ID=" + k1));
}

TEST_F(Statements, PinsAndSeries) {
  Seed();
  EXPECT_THAT(Column("Select PinHost FROM conferences", "PinHost"),
              ElementsAre("1234", "1234", "1235"));
  EXPECT_THAT(Column("Select PinMember FROM conferences", "PinMember"),
              ElementsAre("2345", "", "2346"));
  EXPECT_EQ(Select("Select PinListenOnly FROM conferences")->RecordCount(), 3u);

  const int series = Insert(
      "INSERT INTO conferenceRecurrences (room, name, startdate, enddate, starttime, endtime, "
      "IsRecurrenceElement, Daily, DailyInterval, DailyEveryWorkday, Weekly, WeeklyInterval, "
      "WeeklyMonday, WeeklyTuesday, WeeklyWednesday, WeeklyThursday, WeeklyFriday, "
      "WeeklySaturday, WeeklySunday,Monthly, MonthlyInterval, MonthlyEveryX, "
      "MonthlyWeekDay,PinHost, PinMember, PinListenOnly)VALUES (\"100\", \"Serie\", "
      "\"07.03.2026\", \"2026-03-31\", \"07.03.2026 10:00:00\", \"2026-03-07T11:00:00\", \"1\", "
      "\"1\", \"2\", \"0\", \"0\", NULL, \"0\", \"0\", \"0\", \"0\", \"0\", \"0\", \"0\", \"0\", "
      "\"1\", \"2\", \"1\", \"1234\", \"2345\", \"3456\")");
  auto q = Select("SELECT * FROM [conferenceRecurrences] WHERE RecurrenceId = " +
                  std::to_string(series));
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->FieldByName("Daily").AsString(), "1");
  EXPECT_EQ(q->FieldByName("DailyInterval").AsInteger(), 2);
  EXPECT_EQ(q->FieldByName("WeeklyInterval").AsString(), "");
  EXPECT_EQ(q->FieldByName("startdate").AsString(), "07.03.2026");
  EXPECT_EQ(q->FieldByName("enddate").AsString(), "31.03.2026");
  EXPECT_EQ(q->FieldByName("endtime").AsString(), "07.03.2026 11:00:00.000");
  EXPECT_EQ(q->FieldByName("PinHost").AsString(), "1234");
  EXPECT_EQ(Select("Select * FROM conferenceRecurrences")->RecordCount(), 1u);

  // Conferences of the series from a day on (the day unpadded), and all of them.
  const std::string s = std::to_string(series);
  Insert(
      "INSERT INTO [conferences] (room, name, [date], enddate, starttime, endtime, "
      "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES (\"100\", \"Serie\", "
      "\"2026-03-07\", NULL, \"2026-03-07 08:00:00\", \"2026-03-07 09:00:00\", \"" +
      s + "\", \"1234\", \"2345\", \"3456\")");
  Insert(
      "INSERT INTO [conferences] (room, name, [date], enddate, starttime, endtime, "
      "RecurrenceId, PinHost, PinMember, PinListenOnly) VALUES (\"100\", \"Serie\", "
      "\"2026-03-06\", NULL, \"2026-03-06 08:00:00\", \"2026-03-06 09:00:00\", \"" +
      s + "\", \"1234\", \"2345\", \"3456\")");
  EXPECT_EQ(
      Select("Select * FROM conferences WHERE RecurrenceId = " + s + " AND starttime>=#2026-3-7#")
          ->RecordCount(),
      1u);
  EXPECT_EQ(Select("Select * FROM conferences WHERE RecurrenceId = " + s)->RecordCount(), 2u);
  EXPECT_EQ(Select("SELECT * FROM conferences WHERE RecurrenceId = " + s)->RecordCount(), 2u);
  EXPECT_TRUE(Exec("DELETE * FROM conferenceRecurrences WHERE RecurrenceId = " + s));
  EXPECT_FALSE(Exec("DELETE * FROM conferenceRecurrences WHERE RecurrenceId = " + s));
}

TEST_F(Statements, Memberships) {
  Seed();
  const std::string k = std::to_string(conf1_);
  // A member just created has no ID text from the address book: the test finds nothing.
  EXPECT_TRUE(Select("SELECT * FROM [conferenceMembers] WHERE memberID LIKE \"\" AND "
                     "conferenceID LIKE \"" +
                     k + "\"")
                  ->Eof());
  EXPECT_TRUE(Select("SELECT * FROM [conferenceMembers] WHERE pin like \"01234\"")->Eof());
  ASSERT_TRUE(Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(anna_) + ", " + k +
                   ", true, false, \"ger\", \"01234\", \"100\", \"07.03.2026 09:45\", "
                   "\"07.03.2026 11:00\", false, false, false, false, true)"));
  EXPECT_EQ(Select("SELECT * FROM [conferenceMembers] WHERE pin like \"01234\"")->RecordCount(),
            1u);
  EXPECT_EQ(Select("SELECT * FROM [conferenceMembers] WHERE memberID LIKE \"" +
                   std::to_string(anna_) + "\" AND conferenceID LIKE \"" + k + "\"")
                ->RecordCount(),
            1u);

  // InviteKonfTeilnehmer copies memberships into conference 2.
  auto q = Select(
      "SELECT memberID, languagecode, membersvisible, listenOnly FROM "
      "[conferenceMembers] WHERE conferenceID=" +
      k);
  EXPECT_EQ(q->FieldByName("membersvisible").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("listenOnly").AsString(), "Falsch");
  EXPECT_EQ(Select("SELECT starttime, endtime FROM [conferences] WHERE ID=" + k)->RecordCount(),
            1u);
  EXPECT_TRUE(Select("SELECT starttime, endtime FROM [conferences] WHERE ID=999")->Eof());
  q = Select("SELECT room FROM [conferences] WHERE ID=" + std::to_string(conf3_));
  EXPECT_EQ(q->FieldByName("room").AsString(), "200");
  const std::string k2 = std::to_string(conf2_);
  ASSERT_TRUE(Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(anna_) + ", " + k2 +
                   ", false, false, \"ger\", \"55555\", \"200\", \"2026-04-02 09:00:00\", "
                   "\"2026-04-02 09:30:00\", false, false, 0, false, -1)"));
  q = Select("SELECT * FROM [conferenceMembers] WHERE conferenceID=" + k2);
  EXPECT_EQ(q->FieldByName("membersvisible").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("host").AsString(), "Falsch");
  EXPECT_EQ(q->FieldByName("pin").AsString(), "55555");
  EXPECT_EQ(q->FieldByName("min").AsString(), "02.04.2026 09:00:00.000");

  // DeleteKonfTeilnehmer.
  EXPECT_TRUE(Exec("Delete FROM [conferenceMembers] WHERE memberID=" + std::to_string(anna_) +
                   " AND conferenceID=" + k2));
  EXPECT_FALSE(Exec("Delete FROM [conferenceMembers] WHERE memberID=" + std::to_string(anna_) +
                    " AND conferenceID=" + k2));
}

TEST_F(Statements, ParticipantLists) {
  SeedMemberships();
  SeedAttendance();
  const std::string k = std::to_string(conf1_);
  auto q = Select(
      "SELECT conferenceMembers.*, members.*, conferenceMemberLog.from, conferenceMemberLog.to "
      "FROM conferenceMemberLog RIGHT JOIN ((conferenceMembers INNER JOIN conferences ON "
      "conferenceMembers.conferenceID = conferences.ID) INNER JOIN members ON "
      "conferenceMembers.memberID = members.ID) ON (conferenceMemberLog.conferenceID = "
      "conferenceMembers.conferenceID) AND (conferenceMemberLog.memberID = "
      "conferenceMembers.memberID) WHERE conferences.ID=" +
      k + " ORDER BY conferenceMembers.[memberID] ASC");
  ASSERT_EQ(q->RecordCount(), 4u);  // Anna twice, Bert once, Carl never joined
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), anna_);
  EXPECT_EQ(q->FieldByName("members.email").AsString(), "anna@example.org");
  EXPECT_EQ(q->FieldByName("members.sms").AsString(), "0171 1");
  EXPECT_EQ(q->FieldByName("conferenceMembers.email").AsString(), "Falsch");
  EXPECT_EQ(q->FieldByName("host").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("present").AsString(), "Falsch");
  std::vector<std::string> stays;
  for (; !q->Eof(); q->Next()) {
    stays.push_back(q->FieldByName("from").AsString() + " - " + q->FieldByName("to").AsString());
  }
  EXPECT_THAT(stays,
              ::testing::UnorderedElementsAre(
                  "07.03.2026 09:50:00.000 - 07.03.2026 10:20:00.000", "07.03.2026 10:25:00.000 - ",
                  "07.03.2026 10:30:00.000 - 07.03.2026 10:50:00.000", " - "));

  const std::string head =
      "conferenceMembers.*,  members.*,   conferenceMemberLog.from,   conferenceMemberLog.to "
      "FROM   conferenceMemberLog RIGHT JOIN ((conferenceMembers INNER JOIN conferences ON "
      "conferenceMembers.conferenceID = conferences.ID) INNER JOIN members ON "
      "conferenceMembers.memberID = members.ID) ON  (conferenceMemberLog.conferenceID = "
      "conferenceMembers.conferenceID) AND  (conferenceMemberLog.memberID = "
      "conferenceMembers.memberID) WHERE   conferences.ID=" +
      k;
  EXPECT_THAT(
      Column("SELECT TOP 15  " + head + "  AND conferenceMemberLog.FROM IS NULL", "firstname"),
      ElementsAre("Carl"));
  EXPECT_THAT(Column("SELECT TOP 14 " + head +
                         "  AND NOT conferenceMemberLog.from IS NULL  AND "
                         "conferenceMemberLog.to IS NULL",
                     "firstname"),
              ElementsAre("Anna"));
  EXPECT_THAT(Column("SELECT TOP 13 " + head +
                         "  AND NOT conferenceMemberLog.from IS NULL   AND NOT "
                         "conferenceMemberLog.to IS NULL ORDER BY   conferenceMemberLog.from DESC ",
                     "firstname"),
              ElementsAre("Bert", "Anna"));
  EXPECT_THAT(Column("SELECT TOP 1 " + head +
                         "  AND NOT conferenceMemberLog.from IS NULL   AND NOT "
                         "conferenceMemberLog.to IS NULL ORDER BY   conferenceMemberLog.from DESC ",
                     "firstname"),
              ElementsAre("Bert"));
  // Fifteen entries already: the pass asks for none and gets none.
  EXPECT_TRUE(Select("SELECT TOP 0 " + head +
                     "  AND NOT conferenceMemberLog.from IS NULL  AND "
                     "conferenceMemberLog.to IS NULL")
                  ->Eof());
}

TEST_F(Statements, AddressBook) {
  Seed();
  EXPECT_EQ(Select("SELECT * FROM [members]")->RecordCount(), 3u);
  const std::string b = std::to_string(bert_);
  EXPECT_TRUE(
      Exec("UPDATE [members] SET sex=\"Herr\", title=\"Prof.\", name=\"Maier\", "
           "firstname=\"Bert\", email=\"bert@example.org\", sms=\"0171 2\", "
           "company=\"B&B\", project=\"\", [language]=\"eng\" WHERE ID=" +
           b));
  auto q = Select("SELECT * FROM [members] WHERE ID=" + b);
  EXPECT_EQ(q->FieldByName("title").AsString(), "Prof.");
  EXPECT_EQ(q->FieldByName("language").AsString(), "eng");
  EXPECT_EQ(q->FieldByName("HideFromAddressbook").AsString(), "Falsch");
  EXPECT_FALSE(
      Exec("UPDATE [members] SET sex=\"\", title=\"\", name=\"\", firstname=\"\", "
           "email=\"\", sms=\"\", company=\"\", project=\"\", [language]=\"\" WHERE "
           "ID=999"));

  SeedAttendance();
  EXPECT_TRUE(Exec("Delete FROM [conferenceMemberLog] WHERE memberID=" + b));
  EXPECT_FALSE(Exec("Delete FROM [conferenceMembers] WHERE memberID=" + b));
  EXPECT_TRUE(Exec("Delete FROM [members] WHERE ID=" + b));
  EXPECT_EQ(Select("SELECT * FROM [members]")->RecordCount(), 2u);
}

TEST_F(Statements, MembershipUpdatesAndAttendance) {
  SeedMemberships();
  const std::string k = std::to_string(conf1_);
  const std::string b = std::to_string(bert_);
  EXPECT_TRUE(
      Exec("UPDATE [conferenceMembers] SET host=true, [min]=\"07.03.2026 09:30\", "
           "[max]=\"07.03.2026 11:30\", [listenOnly]=false, [membersvisible]=-1, "
           "[languagecode]=\"eng\" WHERE memberID=" +
           b + " AND conferenceID=" + k));
  EXPECT_FALSE(
      Exec("UPDATE [conferenceMembers] SET host=false, [min]=NULL, [max]=NULL, "
           "[listenOnly]=false, [membersvisible]=false, [languagecode]=\"\" WHERE "
           "memberID=999 AND conferenceID=" +
           k));
  EXPECT_TRUE(Exec("UPDATE [conferenceMembers] SET kick=true WHERE memberID=" + b +
                   " AND conferenceID=" + k));
  auto q =
      Select("SELECT * FROM [conferenceMembers] WHERE memberID=" + b + " AND conferenceID=" + k);
  EXPECT_EQ(q->FieldByName("host").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("kick").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("membersvisible").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("listenOnly").AsString(), "Falsch");
  EXPECT_EQ(q->FieldByName("min").AsString(), "07.03.2026 09:30:00.000");

  SeedAttendance();
  q = Select(
      "SELECT  [members].name,  [conferenceMemberLog].from,  [conferenceMemberLog].to  "
      "FROM [conferenceMemberLog], [members] WHERE "
      "[members].ID=[conferenceMemberLog].memberID AND conferenceID=" +
      k);
  ASSERT_EQ(q->RecordCount(), 3u);
  std::vector<std::string> rows;
  for (; !q->Eof(); q->Next()) {
    rows.push_back(q->FieldByName("Name").AsString() + "|" + q->FieldByName("from").AsString() +
                   "|" + q->FieldByName("to").AsString());
  }
  EXPECT_THAT(rows, ::testing::UnorderedElementsAre(
                        "Huber|07.03.2026 09:50:00.000|07.03.2026 10:20:00.000",
                        "Huber|07.03.2026 10:25:00.000|",
                        "Maier|07.03.2026 10:30:00.000|07.03.2026 10:50:00.000"));
}

TEST_F(Statements, Invitations) {
  SeedMemberships();
  const std::string k = std::to_string(conf1_);
  const std::string c = std::to_string(carl_);
  auto q = Select(
      "SELECT Count(*) as invitedParticipants FROM [conferenceMembers] WHERE "
      "[conferenceID] = " +
      k + " AND (email <> 0 or sms <> 0)");
  EXPECT_EQ(q->FieldByName("invitedParticipants").AsInteger(), 0);
  EXPECT_EQ(Select("SELECT memberID FROM [conferenceMembers] WHERE conferenceID=" + k +
                   " AND email=false")
                ->RecordCount(),
            3u);

  // SendMailHelper.
  q = Select(
      "SELECT name, firstname from [members], [conferenceMembers] where host=true AND "
      "memberID=ID AND conferenceID=" +
      k);
  ASSERT_FALSE(q->Eof());
  EXPECT_EQ(q->FieldByName("firstname").AsString() + " " + q->FieldByName("name").AsString(),
            "Anna Huber");
  const std::string membership =
      "SELECT [rooms].name, [conferences].name, [members].*, [conferenceMembers].languagecode, "
      "[conferenceMembers].membersvisible,[conferenceMembers].min, [conferenceMembers].max, "
      "[conferenceMembers].directdial, [conferenceMembers].pin FROM [rooms], [conferences], "
      "[conferenceMembers], [members] WHERE [rooms].directdial=[conferences].room AND "
      "[conferences].ID= [conferenceMembers].conferenceID AND "
      "[members].ID=[conferenceMembers].memberID";
  q = Select(membership + " AND [conferenceMembers].email=false AND [conferences].ID=" + k +
             " AND [members].ID=" + c);
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->FieldByName("rooms.name").AsString(), "Raum 1");
  EXPECT_EQ(q->FieldByName("conferences.name").AsString(), "Jour fixe");
  EXPECT_EQ(q->FieldByName("members.name").AsString(), "Klein");
  EXPECT_EQ(q->FieldByName("sex").AsString(), "Herr");
  EXPECT_EQ(q->FieldByName("email").AsString(), "carl@example.org");
  EXPECT_EQ(q->FieldByName("min").AsString(), "07.03.2026 10:00:00.000");
  EXPECT_EQ(q->FieldByName("max").AsString(), "07.03.2026 11:00:00.000");
  EXPECT_EQ(q->FieldByName("pin").AsString(), "01236");
  EXPECT_EQ(q->FieldByName("language").AsString(), "eng");
  EXPECT_TRUE(q->FieldByName("membersvisible").AsBoolean());
  EXPECT_TRUE(Select(membership + " AND [conferenceMembers].email=true AND [conferences].ID=" + k +
                     " AND [members].ID=" + c)
                  ->Eof());

  EXPECT_TRUE(Exec("UPDATE [members] SET [language]='ger' WHERE email='BERT@example.org'"));
  EXPECT_EQ(Select("SELECT name FROM [languageid] WHERE default=true")->RecordCount(), 1u);
  EXPECT_THAT(Column("SELECT name, firstname, [members].email, company, host from [members], "
                     "[conferenceMembers] where memberID=ID AND conferenceID=" +
                         k,
                     "host"),
              ElementsAre("Wahr", "Falsch", "Falsch"));
  EXPECT_TRUE(Exec("UPDATE [conferenceMembers] SET email=true WHERE memberID=" + c +
                   " AND conferenceID=" + k));
  EXPECT_EQ(Select(membership + " AND [conferenceMembers].email=true AND [conferences].ID=" + k +
                   " AND [members].ID=" + c)
                ->RecordCount(),
            1u);

  // The overlap counts of SendInviteMail.
  const std::string a = std::to_string(anna_);
  q = Select(
      "SELECT starttime, min, host FROM [conferences], [conferenceMembers] where "
      "conferenceID=ID AND ID=" +
      k + " AND memberID=" + a);
  EXPECT_EQ(q->FieldByName("host").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("min").AsString(), "07.03.2026 09:45:00.000");
  EXPECT_EQ(q->FieldByName("starttime").AsString(), "07.03.2026 10:00:00.000");
  const auto overlap = [&](const std::string& m, const std::string& flag) {
    const std::string end = "(SELECT endtime FROM [conferences] WHERE ID=" + k + ")";
    return "SELECT Count(*) AS Erg FROM conferenceMembers, conferences WHERE (((((conferences."
           "starttime)>=" +
           m + ") AND ((conferences.endtime)<=" + end + ")) or (((conferences.starttime)<=" + m +
           ") AND ((conferences.endtime)<=" + end + " AND (conferences.endtime)>=" + m +
           ")) or (((conferences.starttime)<=" + m + ") AND ((conferences.endtime)>=" + end +
           ")) or (((conferences.starttime)>=" + m + " AND (conferences.starttime)<=" + end +
           ") AND ((conferences.endtime)>=" + end + "))) AND ((conferenceMembers.email)=" + flag +
           ") AND ((conferences.ID)=[conferenceID])) ";
  };
  const std::string m = DayNumberToText(EncodeDate(2026, 3, 7) + EncodeTime(9, 45, 0, 0));
  EXPECT_EQ(Select(overlap(m, "true"))->FieldByName("Erg").AsString(), "1");  // Carl, mailed
  EXPECT_EQ(Select(overlap("(SELECT starttime FROM [conferences] WHERE ID=" + k + ")", "false"))
                ->FieldByName("Erg")
                .AsString(),
            "2");  // Anna and Bert, not mailed yet
}

TEST_F(Statements, MailRecipientsAndSmsReminder) {
  SeedMemberships();
  const std::string k = std::to_string(conf1_);
  EXPECT_THAT(Column("Select [memberID] FROM [conferenceMembers] where [conferenceID] = " + k +
                         " and [host] <> -1",
                     "memberID"),
              ElementsAre(std::to_string(bert_), std::to_string(carl_)));
  auto q = Select("Select [name], [firstname], [email] from [members] where [ID] = " +
                  std::to_string(carl_));
  EXPECT_EQ(q->FieldByName("email").AsString(), "carl@example.org");

  // Anna and Carl were mailed; the pass runs at 09:40 with a look-ahead of 60 minutes.
  ASSERT_TRUE(Exec("UPDATE [conferenceMembers] SET email=true WHERE memberID=" +
                   std::to_string(anna_) + " AND conferenceID=" + k));
  ASSERT_TRUE(Exec("UPDATE [conferenceMembers] SET email=true WHERE memberID=" +
                   std::to_string(carl_) + " AND conferenceID=" + k));
  const TDateTime from = EncodeDate(2026, 3, 7) + EncodeTime(9, 40, 0, 0);
  const std::string due =
      "SELECT [conferences].name, [members].sex, [members].title, [members].name, "
      "[members].firstname, [members].email, [members].sms, [conferenceMembers].min, "
      "[conferenceMembers].directdial, [conferenceMembers].languagecode, [conferenceMembers].pin, "
      "[conferenceMembers].memberID, [conferenceMembers].conferenceID FROM [conferences], "
      "[conferenceMembers], [members] WHERE [conferences].ID= [conferenceMembers].conferenceID "
      "AND [members].ID=[conferenceMembers].memberID AND [conferenceMembers].sms=false AND "
      "[conferenceMembers].email=true AND ((min>=" +
      DayNumberToText(from) + " and min<" + DayNumberToText(from + 60.0 / 60 / 24) + ") or (min<" +
      DayNumberToText(from) + " and max>" + DayNumberToText(from) + "))";
  q = Select(due);
  ASSERT_EQ(q->RecordCount(), 2u);
  EXPECT_EQ(q->FieldByName("conferences.name").AsString(), "Jour fixe");
  EXPECT_EQ(q->FieldByName("members.sms").AsString(), "0171 1");
  EXPECT_EQ(q->FieldByName("min").AsString(), "07.03.2026 09:45:00.000");
  EXPECT_EQ(q->FieldByName("conferenceID").AsInteger(), conf1_);
  EXPECT_EQ(Select("SELECT name, firstname from [members], [conferenceMembers] where host=true "
                   "AND memberID=ID AND conferenceID=" +
                   k)
                ->RecordCount(),
            1u);
  EXPECT_TRUE(Exec("UPDATE [conferenceMembers] SET sms=true WHERE memberID=" +
                   std::to_string(anna_) + " AND conferenceID=" + k));
  EXPECT_EQ(Select(due)->RecordCount(), 1u);
}

}  // namespace
}  // namespace parlevo
