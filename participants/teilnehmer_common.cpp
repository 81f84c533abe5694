#include "participants/teilnehmer_common.h"

#include <algorithm>

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

std::string PinText(int n) {
  std::string pin(5, '0');
  for (int i = 4; i >= 0; --i, n /= 10)
    pin[static_cast<size_t>(i)] = static_cast<char>('0' + n % 10);
  return pin;
}

}  // namespace

namespace {

// Whether a membership of any conference holds the PIN; nullopt when the statement failed.
std::optional<bool> PinTaken(TActionTrace& trace, const std::string& pin, std::string& error) {
  std::unique_ptr<TADOQuery> query;
  const std::string sql = "SELECT * FROM [conferenceMembers] WHERE pin like " + SqlLikeText(pin);
  if (!RunStatement(trace, query, sql, true, error)) return std::nullopt;
  const bool taken = !query->Eof();
  FreeADOQuery(query);
  return taken;
}

// How many PINs from low up to (not including) high no membership holds.
std::optional<int> FreePinsIn(TActionTrace& trace, int low, int high, std::string& error) {
  std::string sql = "SELECT COUNT(DISTINCT pin) AS taken FROM [conferenceMembers] WHERE pin >= " +
                    SqlText(PinText(low));
  if (high < kPinCount) sql += " AND pin < " + SqlText(PinText(high));
  std::unique_ptr<TADOQuery> query;
  if (!RunStatement(trace, query, sql, true, error)) return std::nullopt;
  const int64_t taken = query->Eof() ? 0 : query->FieldByName("taken").AsInteger();
  FreeADOQuery(query);
  return static_cast<int>(std::max<int64_t>(0, high - low - taken));
}

}  // namespace

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
  const bool ok = ConnectToADODB(query, UseConnectionString(), sql, is_select, error);
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
  for (int draw = 0; draw < kRandomPinDraws; ++draw) {
    const std::string pin = GenerateRandomPin();
    const std::optional<bool> taken = PinTaken(trace, pin, error);
    if (!taken) return std::nullopt;
    if (!*taken) return pin;
    trace.Value("PIN taken", pin);
  }

  // Nearly every PIN is taken: choose uniformly among the free ones, so that the search ends.
  // The free PINs are found by counting halves of the range, which reads a few numbers instead
  // of every PIN of every conference.
  const std::optional<int> total = FreePinsIn(trace, 0, kPinCount, error);
  if (!total) return std::nullopt;
  if (*total == 0) {
    error = "Keine freie PIN verfügbar";
    trace.Error(error);
    return std::nullopt;
  }
  int64_t pick = RandomInt(0, *total - 1);
  int low = 0;
  int high = kPinCount;
  while (high - low > 1) {
    const int middle = low + (high - low) / 2;
    const std::optional<int> lower = FreePinsIn(trace, low, middle, error);
    if (!lower) return std::nullopt;
    if (pick < *lower) {
      high = middle;
    } else {
      pick -= *lower;
      low = middle;
    }
  }
  const std::string pin = PinText(low);
  const std::optional<bool> taken = PinTaken(trace, pin, error);
  if (!taken) return std::nullopt;
  if (*taken) {
    // Only stored PINs that are not five digits can mislead the counts this way.
    error = "Keine freie PIN verfügbar";
    trace.Error(error);
    return std::nullopt;
  }
  return pin;
}

}  // namespace parlevo::teilnehmer
