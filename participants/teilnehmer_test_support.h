// Test support of the participant actions: a fresh install folder with its configuration file, a
// database made by the schema code, language files, rows written as the conference side writes
// them, and a handler run on a request text as the dispatcher runs it. Used by tests only.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "platform/db.h"
#include "platform/registry.h"
#include "service/action_statement.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "webservice/action_request.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo::testing_support {

using TRow = std::map<std::string, std::string>;
using THandler = void (*)(pugi::xml_document&, pugi::xml_document&, std::string&);

class MemberDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/parlevo-teilnehmer-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    SetRegistryFilePath(dir_ + "/registry.reg");
    {
      TRegistry registry;
      ASSERT_TRUE(registry.OpenKey(kParlevoRegistryKey, true));
      registry.WriteString("InstallPath", dir_ + "/");
      registry.WriteString("Language", "ger");
    }
    SetExeFolder(dir_ + "/");
    connstr_ = GetConnectionString(dir_ + "/");
    ASSERT_TRUE(CreateDatabaseIfMissing(connstr_));
    ASSERT_TRUE(UpdateDB(connstr_));
  }

  void TearDown() override {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

  // Runs a statement that must succeed (a non-select must change a row).
  void Exec(const std::string& sql) {
    TActionStatement statement(connstr_);
    const TStatementStatus status = statement.Run(sql, false);
    ASSERT_TRUE(status) << sql << ": " << status.message();
  }

  // Runs SQLite's own text on the file, past the statement translation (triggers, indexes).
  void RawExec(const std::string& sql) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath(dir_ + "/").c_str(), &handle), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(handle);
    ASSERT_EQ(rc, SQLITE_OK) << sql << ": " << text;
    db::CloseIdleConnections();
  }

  // Rebuilds an empty conferenceMembers whose flags may hold NULL, as a file written by other
  // programs may have them.
  void MakeMembershipFlagsNullable() {
    RawExec(
        "DROP TABLE conferenceMembers; CREATE TABLE conferenceMembers (memberID LONG INTEGER, "
        "conferenceID LONG INTEGER, host BIT, email BIT, languagecode TEXT(20) COLLATE NOCASE, "
        "pin TEXT(20) COLLATE NOCASE, directdial TEXT(255) COLLATE NOCASE, [min] DATETIME, "
        "[max] DATETIME, sms BIT, present BIT, listenOnly BIT, kick BIT, membersvisible BIT)");
  }

  // The rows of a select, every column read as text.
  std::vector<TRow> Rows(const std::string& sql) {
    TActionStatement statement(connstr_);
    std::vector<TRow> rows;
    const TStatementStatus status = statement.Run(sql, true);
    EXPECT_TRUE(status) << sql << ": " << status.message();
    if (!status) return rows;
    for (TADOQuery& query = statement.Rows(); !query.Eof(); query.Next()) {
      TRow row;
      for (size_t i = 0; i < query.FieldCount(); ++i) {
        row[query.Fields(i).FieldName()] = query.Fields(i).AsString();
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  size_t Count(const std::string& table) {
    return std::stoul(Rows("SELECT COUNT(*) AS n FROM [" + table + "]").at(0).at("n"));
  }

  // Runs a handler as the dispatcher does: request tag names lowered, a fresh "RESPONSE"
  // document, the answer starting as "error".
  std::string Run(THandler handler, const std::string& request_text) {
    return RunActionRequest(handler, request_text);
  }

  void WriteLanguageFile(const std::string& code, const std::string& xml) {
    const std::filesystem::path folder =
        std::filesystem::path(dir_) / "Templates" / code / "language";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "language.xml") << xml;
  }

  // A member and a conference with its room, keys returned.
  int AddMember(const std::string& name, const std::string& firstname, const std::string& email) {
    Exec(
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES (\"Herr\", \"\", \"" +
        name + "\", \"" + firstname + "\", \"" + email + "\", \"\", \"\", \"\", \"ger\")");
    return LastKey("members");
  }

  int AddConference(const std::string& room, const std::string& name) {
    Exec("INSERT INTO [conferences] (room, name, [date], starttime, endtime) VALUES (\"" + room +
         "\", \"" + name + "\", #2026-3-7#, \"2026-03-07 10:00:00\", \"2026-03-07 11:00:00\")");
    return LastKey("conferences");
  }

  // A membership as "inviteOne" writes it, with the given PIN and flags.
  void AddMembership(int member, int conference, const std::string& pin, bool host = false,
                     bool listen_only = false, bool visible = true,
                     const std::string& languagecode = "ger") {
    auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
    Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(member) + ", " +
         std::to_string(conference) + ", " + flag(host) + ", false, \"" + languagecode + "\", \"" +
         pin + "\", \"100\", \"07.03.2026 10:00\", \"07.03.2026 11:00\", false, false, " +
         flag(listen_only) + ", false, " + flag(visible) + ")");
  }

  // An attendance row as the conference side writes it (ISO texts; an empty `to` while in),
  // straight into the file as that side does, past the typed writes of our database layer.
  void AddLogRow(int member, int conference, const std::string& from, const std::string& to) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db::DataSourceOf(connstr_).c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO conferenceMemberLog (conferenceID, memberID, [from], "
                                 "[to]) VALUES (?, ?, ?, ?)",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    sqlite3_bind_int(stmt, 1, conference);
    sqlite3_bind_int(stmt, 2, member);
    sqlite3_bind_text(stmt, 3, from.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 4, to.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }

  int LastKey(const std::string& table) {
    std::vector<TRow> rows = Rows("SELECT MAX(ID) AS k FROM [" + table + "]");
    return rows.empty() ? 0 : std::stoi(rows[0]["k"]);
  }

  std::string dir_;
  std::string connstr_;
};

// The element text at a dotted path below the root of an answer text ("" when missing).
inline std::string AnswerText(const std::string& answer, const std::string& path) {
  pugi::xml_document doc;
  if (!doc.load_string(answer.c_str())) return "<malformed>";
  return NodeText(FindXMLNode(doc.document_element(), path, "", false, kCaseLower));
}

inline bool AnswerHas(const std::string& answer, const std::string& path) {
  pugi::xml_document doc;
  if (!doc.load_string(answer.c_str())) return false;
  return !FindXMLNode(doc.document_element(), path, "", false, kCaseLower).empty();
}

}  // namespace parlevo::testing_support
