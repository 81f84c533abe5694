// Placeholder: logging stays disabled until the logging core lands; every operation does nothing.
#include "logging/lg_session.h"

#include "logging/lg_log_center.h"

namespace parlevo::logging {

TLgSession::TLgSession(TLogCenter* parent, std::string name)
    : parent_(parent), name_(std::move(name)) {}
TLgSession::~TLgSession() = default;
void TLgSession::LogSeparator() {}
void TLgSession::LogSeparatorLevel(TLgLevel) {}
void TLgSession::EnterMethod(TLgLevel, std::string_view) {}
void TLgSession::LeaveMethod(TLgLevel, std::string_view) {}
void TLgSession::LogDebug(std::string_view) {}
void TLgSession::LogMessage(std::string_view) {}
void TLgSession::LogWarning(std::string_view) {}
void TLgSession::LogError(std::string_view) {}
void TLgSession::LogInternalError(std::string_view) {}
void TLgSession::LogBoolean(TLgLevel, std::string_view, bool) {}
void TLgSession::LogInteger(std::string_view, int64_t) {}
void TLgSession::LogIntegerLevel(TLgLevel, std::string_view, int64_t) {}
void TLgSession::LogString(TLgLevel, std::string_view, std::string_view) {}
void TLgSession::LogDateTime(TLgLevel, std::string_view, TDateTime) {}
void TLgSession::LogText(TLgLevel, std::string_view, std::string_view) {}
void TLgSession::LogTextFile(TLgLevel, std::string_view, const std::string&) {}
void TLgSession::LogSource(TLgLevel, std::string_view, TLgSourceId, std::string_view) {}
void TLgSession::LogSql(TLgLevel, std::string_view, std::string_view) {}
void TLgSession::LogStringList(TLgLevel, std::string_view, const std::vector<std::string>&) {}
void TLgSession::LogException(const std::exception&, std::string_view) {}
void TLgSession::LogException(std::string_view) {}
std::string TLgSession::Name() const { return name_; }
bool TLgSession::Active() const { return true; }
void TLgSession::SetActive(bool) {}
TLgLevel TLgSession::Level() const { return TLgLevel::Debug; }
void TLgSession::SetLevel(TLgLevel) {}

}  // namespace parlevo::logging
