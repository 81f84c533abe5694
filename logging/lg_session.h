// A session is what code logs through: it filters by level, builds log entries (and process-flow
// packets for method enter and leave) and hands them to its parent log center.
//
// Thread safety: every operation may be called from any thread at the same time. No operation
// ever throws to its caller.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "logging/lg_level.h"
#include "platform/datetime.h"

namespace parlevo::logging {

class TLogCenter;

// Source kinds of LogSource, in the order of their viewers.
enum class TLgSourceId : uint8_t { Html, JavaScript, VbScript, Perl, Sql, Ini, Python, Xml };

class TLgSession {
 public:
  TLgSession(TLogCenter* parent, std::string name);
  ~TLgSession();
  TLgSession(const TLgSession&) = delete;
  TLgSession& operator=(const TLgSession&) = delete;

  void LogSeparator();
  void LogSeparatorLevel(TLgLevel level);
  void EnterMethod(TLgLevel level, std::string_view method_name);
  void LeaveMethod(TLgLevel level, std::string_view method_name);
  void LogDebug(std::string_view title);
  void LogMessage(std::string_view title);
  void LogWarning(std::string_view title);
  void LogError(std::string_view title);
  void LogInternalError(std::string_view title);
  void LogBoolean(TLgLevel level, std::string_view name, bool value);
  void LogInteger(std::string_view name, int64_t value);
  void LogIntegerLevel(TLgLevel level, std::string_view name, int64_t value);
  void LogString(TLgLevel level, std::string_view name, std::string_view value);
  void LogDateTime(TLgLevel level, std::string_view name, TDateTime value);
  void LogText(TLgLevel level, std::string_view title, std::string_view text);
  void LogTextFile(TLgLevel level, std::string_view title, const std::string& file_name);
  void LogSource(TLgLevel level, std::string_view title, TLgSourceId kind, std::string_view text);
  void LogSql(TLgLevel level, std::string_view title, std::string_view text);
  void LogStringList(TLgLevel level, std::string_view title, const std::vector<std::string>& lines);
  // Error entry "Exception <type>: <message>", prefixed by "<title>: " when the title is not empty.
  void LogException(const std::exception& e, std::string_view title = {});
  // The same for the exception currently being handled (inside a catch block).
  void LogException(std::string_view title = {});

  std::string Name() const;
  bool Active() const;
  void SetActive(bool active);
  TLgLevel Level() const;
  void SetLevel(TLgLevel level);

 private:
  struct Impl;
  TLogCenter* parent_;
  std::string name_;
};

// Enters a method on construction and leaves it on destruction, so that every return path of a
// routine logs its exit.
class TLgMethodScope {
 public:
  TLgMethodScope(TLgSession& session, std::string_view method_name,
                 TLgLevel level = TLgLevel::Debug)
      : session_(session), name_(method_name), level_(level) {
    session_.EnterMethod(level_, name_);
  }
  ~TLgMethodScope() { session_.LeaveMethod(level_, name_); }
  TLgMethodScope(const TLgMethodScope&) = delete;
  TLgMethodScope& operator=(const TLgMethodScope&) = delete;

 private:
  TLgSession& session_;
  std::string name_;
  TLgLevel level_;
};

}  // namespace parlevo::logging
