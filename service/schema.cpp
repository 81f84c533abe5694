#include "service/schema.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

#include "logging/lg_auto.h"
#include "platform/ascii_text.h"
#include "platform/datetime.h"
#include "service/database.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

// The tables of version 1 as the service was delivered with them. conferenceMembers is written
// by inserts without a column list, so its column order is fixed; the four flags sit at the
// positions 4 (email), 10 (sms), 11 (present) and 13 (kick).
constexpr const char* kDeliveredTables[] = {
    "CREATE TABLE rooms (name TEXT(255), directdial TEXT(255), pin TEXT(255))",
    "CREATE TABLE conferences (ID COUNTER PRIMARY KEY NOT NULL, room TEXT(255), name TEXT(255), "
    "[date] DATE, starttime DATETIME, endtime DATETIME)",
    "CREATE TABLE members (ID COUNTER PRIMARY KEY NOT NULL, sex TEXT(255), title TEXT(255), "
    "name TEXT(255), firstname TEXT(255), email TEXT(255), sms TEXT(255), company TEXT(255), "
    "project TEXT(255))",
    "CREATE TABLE conferenceMembers (memberID LONG INTEGER, conferenceID LONG INTEGER, host BIT, "
    "email BIT, languagecode TEXT(20), pin TEXT(20), directdial TEXT(255), [min] DATETIME, "
    "[max] DATETIME, sms BIT, present BIT, listenOnly BIT, kick BIT, membersvisible BIT)",
    "CREATE TABLE conferenceMemberLog (conferenceID LONG INTEGER, memberID LONG INTEGER, "
    "[from] DATETIME, [to] DATETIME)",
    "CREATE TABLE languageid (name TEXT(20), [default] BIT)",
    // A caller dialling in is routed by his PIN alone, and the participant lists walk one
    // conference's memberships and stays: without these, each is a scan of the whole table.
    "CREATE INDEX conferenceMembers_pin ON conferenceMembers (pin)",
    "CREATE INDEX conferenceMembers_conference ON conferenceMembers (conferenceID)",
    "CREATE INDEX conferenceMemberLog_membership ON conferenceMemberLog (conferenceID, memberID)",
};
// The room list picks each room's next conference among those not yet ended: without an index,
// it reads every conference of every room, years of history included; the conference list of one
// room likewise. The room list's index holds only rows with an end, so the engine takes it only
// for a statement that bounds the end, as the room list's does. The conference list takes the
// index of the room alone, whose entries of one room (equal without regard to case) stand in
// stored order: without a month the list still comes by ascending ID, as its callers know it.
// The first form of the room index served both and gave that list in end order.
constexpr const char* kStartIndexes[] = {
    "DROP INDEX IF EXISTS conferences_room",
    "CREATE INDEX IF NOT EXISTS conferences_room_end ON conferences (room, endtime) "
    "WHERE endtime IS NOT NULL",
    "CREATE INDEX IF NOT EXISTS conferences_of_room ON conferences (room)",
};
constexpr const char* kDeliveredRows[] = {
    "INSERT INTO languageid (name, [default]) VALUES (\"ger\", true)",
};

// What must hold for a statement of a step to run. A step is run again when its version row is
// missing, also after its statements were applied by other means: a guard keeps such a run from
// adding a column twice, moving data out of a column that is gone or dropping what is not there.
struct Guard {
  enum Kind { Always, TableMissing, ColumnsMissing, ColumnsPresent };
  Kind kind = Always;
  const char* table = nullptr;
  // For ColumnsMissing: each column with its type, so that only the missing ones are added when
  // some are there already. For ColumnsPresent: the columns the statement reads or drops.
  std::vector<std::pair<const char*, const char*>> columns;
};

struct StepStatement {
  const char* description;
  const char* sql;
  Guard guard;
  // An engine error of a statement that moves data leaves the step undone: running the rest
  // would drop the columns the data was to be moved from.
  bool moves_data = false;
  // Logged with the error message when the statement reports failure.
  bool log_failure = false;
  const char* failure_note = nullptr;
};

struct Step {
  std::string_view version;
  const char* routine;
  std::vector<StepStatement> statements;
};

const std::vector<Step>& Steps() {
  static const std::vector<Step> steps = {
      {"2.00",
       "TZyntParlevo::UpdateDBVersion200",
       {
           {"Create table conferenceRecurrences",
            "CREATE TABLE conferenceRecurrences (RecurrenceId COUNTER PRIMARY KEY NOT NULL, room "
            "TEXT, name TEXT, startdate DATE, starttime DATE, endtime DATE, IsRecurrenceElement "
            "INT, Daily INT, DailyInterval INT, DailyEveryWorkDay INT, Weekly INT, WeeklyInterval "
            "INT, WeeklyMonday INT, WeeklyTuesday INT, WeeklyWednesday INT, WeeklyThursday INT, "
            "WeeklyFriday INT, WeeklySaturday INT, WeeklySunday INT, Monthly INT, MonthlyInterval "
            "INT, MonthlyDay INT, MonthlyDayInterval INT, PinHost INT, PinMember INT, "
            "PinListenOnly INT)",
            {Guard::TableMissing, "conferenceRecurrences", {}}},
           {"Add RecurrenceId and the PINs to conferences",
            "ALTER TABLE conferences ADD COLUMN RecurrenceId INT, COLUMN PinHost INT, COLUMN "
            "PinMember INT, COLUMN PinListenOnly INT",
            {Guard::ColumnsMissing,
             "conferences",
             {{"RecurrenceId", "INT"},
              {"PinHost", "INT"},
              {"PinMember", "INT"},
              {"PinListenOnly", "INT"}}}},
           {"Add HideFromAddressbook to members",
            "ALTER TABLE members ADD COLUMN HideFromAddressbook BIT",
            {Guard::ColumnsMissing, "members", {{"HideFromAddressbook", "BIT"}}}},
       }},
      {"2.10",
       "TZyntParlevo::UpdateDBVersion210",
       {
           {"Add enddate to conferenceRecurrences",
            "ALTER TABLE conferenceRecurrences ADD COLUMN `enddate` DATETIME",
            {Guard::ColumnsMissing, "conferenceRecurrences", {{"enddate", "DATETIME"}}}},
           {"Add enddate to conferences",
            "ALTER TABLE conferences ADD COLUMN enddate DATETIME",
            {Guard::ColumnsMissing, "conferences", {{"enddate", "DATETIME"}}}},
       }},
      {"2.21",
       "TZyntParlevo::UpdateDBVersion221",
       {
           {"Add MonthlyEveryX to conferenceRecurrences",
            "ALTER TABLE conferenceRecurrences ADD COLUMN MonthlyEveryX LONG INTEGER",
            {Guard::ColumnsMissing, "conferenceRecurrences", {{"MonthlyEveryX", "LONG INTEGER"}}}},
           {"Add MonthlyWeekDay to conferenceRecurrences",
            "ALTER TABLE conferenceRecurrences ADD COLUMN MonthlyWeekDay LONG INTEGER",
            {Guard::ColumnsMissing, "conferenceRecurrences", {{"MonthlyWeekDay", "LONG INTEGER"}}}},
           {"Copy MonthlyDay to MonthlyEveryX",
            "UPDATE conferenceRecurrences SET MonthlyEveryX = MonthlyDay WHERE 1=1",
            {Guard::ColumnsPresent, "conferenceRecurrences", {{"MonthlyDay", ""}}},
            true},
           {"Copy MonthlyDayInterval to MonthlyWeekDay",
            "UPDATE conferenceRecurrences SET MonthlyWeekDay = MonthlyDayInterval WHERE 1=1",
            {Guard::ColumnsPresent, "conferenceRecurrences", {{"MonthlyDayInterval", ""}}},
            true},
           {"Drop MonthlyDay",
            "ALTER TABLE conferenceRecurrences DROP COLUMN MonthlyDay",
            {Guard::ColumnsPresent, "conferenceRecurrences", {{"MonthlyDay", ""}}}},
           {"Drop MonthlyDayInterval",
            "ALTER TABLE conferenceRecurrences DROP COLUMN MonthlyDayInterval",
            {Guard::ColumnsPresent, "conferenceRecurrences", {{"MonthlyDayInterval", ""}}}},
       }},
      {"2.22",
       "TZyntParlevo::UpdateDBVersion222",
       {
           {"Widen SchemaVersion.Version",
            "ALTER TABLE SchemaVersion ALTER COLUMN Version TEXT(20)",
            {}},
       }},
      {"2.30",
       "TZyntParlevo::UpdateDBVersion230",
       {
           {"Add language to members",
            "ALTER TABLE [members] ADD COLUMN [language] TEXT(20)",
            {Guard::ColumnsMissing, "members", {{"language", "TEXT(20)"}}},
            false,
            true,
            "Empty Error Message probably means that [language] already existed"},
           {"Set empty member languages to ger",
            "UPDATE members SET [language] = IIF(IsNull([language]),\"ger\",[language])",
            {},
            true,
            true},
       }},
  };
  return steps;
}

std::string VersionQuery(std::string_view version) {
  return "SELECT Version FROM SchemaVersion WHERE Version = \"" + std::string(version) + "\"";
}

// Whether the query's result stands on the row of the version.
bool HoldsVersion(const TADOQuery& query, std::string_view version) {
  const std::string found =
      query.Eof() ? "" : std::string(TrimAscii(query.FieldByName("Version").AsString(), " \t\r\n"));
  return found == version;
}

// One step's statements on its connection; the observer sees each statement before it runs.
struct StepRun {
  TADOQuery& query;
  const StatementObserver& observe;

  bool Run(const std::string& sql, bool is_select, std::string& error) const {
    if (observe) observe(sql);
    return RunOnQuery(query, sql, is_select, error);
  }
};

// Whether the file holds the table; false when the catalogue cannot be read, so that the guarded
// statement runs and reports what is wrong.
bool HasTable(TADOQuery& query, std::string_view table) {
  try {
    for (const std::string& name : query.Connection().GetTableNames()) {
      if (EqualsIgnoreCaseAscii(name, table)) return true;
    }
  } catch (const std::exception& e) {
    MainSession().LogException(e, "TZyntParlevo::HasTable");
  }
  return false;
}

// The statements a guard lets run: none, the statement itself, or for columns of which only
// some are missing an addition of each missing one.
std::vector<std::string> GuardedStatements(const StepRun& run, const StepStatement& s) {
  const Guard& g = s.guard;
  if (g.kind == Guard::Always) return {s.sql};
  // A missing table is an expected answer here (every new database lacks conferenceRecurrences),
  // so the catalogue is asked: a select of the table would log the engine's refusal as an error.
  // The select below reads the columns of a table that is there.
  std::string probe_error;
  const bool table_there =
      HasTable(run.query, g.table) &&
      run.Run(std::string("SELECT * FROM [") + g.table + "] WHERE 1=0", true, probe_error);
  if (g.kind == Guard::TableMissing) {
    if (!table_there) return {s.sql};
    return {};
  }
  if (!table_there) return {s.sql};  // let the statement itself report what is wrong
  std::vector<std::string> missing_adds;
  size_t present = 0;
  for (const auto& [column, type] : g.columns) {
    if (run.query.FindField(column)) {
      ++present;
    } else {
      missing_adds.push_back(std::string("ALTER TABLE [") + g.table + "] ADD COLUMN [" + column +
                             "] " + type);
    }
  }
  if (g.kind == Guard::ColumnsPresent) {
    if (present == g.columns.size()) return {s.sql};
    return {};
  }
  if (present == 0) return {s.sql};
  return missing_adds;
}

// False when a failure leaves the step unfinished; the caller then drops the transaction.
bool RunStepStatements(const StepRun& run, const Step& step) {
  auto& log = MainSession();
  int number = 1;
  for (const StepStatement& s : step.statements) {
    log.LogMessage(std::to_string(number++) + ". " + s.description);
    const std::vector<std::string> statements = GuardedStatements(run, s);
    if (statements.empty()) {
      log.LogMessage("Already done, nothing to change");
      continue;
    }
    bool ok = true;
    std::string error;
    for (const std::string& sql : statements) {
      error.clear();
      ok = run.Run(sql, false, error);
      if (!ok && !error.empty()) break;
    }
    if (!ok && s.log_failure) {
      log.LogError(error);
      if (s.failure_note) log.LogError(s.failure_note);
    }
    if (!ok && !error.empty() && (s.moves_data || !run.query.Connection().InTransaction())) {
      log.LogError("Version " + std::string(step.version) +
                   " not applied, the database is left as it was: " + error);
      return false;
    }
  }
  return true;
}

// Writes the version row and commits; the query is released in every case, which rolls back
// whatever was not committed.
bool RecordVersion(std::unique_ptr<TADOQuery>& query, const StepRun& run, const Step& step,
                   const SchemaClock& clock) {
  auto& log = MainSession();
  log.LogMessage(std::to_string(step.statements.size() + 1) + ". Record version " +
                 std::string(step.version));
  std::string error;
  const std::string row = "INSERT INTO SchemaVersion (Version, VersionDate) VALUES (\"" +
                          std::string(step.version) + "\", \"" +
                          DateToStr(clock ? clock() : Now()) + "\")";
  if (!run.Run(row, false, error) || !query->Connection().InTransaction()) {
    log.LogError("Version " + std::string(step.version) + " not applied: " + error);
    FreeADOQuery(query);
    return false;
  }
  try {
    query->Connection().CommitTrans();
  } catch (const std::exception& e) {
    log.LogError(e.what());
    FreeADOQuery(query);
    return false;
  }
  FreeADOQuery(query);
  return true;
}

bool RunStep(const std::string& connect_str, const Step& step, const StatementObserver& observe,
             const SchemaClock& clock = {}) {
  TLgMethodScope scope(MainSession(), step.routine);
  auto& log = MainSession();
  SetCurrentConnectionString(connect_str);
  auto query = std::make_unique<TADOQuery>();
  try {
    query->Connection().Open(connect_str);
    query->Connection().BeginTrans();
  } catch (const std::exception& e) {
    log.LogError(e.what());
    return false;
  }
  const StepRun run{*query, observe};
  // Another instance of the service may have applied the step since it was found missing.
  std::string error;
  if (run.Run(VersionQuery(step.version), true, error) && HoldsVersion(*query, step.version)) {
    log.LogMessage("Version " + std::string(step.version) + " was applied meanwhile");
    query->Connection().RollbackTrans();
    return true;
  }
  if (!RunStepStatements(run, step)) {
    FreeADOQuery(query);  // rolls the transaction back
    return false;
  }
  return RecordVersion(query, run, step, clock);
}

const Step& StepOf(std::string_view version) {
  for (const Step& s : Steps()) {
    if (s.version == version) return s;
  }
  return Steps().front();
}

}  // namespace

bool CreateDatabaseIfMissing(const std::string& connect_str) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::CreateDatabaseIfMissing");
  auto& log = MainSession();
  try {
    const std::string path = db::DataSourceOf(connect_str);
    if (!std::filesystem::exists(path)) {
      log.LogWarning("Database file " + path + " does not exist: create it");
      const auto folder = std::filesystem::path(path).parent_path();
      if (!folder.empty()) std::filesystem::create_directories(folder);
      db::CreateDatabaseFile(path);
    }
    TADOQuery query;
    query.Connection().Open(connect_str);
    if (!query.Connection().GetTableNames().empty()) return true;
    log.LogMessage("Create the tables of version 1");
    query.Connection().BeginTrans();
    std::string error;
    for (const char* sql : kDeliveredTables) {
      if (!RunOnQuery(query, sql, false, error) && !error.empty()) throw db::DbError(error);
    }
    for (const char* sql : kDeliveredRows) {
      if (!RunOnQuery(query, sql, false, error)) throw db::DbError(error);
    }
    query.Connection().CommitTrans();
    return true;
  } catch (const std::exception& e) {
    log.LogError(std::string("Database file not created: ") + e.what());
    return false;
  }
}

bool IsDBVersion(const std::string& connect_str, std::string_view version,
                 const StatementObserver& observe) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::IsDBVersion");
  SetCurrentConnectionString(connect_str);
  std::unique_ptr<TADOQuery> query;
  std::string error;
  const std::string sql = VersionQuery(version);
  if (observe) observe(sql);
  bool result = false;
  if (ConnectToADODB(query, connect_str, sql, true, error)) {
    try {
      result = HoldsVersion(*query, version);
    } catch (const std::exception& e) {
      MainSession().LogException(e, "TZyntParlevo::IsDBVersion");
    }
  }
  FreeADOQuery(query);
  MainSession().LogBoolean(TLgLevel::Debug, "Result", result);
  return result;
}

bool CreateSchemaVersion(const std::string& connect_str, const StatementObserver& observe) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::CreateSchemaVersion");
  SetCurrentConnectionString(connect_str);
  std::unique_ptr<TADOQuery> query;
  std::string error;
  const std::string sql = "CREATE TABLE SchemaVersion (Version TEXT, VersionDate DATE)";
  if (observe) observe(sql);
  const bool result = ConnectToADODB(query, connect_str, sql, false, error);
  if (!result) MainSession().LogError(error);
  FreeADOQuery(query);
  return result;
}

bool UpdateDBVersion200(const std::string& connect_str, const StatementObserver& observe) {
  return RunStep(connect_str, StepOf("2.00"), observe);
}
bool UpdateDBVersion210(const std::string& connect_str, const StatementObserver& observe) {
  return RunStep(connect_str, StepOf("2.10"), observe);
}
bool UpdateDBVersion221(const std::string& connect_str, const StatementObserver& observe) {
  return RunStep(connect_str, StepOf("2.21"), observe);
}
bool UpdateDBVersion222(const std::string& connect_str, const StatementObserver& observe) {
  return RunStep(connect_str, StepOf("2.22"), observe);
}
bool UpdateDBVersion230(const std::string& connect_str, const StatementObserver& observe) {
  return RunStep(connect_str, StepOf("2.30"), observe);
}

bool UpdateDB(const std::string& connect_str, const StatementObserver& observe,
              const SchemaClock& clock) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::UpdateDB");
  auto& log = MainSession();
  SetCurrentConnectionString(connect_str);
  CreateDatabaseIfMissing(connect_str);
  if (observe) observe("SELECT * FROM SchemaVersion WHERE 1=0");
  if (!TableExistsADO(connect_str, "SchemaVersion")) {
    log.LogError("Table \"SchemaVersion\" does not exist");
    CreateSchemaVersion(connect_str, observe);
  } else {
    log.LogMessage("Table \"SchemaVersion\" exists");
  }
  // Not a step of the chain: files of every version get it, and no version row depends on it.
  for (const char* sql : kStartIndexes) {
    if (observe) observe(sql);
    std::unique_ptr<TADOQuery> query;
    std::string error;
    if (!ConnectToADODB(query, connect_str, sql, false, error) && !error.empty()) {
      log.LogError(std::string("Index not made: ") + error);
    }
    FreeADOQuery(query);
  }
  for (const Step& step : Steps()) {
    if (IsDBVersion(connect_str, step.version, observe)) continue;
    log.LogError("DB is not in v" + std::string(step.version));
    if (!RunStep(connect_str, step, observe, clock)) return false;
  }
  return true;
}

}  // namespace parlevo
