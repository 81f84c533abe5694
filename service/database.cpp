#include "service/database.h"

#include <mutex>

#include "logging/lg_auto.h"
#include "platform/registry.h"
#include "service/check_registry.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

std::mutex g_connection_string_mutex;

std::string& CurrentConnectionStringStorage() {
  static std::string value;
  return value;
}

void LogFailure(std::string_view routine, const std::string& message) {
  auto& log = MainSession();
  log.LogError(message);
  log.LogException(db::DbError(message), routine);
}

// The four inputs of ConnectToADODB as variable values.
void LogConnectInputs(const std::string& connect_str, std::string_view sql, bool is_select_stat,
                      const std::string& error_msg) {
  auto& log = MainSession();
  log.LogString(TLgLevel::Debug, "ConnectStr", connect_str);
  log.LogSql(TLgLevel::Debug, "SQL", sql);
  log.LogBoolean(TLgLevel::Debug, "IsSelectStat", is_select_stat);
  log.LogString(TLgLevel::Debug, "ErrorMsg", error_msg);
}

// A select succeeds when it opens; any other statement only when it changed a row. Throws.
bool RunStatement(TADOQuery& query, std::string_view sql, bool is_select_stat) {
  if (is_select_stat) {
    query.Open(sql);
    return query.Connection().Connected();
  }
  return query.ExecSQL(sql) > 0;
}

}  // namespace

std::string DatabasePath(std::string_view install_path) {
  std::string path(install_path);
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path + "Database/conference.mdb";
}

std::string GetConnectionString(std::string_view install_path) {
  TLgMethodScope scope(MainSession(), "helpersConfEx::GetConnectionString");
  if (install_path.empty()) return {};
  const std::string file_name = DatabasePath(install_path);
  std::string result = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file_name + ";" +
                       "Mode=ReadWrite|Share Deny None;" + "Persist Security Info=False";
  auto& log = MainSession();
  log.LogString(TLgLevel::Debug, "Path", install_path);
  log.LogString(TLgLevel::Debug, "FileName", file_name);
  log.LogString(TLgLevel::Debug, "Result", result);
  return result;
}

std::string GetConnectionString() {
  std::string install_path;
  try {
    TRegistry registry;
    if (registry.OpenKeyReadOnly(kParlevoRegistryKey))
      install_path = registry.ReadString("InstallPath");
  } catch (const std::exception& e) {
    MainSession().LogException(e, "helpersConfEx::GetConnectionString");
  }
  return GetConnectionString(install_path);
}

std::string UseConnectionString() {
  std::string connect_str = GetConnectionString();
  SetCurrentConnectionString(connect_str);
  return connect_str;
}

void SetCurrentConnectionString(std::string connection_string) {
  std::lock_guard lock(g_connection_string_mutex);
  CurrentConnectionStringStorage() = std::move(connection_string);
}

std::string CurrentConnectionString() {
  std::lock_guard lock(g_connection_string_mutex);
  return CurrentConnectionStringStorage();
}

bool RunOnQuery(TADOQuery& query, std::string_view sql, bool is_select_stat,
                std::string& error_msg) {
  MainSession().LogSql(TLgLevel::Debug, "SQL", sql);
  try {
    return RunStatement(query, sql, is_select_stat);
  } catch (const std::exception& e) {
    error_msg = e.what();
  } catch (...) {
    error_msg = "Unknown error";
  }
  LogFailure("helpersConfEx::RunOnQuery", error_msg);
  return false;
}

bool ConnectToADODB(std::unique_ptr<TADOQuery>& query, const std::string& connect_str,
                    std::string_view sql, bool is_select_stat, std::string& error_msg) {
  TLgMethodScope scope(MainSession(), "helpersConfEx::ConnectToADODB");
  LogConnectInputs(connect_str, sql, is_select_stat, error_msg);
  bool result = false;
  try {
    FreeADOQuery(query);
    query = std::make_unique<TADOQuery>();
    query->Connection().Open(connect_str);
    result = RunStatement(*query, sql, is_select_stat);
  } catch (const std::exception& e) {
    error_msg = e.what();
    LogFailure("helpersConfEx::ConnectToADODB", error_msg);
    FreeADOQuery(query);
  } catch (...) {
    error_msg = "Unknown error";
    LogFailure("helpersConfEx::ConnectToADODB", error_msg);
    FreeADOQuery(query);
  }
  MainSession().LogBoolean(TLgLevel::Debug, "Result", result);
  return result;
}

bool ConnectToADODB(TADOQuery& query, const std::string& connect_str, std::string_view sql,
                    bool is_select_stat, std::string& error_msg) {
  TLgMethodScope scope(MainSession(), "helpersConfEx::ConnectToADODB");
  LogConnectInputs(connect_str, sql, is_select_stat, error_msg);
  bool result = false;
  try {
    result = RunStatement(query, sql, is_select_stat);
  } catch (const std::exception& e) {
    error_msg = e.what();
    LogFailure("helpersConfEx::ConnectToADODB", error_msg);
  } catch (...) {
    error_msg = "Unknown error";
    LogFailure("helpersConfEx::ConnectToADODB", error_msg);
  }
  MainSession().LogBoolean(TLgLevel::Debug, "Result", result);
  return result;
}

void FreeADOQuery(std::unique_ptr<TADOQuery>& query) {
  try {
    if (query) query->Connection().Close();
  } catch (...) {
  }
  query.reset();
}

bool GetAutoWert(std::unique_ptr<TADOQuery>& query, int& auto_wert, std::string& error_msg) {
  TLgMethodScope scope(MainSession(), "helpersConfEx::GetAutoWert");
  bool result = false;
  try {
    if (!query) throw db::DbError("No query is open to read the new key from.");
    query->Open("SELECT @@IDENTITY AS NewID");
    auto_wert = static_cast<int>(query->FieldByName("NewID").AsInteger());
    result = query->Connection().Connected();
  } catch (const std::exception& e) {
    error_msg = e.what();
    MainSession().LogException(e, "helpersConfEx::GetAutoWert");
    result = false;
  }
  auto& log = MainSession();
  log.LogInteger("AutoWert", auto_wert);
  log.LogString(TLgLevel::Debug, "ErrorMsg", error_msg);
  log.LogBoolean(TLgLevel::Debug, "Result", result);
  return result;
}

bool TableExistsADO(const std::string& connect_str, std::string_view table_name) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::TableExistsADO");
  SetCurrentConnectionString(connect_str);
  std::unique_ptr<TADOQuery> query;
  std::string error_msg;
  const bool result =
      ConnectToADODB(query, connect_str, "SELECT * FROM " + std::string(table_name) + " WHERE 1=0",
                     true, error_msg);
  FreeADOQuery(query);
  return result;
}

}  // namespace parlevo
