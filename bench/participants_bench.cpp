// Participants under load: the member-PIN lookup that routes a caller into his conference (the
// statement of GetConferenceIDFromMemberPIN) on 10,000 conferences with 100,000 memberships,
// without and with an index on conferenceMembers.pin, and the full participant list of a
// conference with 200 members.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include <pugixml.hpp>

#include "participants/teilnehmer_lists.h"
#include "platform/db.h"
#include "platform/random.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "webservice/action_request.h"
#include "webservice/helpers_conf_ex.h"

namespace parlevo {
namespace {

constexpr int kConferences = 10000;
constexpr int kMemberships = 100000;
constexpr int kListMembers = 200;

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

void RawExec(sqlite3* handle, const std::string& sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &message);
  const std::string text = message ? message : "";
  sqlite3_free(message);
  Check(rc == SQLITE_OK, sql + ": " + text);
}

// One install folder with its configuration file and a filled database, made once.
class Installation {
 public:
  Installation() {
    char tmpl[] = "/tmp/parlevo-bench-participants-XXXXXX";
    Check(mkdtemp(tmpl) != nullptr, "mkdtemp");
    dir_ = tmpl;
    SetRegistryFilePath(dir_ + "/registry.reg");
    {
      TRegistry registry;
      Check(registry.OpenKey(kParlevoRegistryKey, true), "registry");
      registry.WriteString("InstallPath", dir_ + "/");
      registry.WriteString("Language", "ger");
    }
    SetExeFolder(dir_ + "/");
    std::filesystem::create_directories(dir_ + "/Templates/ger/language");
    std::ofstream(dir_ + "/Templates/ger/language/language.xml")
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?><language><translation><ger>Deutsch</ger>"
           "<eng>Englisch</eng></translation></language>";
    connstr_ = GetConnectionString(dir_ + "/");
    Check(CreateDatabaseIfMissing(connstr_), "create database");
    Check(UpdateDB(connstr_), "upgrade database");
    Fill();
  }
  ~Installation() {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

  const std::string& ConnectionString() const { return connstr_; }
  int ListConference() const { return kConferences; }

  // Indexes the baseline tables could carry: the PIN of a membership, and the conference of a
  // membership and of a stay.
  void SetPinIndex(bool on) {
    Raw(on ? "CREATE INDEX IF NOT EXISTS conferenceMembers_pin ON conferenceMembers (pin)"
           : "DROP INDEX IF EXISTS conferenceMembers_pin");
  }
  void SetConferenceIndexes(bool on) {
    Raw(on ? "CREATE INDEX IF NOT EXISTS conferenceMembers_conference ON conferenceMembers "
             "(conferenceID); CREATE INDEX IF NOT EXISTS conferenceMemberLog_membership ON "
             "conferenceMemberLog (conferenceID, memberID)"
           : "DROP INDEX IF EXISTS conferenceMembers_conference; DROP INDEX IF EXISTS "
             "conferenceMemberLog_membership");
  }

 private:
  // Conferences 1..10,000 with ten members each, PINs 00000, 00001, ... in order; the last
  // conference gets 200 members of its own with attendance rows, as the conference side writes.
  void Raw(const std::string& sql) {
    sqlite3* handle = nullptr;
    Check(sqlite3_open(DatabasePath(dir_ + "/").c_str(), &handle) == SQLITE_OK, "open");
    RawExec(handle, sql);
    sqlite3_close(handle);
    db::CloseIdleConnections();
  }

  void Fill() {
    sqlite3* handle = nullptr;
    Check(sqlite3_open(DatabasePath(dir_ + "/").c_str(), &handle) == SQLITE_OK, "open");
    RawExec(handle,
            "BEGIN;"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(kConferences) +
                ") INSERT INTO conferences (room, name, date, starttime, endtime) SELECT '100', "
                "'Konferenz ' || i, 46088, 46088.41666, 46088.45833 FROM n;"
                "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(kMemberships - kListMembers - 1) +
                ") INSERT INTO members (sex, title, name, firstname, email, sms, company, "
                "project, language) SELECT 'Herr', '', 'Name ' || i, 'Vorname', 'm' || i || "
                "'@example.org', '', 'Firma', '', 'ger' FROM n;"
                "INSERT INTO conferenceMembers SELECT ID, 1 + (ID - 1) % " +
                std::to_string(kConferences - 1) +
                ", 0, 0, 'ger', printf('%05d', ID - 1), '100', 46088.41666, 46088.45833, 0, 0, "
                "0, 0, -1 FROM members;"
                "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(kListMembers - 1) +
                ") INSERT INTO members (sex, title, name, firstname, email, sms, company, "
                "project, language) SELECT 'Frau', 'Dr.', 'Liste ' || i, 'Vorname', 'l' || i || "
                "'@example.org', '0171', 'Firma', 'Projekt', 'ger' FROM n;"
                "INSERT INTO conferenceMembers SELECT ID, " +
                std::to_string(kConferences) +
                ", 0, -1, CASE WHEN ID % 2 = 0 THEN 'ger' ELSE 'eng' END, printf('%05d', ID - "
                "1), '100', 46088.41666, 46088.45833, 0, 0, 0, 0, -1 FROM members WHERE name "
                "LIKE 'Liste %';"
                "INSERT INTO conferenceMemberLog (conferenceID, memberID, [from], [to]) SELECT "
                "conferenceID, memberID, 46088.42, CASE WHEN memberID % 3 = 0 THEN NULL ELSE "
                "46088.43 END FROM conferenceMembers WHERE conferenceID = " +
                std::to_string(kConferences) +
                " AND memberID % 2 = 0;"
                "COMMIT;");
    sqlite3_close(handle);
  }

  std::string dir_;
  std::string connstr_;
};

Installation& TheInstallation() {
  static Installation installation;
  return installation;
}

// The lookup statement of GetConferenceIDFromMemberPIN, one fresh connection per call as the
// service runs it. Argument: 1 with the index on the PIN, 0 without.
void BM_MemberPinLookup(benchmark::State& state) {
  Installation& inst = TheInstallation();
  inst.SetPinIndex(state.range(0) != 0);
  int64_t found = 0;
  for (auto _ : state) {
    char pin[8];
    snprintf(pin, sizeof pin, "%05d", static_cast<int>(RandomInt(0, kMemberships - 1)));
    const std::string sql =
        "SELECT [conferenceMembers].conferenceID, [conferenceMembers].host, [conferences].name "
        "as conferenceName   FROM [conferenceMembers], [conferences]  WHERE "
        "[conferenceMembers].pin=\"" +
        std::string(pin) + "\" AND [conferenceMembers].conferenceID=[conferences].ID";
    std::unique_ptr<TADOQuery> query;
    std::string error;
    if (!ConnectToADODB(query, inst.ConnectionString(), sql, true, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    if (!query->Eof()) {
      found += query->FieldByName("conferenceID").AsInteger();
      benchmark::DoNotOptimize(query->FieldByName("host").AsBoolean());
      benchmark::DoNotOptimize(query->FieldByName("conferenceName").AsString());
    }
    FreeADOQuery(query);
  }
  benchmark::DoNotOptimize(found);
}
BENCHMARK(BM_MemberPinLookup)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// GetKonfTeilnehmer of the conference with 200 members and 100 attendance rows. Argument: 1 with
// the conference indexes, 0 without.
void BM_GetKonfTeilnehmer200(benchmark::State& state) {
  Installation& inst = TheInstallation();
  inst.SetConferenceIndexes(state.range(0) != 0);
  const std::string request_text = "<request><action>GetKonfTeilnehmer</action><KonferenzID>" +
                                   std::to_string(inst.ListConference()) +
                                   "</KonferenzID></request>";
  size_t entries = 0;
  for (auto _ : state) {
    pugi::xml_document response;
    const std::string result = RunActionRequest(GetKonfTeilnehmer, request_text, &response);
    entries = 0;
    for ([[maybe_unused]] pugi::xml_node e : response.document_element().children("Liste")) {
      ++entries;
    }
    benchmark::DoNotOptimize(result);
  }
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_GetKonfTeilnehmer200)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace parlevo

BENCHMARK_MAIN();
