// What the participant actions share: the trace of one action on the main logging session, the
// statements run through the database access routines with their logs, values of requests checked
// for the slots of a statement, the flag and attendance texts of the answers, and the drawing of
// member PINs that no membership holds yet.
//
// Thread safety: every function may be called from any thread. TActionTrace and a query belong to
// the thread of one action. MembershipWriteLock() is the one process-wide mutex that serialises
// every "test, then insert" on members and memberships (address-book duplicates and member PINs).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "service/action_statement.h"
#include "service/database.h"

namespace parlevo::teilnehmer {

// Enters the action under its log name ("Teilnehmer::" + routine) for the life of the object and
// logs what the action handles: documents, extracted values, statements, errors, the result.
class TActionTrace {
 public:
  explicit TActionTrace(std::string log_name);
  ~TActionTrace();
  TActionTrace(const TActionTrace&) = delete;
  TActionTrace& operator=(const TActionTrace&) = delete;

  const std::string& LogName() const { return log_name_; }
  void Documents(const pugi::xml_document& request, const pugi::xml_document& response);
  void Value(std::string_view name, std::string_view value);
  void Statement(std::string_view sql) const;
  // A runner for the action's statements: each is logged as "<log name>: string_Query" before it
  // runs, on a fresh connection. The runner must not outlive the trace.
  TActionStatement Statements() const;
  // The outcome of a statement, a failure logged first as the action's error.
  TStatementStatus Checked(TStatementStatus status);
  template <typename T>
  TStatementValue<T> Checked(TStatementValue<T> value) {
    if (!value) Error(value.message());
    return value;
  }
  // An error entry "<log name>: <message>".
  void Error(std::string_view message);
  void Warning(std::string_view message);
  void Result(std::string_view result);

 private:
  std::string log_name_;
};

// A request value refused by the slot of a statement; its message is the statement's error.
// Thrown rather than returned on purpose: a statement checks several slots while it is built, and
// one catch per action answers for all of them.
class TRejectedValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The slot texts of a statement; they throw TRejectedValue for a value the slot does not take.
std::string IntSlot(std::string_view slot, std::string_view value);
std::string FlagSlot(std::string_view slot, std::string_view value);

// A request field below parent (added when missing, as every reader of the request does), logged
// under its name as it is read; the Base64 form is logged decoded.
std::string LoggedField(pugi::xml_node parent, TActionTrace& trace, std::string_view name);
std::string LoggedBase64Field(pugi::xml_node parent, TActionTrace& trace, std::string_view name);

// The fields naming a member, read in this order wherever a request carries them.
struct TMemberFields {
  std::string anrede, titel, name, vorname, email, firma, projekt;
};
TMemberFields ReadMemberFields(pugi::xml_node parent, TActionTrace& trace);

// Sets the text of the element at path below parent, made when missing.
void SetElement(pugi::xml_node parent, std::string_view path, std::string_view text);

// The result envelope of the action as its answer, logged.
void Answer(TActionTrace& trace, std::string& result, int code, std::string_view description);

// The answer text of a flag: "-1" for true, "0" for false.
std::string FlagText(bool value);

// A flag read as text ("Wahr"/"Falsch", or a number) made a statement's literal: "falsch" and "0"
// give "0", "wahr", "-1" and "1" give "-1" (letter case ignored), an empty text (a NULL written
// by the conference side) gives "0"; any other text stays as it is.
std::string NormaliseFlagText(std::string_view text);

// "0" never joined (from empty), "2" in the conference now (to empty), "1" joined and left.
std::string AttendanceStatus(std::string_view from, std::string_view to);

// The mutex held around every duplicate test or PIN draw together with its insert.
std::mutex& MembershipWriteLock();

// How many random PINs are tried before the free ones are counted.
inline constexpr int kRandomPinDraws = 32;

// A five-digit member PIN that no membership of any conference holds. Tries random PINs first;
// when those are all taken, chooses uniformly among the free ones. The database's message when a
// statement failed, "Keine freie PIN verfügbar" when every PIN is taken. The caller holds
// MembershipWriteLock() until the PIN is inserted.
TStatementValue<std::string> ChooseFreeMemberPin(TActionTrace& trace);

}  // namespace parlevo::teilnehmer
