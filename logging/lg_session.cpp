#include "logging/lg_session.h"

#include <cxxabi.h>
#include <fmt/format.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "logging/lg_exceptions.h"
#include "logging/lg_log_center.h"
#include "logging/lg_text.h"

namespace parlevo::logging {
namespace {

// Red-green-blue values (red in the low byte) of the system colours a colour reference may name.
constexpr std::array<uint32_t, 31> kSystemColors = {
    0xC8C8C8, 0x000000, 0xD1B499, 0xDBCDBF, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,
    0x000000, 0x000000, 0xB4B4B4, 0xFCF7F4, 0xABABAB, 0xD77800, 0xFFFFFF, 0xF0F0F0,
    0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,
    0xE1FFFF, 0x000000, 0xCC6600, 0xEAD1B9, 0xF2E4D7, 0xFF9933, 0xF0F0F0};

uint32_t ResolveColor(uint32_t color) {
  if (color == kLgDefaultColor) return color;
  if ((color >> 24) == 0xFF) {
    const uint32_t index = color & 0xFF;
    return index < kSystemColors.size() ? kSystemColors[index] : 0;
  }
  return color & 0xFFFFFF;
}

std::string ReplaceLineBreaks(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      result += ' ';
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

TLgViewerId SourceViewer(TLgSourceId kind) {
  return static_cast<TLgViewerId>(static_cast<uint8_t>(TLgViewerId::HtmlSource) +
                                  static_cast<uint8_t>(kind));
}

std::string Hex8(const void* address) {
  return fmt::format("{:08X}", reinterpret_cast<uintptr_t>(address));
}

}  // namespace

std::string LgClassName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  const std::string full = status == 0 && demangled ? demangled.get() : type.name();
  // Drop the namespaces (the last "::" outside template arguments).
  size_t start = 0;
  int depth = 0;
  for (size_t i = 0; i + 1 < full.size(); ++i) {
    if (full[i] == '<') ++depth;
    if (full[i] == '>') --depth;
    if (depth == 0 && full[i] == ':' && full[i + 1] == ':') start = i + 2;
  }
  return full.substr(start);
}

void TLgObjectProperties::AddInteger(std::string_view name, int64_t value) {
  properties_.emplace_back(name, std::to_string(value));
}

void TLgObjectProperties::AddFloat(std::string_view name, double value) {
  properties_.emplace_back(name, fmt::format("{}", value));
}

void TLgObjectProperties::AddText(std::string_view name, std::string_view value) {
  properties_.emplace_back(name, value);
}

void TLgObjectProperties::AddBoolean(std::string_view name, bool value) {
  properties_.emplace_back(name, value ? "True" : "False");
}

void TLgObjectProperties::AddSet(std::string_view name, const std::vector<std::string>& elements) {
  std::string text = "[";
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) text += ',';
    text += elements[i];
  }
  text += ']';
  properties_.emplace_back(name, std::move(text));
}

void TLgObjectProperties::AddEvent(std::string_view name, const void* object,
                                   std::string_view class_name, const void* code) {
  if (object == nullptr) {
    events_.emplace_back(name, std::nullopt);
    return;
  }
  events_.emplace_back(name, fmt::format("(Object ${} of class {}, Method at address ${})",
                                         Hex8(object), class_name, Hex8(code)));
}

TLgSession::TLgSession(TLogCenter* parent, std::string name)
    : parent_(parent), name_(std::move(name)) {
  if (parent_ == nullptr) throw ELogCenterError("AParent argument is not assigned");
}

TLgSession::~TLgSession() = default;

std::string TLgSession::Name() const {
  std::lock_guard lock(name_lock_);
  return name_;
}

void TLgSession::SetName(std::string name) {
  std::lock_guard lock(name_lock_);
  name_ = std::move(name);
}

bool TLgSession::Accepts(TLgLevel level) const {
  return parent_->Enabled() && Active() && level >= Level() && level >= parent_->Level();
}

template <typename F>
void TLgSession::Guarded(F&& operation) noexcept {
  try {
    operation();
  } catch (const std::exception& e) {
    ReportFailure(e);
  } catch (...) {
    ReportFailure(ELogCenterError("Unknown exception"));
  }
}

void TLgSession::ReportFailure(const std::exception& e) const noexcept {
  parent_->DoError(e);
}

std::shared_ptr<TLgLogEntry> TLgSession::NewEntry(TLgLevel level, TLgLogEntryType type,
                                                  TLgViewerId viewer, std::string title) const {
  auto entry = std::make_shared<TLgLogEntry>(type, viewer);
  entry->SetTimestamp(parent_->Now());
  entry->SetLevel(level);
  entry->SetTitle(std::move(title));
  entry->SetColor(ResolveColor(Color()));
  entry->SetSessionName(Name());
  return entry;
}

void TLgSession::Send(const std::shared_ptr<TLgLogEntry>& entry) const {
  parent_->SendLogEntry(entry);
}

void TLgSession::SendEntry(TLgLevel level, TLgLogEntryType type, TLgViewerId viewer,
                           std::string title) {
  Send(NewEntry(level, type, viewer, std::move(title)));
}

void TLgSession::SendMethod(bool enter, TLgLevel level, std::string title) {
  Send(NewEntry(level, enter ? TLgLogEntryType::EnterMethod : TLgLogEntryType::LeaveMethod,
                TLgViewerId::Title, title));
  auto flow = std::make_shared<TLgProcessFlow>(enter ? TLgProcessFlowType::EnterMethod
                                                     : TLgProcessFlowType::LeaveMethod);
  flow->SetTimestamp(parent_->Now());
  flow->SetLevel(level);
  flow->SetTitle(std::move(title));
  parent_->SendProcessFlow(flow);
}

void TLgSession::LogSeparator() {
  LogSeparatorLevel(parent_->DefaultLevel());
}

void TLgSession::LogSeparatorLevel(TLgLevel level) {
  if (!Accepts(level)) return;
  Guarded([&] { SendEntry(level, TLgLogEntryType::Separator, TLgViewerId::None, {}); });
}

void TLgSession::EnterMethod(TLgLevel level, std::string_view method_name) {
  if (!Accepts(level)) return;
  Guarded([&] { SendMethod(true, level, std::string(method_name)); });
}

void TLgSession::LeaveMethod(TLgLevel level, std::string_view method_name) {
  if (!Accepts(level)) return;
  Guarded([&] { SendMethod(false, level, std::string(method_name)); });
}

void TLgSession::MethodInstance(bool enter, TLgLevel level, const std::type_info* type,
                                std::string_view method_name) {
  if (!Accepts(level)) return;
  if (type == nullptr) {
    LogInternalError(enter ? "EnterMethod: AInstance argument is not assigned"
                           : "LeaveMethod: AInstance argument is not assigned");
    return;
  }
  Guarded([&] { SendMethod(enter, level, LgClassName(*type) + "." + std::string(method_name)); });
}

void TLgSession::LogDebug(std::string_view title) {
  if (!Accepts(TLgLevel::Debug)) return;
  Guarded([&] {
    SendEntry(TLgLevel::Debug, TLgLogEntryType::Debug, TLgViewerId::Title, std::string(title));
  });
}

void TLgSession::LogMessage(std::string_view title) {
  if (!Accepts(TLgLevel::Message)) return;
  Guarded([&] {
    SendEntry(TLgLevel::Message, TLgLogEntryType::Message, TLgViewerId::Title, std::string(title));
  });
}

void TLgSession::LogWarning(std::string_view title) {
  if (!Accepts(TLgLevel::Warning)) return;
  Guarded([&] {
    SendEntry(TLgLevel::Warning, TLgLogEntryType::Warning, TLgViewerId::Title, std::string(title));
  });
}

void TLgSession::LogError(std::string_view title) {
  if (!Accepts(TLgLevel::Error)) return;
  Guarded([&] {
    SendEntry(TLgLevel::Error, TLgLogEntryType::Error, TLgViewerId::Title, std::string(title));
  });
}

void TLgSession::LogInternalError(std::string_view title) {
  if (!Accepts(TLgLevel::Error)) return;
  Guarded([&] {
    SendEntry(TLgLevel::Error, TLgLogEntryType::InternalError, TLgViewerId::Title,
              std::string(title));
  });
}

void TLgSession::LogBoolean(TLgLevel level, std::string_view name, bool value) {
  if (!Accepts(level)) return;
  Guarded([&] {
    SendEntry(level, TLgLogEntryType::VariableValue, TLgViewerId::Title,
              std::string(name) + (value ? " = True" : " = False"));
  });
}

void TLgSession::LogInteger(std::string_view name, int64_t value) {
  LogIntegerLevel(parent_->DefaultLevel(), name, value);
}

void TLgSession::LogIntegerLevel(TLgLevel level, std::string_view name, int64_t value) {
  if (!Accepts(level)) return;
  Guarded([&] {
    SendEntry(level, TLgLogEntryType::VariableValue, TLgViewerId::Title,
              fmt::format("{} = {}", name, value));
  });
}

void TLgSession::LogString(TLgLevel level, std::string_view name, std::string_view value) {
  if (!Accepts(level)) return;
  Guarded([&] {
    SendEntry(level, TLgLogEntryType::VariableValue, TLgViewerId::Title,
              fmt::format("{} = '{}'", name, value));
  });
}

void TLgSession::LogDateTime(TLgLevel level, std::string_view name, TDateTime value) {
  if (!Accepts(level)) return;
  Guarded([&] {
    SendEntry(level, TLgLogEntryType::VariableValue, TLgViewerId::Title,
              std::string(name) + " = " + DateTimeToStr(value));
  });
}

void TLgSession::SendData(TLgLevel level, TLgLogEntryType type, std::string_view title,
                          TLgViewerContext& context) {
  auto entry = NewEntry(level, type, context.ViewerId(), std::string(title));
  entry->SetData(context.ViewerData());
  Send(entry);
}

void TLgSession::LogText(TLgLevel level, std::string_view title, std::string_view text) {
  if (!Accepts(level)) return;
  Guarded([&] {
    TLgTextContext context(TLgViewerId::Data);
    try {
      context.LoadFromText(text);
    } catch (const std::exception& e) {
      LogInternalError(std::string("LogCustomText: ") + e.what());
      return;
    }
    SendData(level, TLgLogEntryType::Text, title, context);
  });
}

void TLgSession::LogTextFile(TLgLevel level, std::string_view title, const std::string& file_name) {
  if (!Accepts(level)) return;
  Guarded([&] {
    TLgBinaryContext context(TLgViewerId::Data);
    try {
      context.LoadFromFile(file_name);
    } catch (const std::exception& e) {
      LogInternalError(std::string("LogCustomFile: ") + e.what());
      return;
    }
    SendData(level, TLgLogEntryType::Text, title, context);
  });
}

void TLgSession::LogSource(TLgLevel level, std::string_view title, TLgSourceId kind,
                           std::string_view text) {
  if (!Accepts(level)) return;
  Guarded([&] {
    TLgTextContext context(SourceViewer(kind));
    try {
      context.LoadFromText(text);
    } catch (const std::exception& e) {
      LogInternalError(std::string("LogCustomText: ") + e.what());
      return;
    }
    SendData(level, TLgLogEntryType::Source, title, context);
  });
}

void TLgSession::LogSql(TLgLevel level, std::string_view title, std::string_view text) {
  LogSource(level, title, TLgSourceId::Sql, text);
}

void TLgSession::LogStringList(TLgLevel level, std::string_view title,
                               const std::vector<std::string>& lines) {
  LogStringList(level, title, &lines);
}

void TLgSession::LogStringList(TLgLevel level, std::string_view title,
                               const std::vector<std::string>* lines) {
  if (!Accepts(level)) return;
  if (lines == nullptr) {
    LogInternalError("LogStringList: AStrings argument is not assigned");
    return;
  }
  Guarded([&] {
    TLgListViewerContext context;
    try {
      for (const std::string& line : *lines) context.AppendLine(line);
    } catch (const std::exception& e) {
      LogInternalError(std::string("LogStringList: ") + e.what());
      return;
    }
    SendData(level, TLgLogEntryType::Text, title, context);
  });
}

void TLgSession::LogObjectOf(TLgLevel level, std::string_view title, bool assigned,
                             const TLgInspectable* instance) {
  if (!Accepts(level)) return;
  if (!assigned) {
    LogInternalError("LogObject: AInstance argument is not assigned");
    return;
  }
  if (instance == nullptr) {
    LogInternalError("LogObject: AInstance argument has no RTTI");
    return;
  }
  Guarded([&] {
    TLgInspectorViewerContext context;
    try {
      TLgObjectProperties published;
      instance->PublishProperties(published);
      TLgStringList properties;
      for (const auto& [name, value] : published.properties_) {
        properties.Add(context.EscapeItem(name) + "=" + context.EscapeItem(value));
      }
      TLgStringList events;
      for (const auto& [name, value] : published.events_) {
        events.Add(context.EscapeItem(name) + "=" + (value ? context.EscapeItem(*value) : "nil"));
      }
      properties.Sort();
      events.Sort();
      context.StartGroup("Properties");
      for (int i = 0; i < properties.Count(); ++i) context.AppendLine(properties.Strings(i));
      context.StartGroup("Events");
      for (int i = 0; i < events.Count(); ++i) context.AppendLine(events.Strings(i));
    } catch (const std::exception& e) {
      LogInternalError(std::string("LogObject: ") + e.what());
      return;
    }
    SendData(level, TLgLogEntryType::Object, title, context);
  });
}

void TLgSession::LogExceptionText(std::string text, std::string_view title) {
  if (!TrimText(title).empty()) text = std::string(title) + ": " + text;
  SendEntry(TLgLevel::Error, TLgLogEntryType::Error, TLgViewerId::Title, std::move(text));
}

void TLgSession::LogException(const std::exception& e, std::string_view title) {
  if (!Accepts(TLgLevel::Error)) return;
  Guarded([&] {
    LogExceptionText(
        fmt::format("Exception {}: {}", LgClassName(typeid(e)), ReplaceLineBreaks(e.what())),
        title);
  });
}

void TLgSession::LogException(std::string_view title) {
  if (!Accepts(TLgLevel::Error)) return;
  const std::exception_ptr current = std::current_exception();
  if (!current) {
    LogInternalError("LogException: There is no exception handled currently");
    return;
  }
  Guarded([&] {
    std::string report;
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      report = fmt::format("Exception {}: {}", LgClassName(typeid(e)), e.what());
    } catch (...) {
      report = "Exception of unknown type";
    }
    std::u16string units = ToUtf16(report);
    if (units.size() > 2048) units.resize(2048);
    report = ReplaceLineBreaks(TrimText(FromUtf16(units)));
    LogExceptionText(std::move(report), title);
  });
}

}  // namespace parlevo::logging
