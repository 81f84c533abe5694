#include "participants/teilnehmer_common.h"

#include <algorithm>

#include "logging/lg_auto.h"
#include "platform/ascii_text.h"
#include "platform/random.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo::teilnehmer {
namespace {

using logging::MainSession;
using logging::TLgLevel;

constexpr int kPinCount = 100000;

std::string PinText(int n) {
  std::string pin(5, '0');
  for (int i = 4; i >= 0; --i, n /= 10)
    pin[static_cast<size_t>(i)] = static_cast<char>('0' + n % 10);
  return pin;
}

}  // namespace

namespace {

// Whether a membership of any conference holds the PIN.
TStatementValue<bool> PinTaken(TActionTrace& trace, const std::string& pin) {
  TActionStatement query = trace.Statements();
  const TStatementStatus selected = trace.Checked(
      query.Run("SELECT * FROM [conferenceMembers] WHERE pin like " + SqlLikeText(pin), true));
  if (!selected) return selected;
  return !query.Rows().Eof();
}

// How many PINs from low up to (not including) high no membership holds.
TStatementValue<int> FreePinsIn(TActionTrace& trace, int low, int high) {
  std::string sql = "SELECT COUNT(DISTINCT pin) AS taken FROM [conferenceMembers] WHERE pin >= " +
                    SqlText(PinText(low));
  if (high < kPinCount) sql += " AND pin < " + SqlText(PinText(high));
  TActionStatement query = trace.Statements();
  if (const TStatementStatus counted = trace.Checked(query.Run(sql, true)); !counted) {
    return counted;
  }
  TADOQuery& rows = query.Rows();
  const int64_t taken = rows.Eof() ? 0 : rows.FieldByName("taken").AsInteger();
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

void TActionTrace::Statement(std::string_view sql) const {
  MainSession().LogSql(TLgLevel::Debug, log_name_ + ": string_Query", sql);
}

TActionStatement TActionTrace::Statements() const {
  return TActionStatement(UseConnectionString(), [this](std::string_view sql) { Statement(sql); });
}

TStatementStatus TActionTrace::Checked(TStatementStatus status) {
  if (!status) Error(status.message());
  return status;
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

std::string LoggedField(pugi::xml_node parent, TActionTrace& trace, std::string_view name) {
  std::string value = NodeText(FindXMLNode(parent, name, true));
  trace.Value(name, value);
  return value;
}

std::string LoggedBase64Field(pugi::xml_node parent, TActionTrace& trace, std::string_view name) {
  std::string value = Base64Decode(NodeText(FindXMLNode(parent, name, true)));
  trace.Value(name, value);
  return value;
}

TMemberFields ReadMemberFields(pugi::xml_node parent, TActionTrace& trace) {
  TMemberFields m;
  m.anrede = LoggedField(parent, trace, "anrede");
  m.titel = LoggedBase64Field(parent, trace, "titel");
  m.name = LoggedBase64Field(parent, trace, "name");
  m.vorname = LoggedBase64Field(parent, trace, "vorname");
  m.email = LoggedField(parent, trace, "email");
  m.firma = LoggedBase64Field(parent, trace, "firma");
  m.projekt = LoggedBase64Field(parent, trace, "projekt");
  return m;
}

void SetElement(pugi::xml_node parent, std::string_view path, std::string_view text) {
  FindXMLNode(parent, path, true).text().set(std::string(text).c_str());
}

void Answer(TActionTrace& trace, std::string& result, int code, std::string_view description) {
  result = CreateResultXML(code, description, "");
  trace.Result(result);
}

std::string FlagText(bool value) {
  return value ? "-1" : "0";
}

std::string NormaliseFlagText(std::string_view text) {
  const std::string lower = ToLowerAscii(text);
  if (lower.empty() || lower == "falsch" || lower == "0") return "0";
  if (lower == "wahr" || lower == "-1" || lower == "1") return "-1";
  return std::string(text);
}

std::string AttendanceStatus(std::string_view from, std::string_view to) {
  if (from.empty()) return "0";
  return to.empty() ? "2" : "1";
}

std::mutex& MembershipWriteLock() {
  static std::mutex lock;
  return lock;
}

TStatementValue<std::string> ChooseFreeMemberPin(TActionTrace& trace) {
  const auto none_free = [&]() -> TStatementValue<std::string> {
    const std::string error = "Keine freie PIN verfügbar";
    trace.Error(error);
    return TStatementStatus::Failed(error);
  };
  for (int draw = 0; draw < kRandomPinDraws; ++draw) {
    const std::string pin = GenerateRandomPin();
    const TStatementValue<bool> taken = PinTaken(trace, pin);
    if (!taken) return TStatementStatus::Failed(taken.message());
    if (!*taken) return pin;
    trace.Value("PIN taken", pin);
  }

  // Nearly every PIN is taken: choose uniformly among the free ones, so that the search ends.
  // The free PINs are found by counting halves of the range, which reads a few numbers instead
  // of every PIN of every conference.
  const TStatementValue<int> total = FreePinsIn(trace, 0, kPinCount);
  if (!total) return TStatementStatus::Failed(total.message());
  if (*total == 0) return none_free();
  int64_t pick = RandomInt(0, *total - 1);
  int low = 0;
  int high = kPinCount;
  while (high - low > 1) {
    const int middle = low + (high - low) / 2;
    const TStatementValue<int> lower = FreePinsIn(trace, low, middle);
    if (!lower) return TStatementStatus::Failed(lower.message());
    if (pick < *lower) {
      high = middle;
    } else {
      pick -= *lower;
      low = middle;
    }
  }
  const std::string pin = PinText(low);
  const TStatementValue<bool> taken = PinTaken(trace, pin);
  if (!taken) return TStatementStatus::Failed(taken.message());
  // Only stored PINs that are not five digits can mislead the counts this way.
  if (*taken) return none_free();
  return pin;
}

}  // namespace parlevo::teilnehmer
