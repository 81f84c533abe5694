#include "participants/teilnehmer_common.h"

#include <vector>

#include "logging/lg_auto.h"
#include "platform/random.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/sql_values.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo::teilnehmer {
namespace {

using logging::MainSession;
using logging::TLgLevel;

constexpr int kPinCount = 100000;

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The PIN's number when it is exactly five decimal digits.
std::optional<int> PinNumber(std::string_view pin) {
  if (pin.size() != 5) return std::nullopt;
  int n = 0;
  for (char c : pin) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::string PinText(int n) {
  std::string pin(5, '0');
  for (int i = 4; i >= 0; --i, n /= 10)
    pin[static_cast<size_t>(i)] = static_cast<char>('0' + n % 10);
  return pin;
}

}  // namespace

std::string MemberConnectionString() {
  std::string install_path;
  try {
    TRegistry registry;
    if (registry.OpenKeyReadOnly(kParlevoRegistryKey))
      install_path = registry.ReadString("InstallPath");
  } catch (const std::exception& e) {
    MainSession().LogException(e, "Teilnehmer::MemberConnectionString");
  }
  std::string connstr = GetConnectionString(install_path);
  SetCurrentConnectionString(connstr);
  return connstr;
}

TActionTrace::TActionTrace(std::string log_name) : log_name_(std::move(log_name)) {
  MainSession().EnterMethod(TLgLevel::Debug, log_name_);
}

TActionTrace::~TActionTrace() {
  MainSession().LeaveMethod(TLgLevel::Debug, log_name_);
}

void TActionTrace::Documents(const pugi::xml_document& request,
                             const pugi::xml_document& response) {
  if (!MainSession().Accepts(TLgLevel::Debug)) return;
  MainSession().LogSource(TLgLevel::Debug, log_name_ + ": RequestXML", logging::TLgSourceId::Xml,
                          DocumentXMLText(request));
  MainSession().LogSource(TLgLevel::Debug, log_name_ + ": ResponseXML", logging::TLgSourceId::Xml,
                          DocumentXMLText(response));
}

void TActionTrace::Value(std::string_view name, std::string_view value) {
  MainSession().LogString(TLgLevel::Debug, name, value);
}

void TActionTrace::Statement(std::string_view sql) {
  MainSession().LogSql(TLgLevel::Debug, log_name_ + ": string_Query", sql);
}

void TActionTrace::Error(std::string_view message) {
  MainSession().LogError(log_name_ + ": " + std::string(message));
}

void TActionTrace::Warning(std::string_view message) {
  MainSession().LogWarning(log_name_ + ": " + std::string(message));
}

void TActionTrace::Result(std::string_view result) {
  MainSession().LogString(TLgLevel::Debug, "Result", result);
}

std::string IntSlot(std::string_view slot, std::string_view value) {
  std::optional<std::string> checked = SqlInt(value);
  if (!checked) throw TRejectedValue(SqlIntError(slot, value));
  return *checked;
}

std::string FlagSlot(std::string_view slot, std::string_view value) {
  std::optional<std::string> checked = SqlFlag(value);
  if (!checked) throw TRejectedValue(SqlFlagError(slot, value));
  return *checked;
}

bool RunStatement(TActionTrace& trace, std::unique_ptr<TADOQuery>& query, std::string_view sql,
                  bool is_select, std::string& error) {
  trace.Statement(sql);
  const bool ok = ConnectToADODB(query, MemberConnectionString(), sql, is_select, error);
  if (!ok) trace.Error(error);
  return ok;
}

std::string FlagText(bool value) {
  return value ? "-1" : "0";
}

std::string NormaliseFlagText(std::string_view text) {
  std::string lower;
  for (char c : text) lower.push_back(LowerAscii(c));
  if (lower.empty() || lower == "falsch" || lower == "0") return "0";
  if (lower == "wahr" || lower == "-1" || lower == "1") return "-1";
  return std::string(text);
}

std::string AttendanceStatus(std::string_view from, std::string_view to) {
  if (from.empty()) return "0";
  return to.empty() ? "2" : "1";
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::mutex& MembershipWriteLock() {
  static std::mutex lock;
  return lock;
}

std::optional<std::string> ChooseFreeMemberPin(TActionTrace& trace, std::string& error) {
  std::unique_ptr<TADOQuery> query;
  for (int draw = 0; draw < kRandomPinDraws; ++draw) {
    const std::string pin = GenerateRandomPin();
    const std::string sql = "SELECT * FROM [conferenceMembers] WHERE pin like " + SqlLikeText(pin);
    if (!RunStatement(trace, query, sql, true, error)) return std::nullopt;
    const bool taken = !query->Eof();
    FreeADOQuery(query);
    if (!taken) return pin;
    trace.Value("PIN taken", pin);
  }

  // Nearly every PIN is taken: count the free ones and choose among them, so the search ends.
  const std::string sql = "SELECT DISTINCT pin FROM [conferenceMembers]";
  if (!RunStatement(trace, query, sql, true, error)) return std::nullopt;
  std::vector<bool> taken(kPinCount, false);
  int free_count = kPinCount;
  for (; !query->Eof(); query->Next()) {
    std::optional<int> n = PinNumber(query->FieldByName("pin").AsString());
    if (n && !taken[static_cast<size_t>(*n)]) {
      taken[static_cast<size_t>(*n)] = true;
      --free_count;
    }
  }
  FreeADOQuery(query);
  if (free_count == 0) {
    error = "Keine freie PIN verfügbar";
    trace.Error(error);
    return std::nullopt;
  }
  int64_t pick = RandomInt(0, free_count - 1);
  for (int n = 0; n < kPinCount; ++n) {
    if (taken[static_cast<size_t>(n)]) continue;
    if (pick-- == 0) return PinText(n);
  }
  return std::nullopt;  // not reached: pick < free_count
}

}  // namespace parlevo::teilnehmer
