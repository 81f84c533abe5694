// A session is what code logs through: it filters by level, builds log entries (and process-flow
// packets for method enter and leave) and hands them to its parent log center.
//
// Thread safety: every operation may be called from any thread at the same time. No logging
// operation ever throws to its caller: argument and data errors become internal-error entries,
// output errors end in the log center's error handling.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "logging/lg_level.h"
#include "logging/lg_packets.h"
#include "platform/datetime.h"

namespace parlevo::logging {

class TLogCenter;

// Source kinds of LogSource, in the order of their viewers.
enum class TLgSourceId : uint8_t { Html, JavaScript, VbScript, Perl, Sql, Ini, Python, Xml };

// The run-time class name of a type as a reader knows it: without namespaces.
std::string LgClassName(const std::type_info& type);

// The properties and events a class shows in LogObject. C++ has no type information about
// properties, so a class that wants to be inspected says what it has (TLgInspectable).
class TLgObjectProperties {
 public:
  void AddInteger(std::string_view name, int64_t value);
  // Shortest decimal text that reads back to the same number.
  void AddFloat(std::string_view name, double value);
  // Strings, characters and enumeration value names, as they are.
  void AddText(std::string_view name, std::string_view value);
  void AddBoolean(std::string_view name, bool value);  // "True" / "False"
  // Element names, separated by commas, in square brackets.
  void AddSet(std::string_view name, const std::vector<std::string>& elements);
  // An event handler: with an object, the object's address and class and the handler's code
  // address; without one the event shows as not assigned ("nil").
  void AddEvent(std::string_view name, const void* object = nullptr,
                std::string_view class_name = {}, const void* code = nullptr);

 private:
  friend class TLgSession;
  std::vector<std::pair<std::string, std::string>> properties_;
  std::vector<std::pair<std::string, std::optional<std::string>>> events_;
};

// Implemented by classes whose instances LogObject can show.
class TLgInspectable {
 public:
  virtual ~TLgInspectable() = default;
  virtual void PublishProperties(TLgObjectProperties& properties) const = 0;
};

class TLgSession {
 public:
  // Raises ELogCenterError "AParent argument is not assigned" when parent is null. The parent
  // must outlive the session (its session manager owns it).
  TLgSession(TLogCenter* parent, std::string name);
  ~TLgSession();
  TLgSession(const TLgSession&) = delete;
  TLgSession& operator=(const TLgSession&) = delete;

  void LogSeparator();
  void LogSeparatorLevel(TLgLevel level);
  void EnterMethod(TLgLevel level, std::string_view method_name);
  void LeaveMethod(TLgLevel level, std::string_view method_name);
  // Titled "<class name>.<method name>" with the run-time class of the instance.
  template <typename T>
  void EnterMethodInstance(TLgLevel level, const T* instance, std::string_view method_name) {
    MethodInstance(true, level, instance ? &typeid(*instance) : nullptr, method_name);
  }
  template <typename T>
  void LeaveMethodInstance(TLgLevel level, const T* instance, std::string_view method_name) {
    MethodInstance(false, level, instance ? &typeid(*instance) : nullptr, method_name);
  }
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
  // The same for a list that may be missing.
  void LogStringList(TLgLevel level, std::string_view title, const std::vector<std::string>* lines);
  // The properties and events of an instance whose class implements TLgInspectable; other
  // instances are reported as having no type information.
  template <typename T>
  void LogObject(TLgLevel level, std::string_view title, const T* instance) {
    const TLgInspectable* inspectable = nullptr;
    if constexpr (std::is_base_of_v<TLgInspectable, T>) {
      inspectable = instance;
    } else if constexpr (std::is_polymorphic_v<T>) {
      inspectable = dynamic_cast<const TLgInspectable*>(instance);
    }
    LogObjectOf(level, title, instance != nullptr, inspectable);
  }
  // Error entry "Exception <type>: <message>", prefixed by "<title>: " when the title is not empty.
  void LogException(const std::exception& e, std::string_view title = {});
  // The same for the exception currently being handled (inside a catch block).
  void LogException(std::string_view title = {});

  TLogCenter& Parent() const { return *parent_; }
  std::string Name() const;
  void SetName(std::string name);
  bool Active() const { return active_.load(std::memory_order_relaxed); }
  void SetActive(bool active) { active_.store(active, std::memory_order_relaxed); }
  TLgLevel Level() const { return level_.load(std::memory_order_relaxed); }
  void SetLevel(TLgLevel level) { level_.store(level, std::memory_order_relaxed); }
  // Background colour of the session's entries: kLgDefaultColor or red | green << 8 | blue << 16.
  uint32_t Color() const { return color_.load(std::memory_order_relaxed); }
  void SetColor(uint32_t color) { color_.store(color, std::memory_order_relaxed); }
  // True once the session manager has filed the session under its name.
  bool IsStored() const { return stored_.load(std::memory_order_relaxed); }
  void SetStored(bool stored) { stored_.store(stored, std::memory_order_relaxed); }

  // True when an operation of this level produces anything at all.
  bool Accepts(TLgLevel level) const;

 private:
  std::shared_ptr<TLgLogEntry> NewEntry(TLgLevel level, TLgLogEntryType type, TLgViewerId viewer,
                                        std::string title) const;
  void Send(const std::shared_ptr<TLgLogEntry>& entry) const;
  void SendEntry(TLgLevel level, TLgLogEntryType type, TLgViewerId viewer, std::string title);
  void SendMethod(bool enter, TLgLevel level, std::string title);
  void MethodInstance(bool enter, TLgLevel level, const std::type_info* type,
                      std::string_view method_name);
  void LogObjectOf(TLgLevel level, std::string_view title, bool assigned,
                   const TLgInspectable* instance);
  void SendData(TLgLevel level, TLgLogEntryType type, std::string_view title,
                TLgViewerContext& context);
  void LogExceptionText(std::string text, std::string_view title);
  // Runs a logging operation so that nothing escapes to the caller: failures go to the parent.
  template <typename F>
  void Guarded(F&& operation) noexcept;
  void ReportFailure(const std::exception& e) const noexcept;

  TLogCenter* parent_;
  mutable std::mutex name_lock_;
  std::string name_;
  std::atomic<bool> active_{true};
  std::atomic<TLgLevel> level_{TLgLevel::Debug};
  std::atomic<uint32_t> color_{kLgDefaultColor};
  std::atomic<bool> stored_{false};
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
