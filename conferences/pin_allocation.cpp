#include "conferences/pin_allocation.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <unordered_set>

#include "logging/lg_auto.h"
#include "platform/random.h"
#include "service/action_statement.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

// Only the three PIN columns are ever read; the name goes into the statement as it stands.
bool IsPinColumn(std::string_view column) {
  return column == "PinHost" || column == "PinMember" || column == "PinListenOnly";
}

void AnswerNextFreePin(std::string_view column, pugi::xml_document& request, std::string& result) {
  MainSession().LogText(TLgLevel::Debug, "Request", DocumentXMLText(request));
  std::vector<std::string> used;
  const int pin = DetectNextFreePin(column, used);
  // A column that cannot be read leaves the answer as the dispatcher preset it.
  if (pin == kPinColumnUnreadable) return;
  if (pin == kNoFreePin) {
    result = CreateResultXML(-1, "Keine freie Pin verfügbar", "");
    return;
  }
  result = CreateResultXML(
      0, "Pin erzeugt",
      "<pin>" + std::to_string(pin) + "</pin><allpins>" + JoinUsedPins(used) + "</allpins>");
}

}  // namespace

int DetectNextFreePin(std::string_view column, std::vector<std::string>& used) {
  TLgMethodScope scope(MainSession(), "DetectNextFreePin");
  used.clear();
  if (!IsPinColumn(column)) {
    MainSession().LogError("DetectNextFreePin: no PIN column: " + std::string(column));
    return kPinColumnUnreadable;
  }
  TActionStatement query(UseConnectionString());
  const TStatementStatus selected =
      query.Run("Select " + std::string(column) + " FROM conferences", true);
  if (!selected) {
    MainSession().LogError(selected.message());
    return kPinColumnUnreadable;
  }
  // Which PINs of the range are taken: a used text counts when it is the decimal text of a PIN.
  std::vector<bool> taken(kHighestPin - kLowestPin + 1, false);
  std::unordered_set<std::string> seen;
  try {
    TADOQuery& rows = query.Rows();
    seen.reserve(rows.RecordCount());
    const auto field = rows.FieldByName(column);
    for (; !rows.Eof(); rows.Next()) {
      std::string value = field.AsString();
      if (!seen.insert(value).second) continue;
      int pin = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), pin);
      if (ec == std::errc() && end == value.data() + value.size() && pin >= kLowestPin &&
          pin <= kHighestPin && std::to_string(pin) == value) {
        taken[pin - kLowestPin] = true;
      }
      used.push_back(std::move(value));
    }
  } catch (const std::exception& e) {
    // The rows read so far stay in the list.
    MainSession().LogException(e, "DetectNextFreePin");
  }

  // Drawing the rank among the free PINs keeps the draw uniform and ends also when nearly every
  // PIN is taken.
  const int64_t free_count = std::count(taken.begin(), taken.end(), false);
  if (free_count == 0) return kNoFreePin;
  int64_t rank = RandomInt(0, free_count - 1);
  for (int pin = kLowestPin; pin <= kHighestPin; ++pin) {
    if (taken[pin - kLowestPin]) continue;
    if (rank-- == 0) {
      MainSession().LogInteger("Pin", pin);
      return pin;
    }
  }
  return kNoFreePin;  // not reached: rank < free_count
}

std::string JoinUsedPins(const std::vector<std::string>& used) {
  std::string text;
  for (const std::string& entry : used) {
    if (!text.empty()) text += ';';
    text += entry;
  }
  return text;
}

void GetNextFreeHostPin(pugi::xml_document& request, pugi::xml_document& response,
                        std::string& result) {
  TLgMethodScope scope(MainSession(), "GetNextFreeHostPin");
  AnswerNextFreePin("PinHost", request, result);
}

void GetNextFreeMemberPin(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result) {
  TLgMethodScope scope(MainSession(), "GetNextFreeMemberPin");
  AnswerNextFreePin("PinMember", request, result);
}

void GetNextFreeListenOnlyPin(pugi::xml_document& request, pugi::xml_document& response,
                              std::string& result) {
  TLgMethodScope scope(MainSession(), "GetNextFreeListenOnlyPin");
  AnswerNextFreePin("PinListenOnly", request, result);
}

}  // namespace parlevo
