// Database access as every routine of the service uses it: the connection text of the single
// database file, one statement per fresh query and connection (ConnectToADODB), its release
// (FreeADOQuery), the key of the last insert (GetAutoWert) and the table test (TableExistsADO).
// Failures come back as false plus a message; nothing throws out of these routines.
//
// Thread safety: every routine may be called from any thread. A query variable belongs to the
// thread that holds it. The process-wide current connection string is guarded; each routine works
// on its own copy of the text it was given.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/db.h"

namespace parlevo {

using TADOQuery = db::TADOQuery;

// "<install path>/Database/conference.mdb"; a "/" is added to the install path when missing.
std::string DatabasePath(std::string_view install_path);

// The connection text of the database file below the install path, or an empty text when the
// install path is empty. The caller reads "InstallPath" from the registry.
std::string GetConnectionString(std::string_view install_path);
// The same for the "InstallPath" of the configuration key (opened read-only, never created);
// empty when the key or the value is missing or the file cannot be read.
std::string GetConnectionString();
// Sets the process-wide current connection string from GetConnectionString() and returns the
// caller's own copy, as every routine does before it works on the database.
std::string UseConnectionString();

// The process-wide current connection string: set by a routine before it works on the database,
// read back for its logs.
void SetCurrentConnectionString(std::string connection_string);
std::string CurrentConnectionString();

// Runs one statement on a fresh query with a fresh connection; a query held in `query` is released
// first. is_select_stat: true for a statement that returns rows, which are then read through
// `query`; false for one that does not, which succeeds only when it changed at least one row
// (definitions change none). On failure `error_msg` receives the message and `query` is empty.
bool ConnectToADODB(std::unique_ptr<TADOQuery>& query, const std::string& connect_str,
                    std::string_view sql, bool is_select_stat, std::string& error_msg);

// Releases a query made by ConnectToADODB; never fails.
void FreeADOQuery(std::unique_ptr<TADOQuery>& query);

// The key of the insert just executed on the query's connection ("SELECT @@IDENTITY AS NewID").
bool GetAutoWert(std::unique_ptr<TADOQuery>& query, int& auto_wert, std::string& error_msg);

// True when the table exists in the file named by the connection text.
bool TableExistsADO(const std::string& connect_str, std::string_view table_name);

// Runs a further statement on the connection of an open query, as ConnectToADODB does, so that
// several statements can share one connection (and its transaction). The query is kept on failure.
bool RunOnQuery(TADOQuery& query, std::string_view sql, bool is_select_stat,
                std::string& error_msg);

// ConnectToADODB on the connection an action holds open (its transaction included) instead of a
// fresh one: the same log entries as ConnectToADODB, so that an action whose statements share a
// transaction is traced as every other. connect_str is the text the connection was opened with,
// logged as given. The query is kept on failure; rolling back is the caller's choice.
bool ConnectToADODB(TADOQuery& query, const std::string& connect_str, std::string_view sql,
                    bool is_select_stat, std::string& error_msg);

}  // namespace parlevo
