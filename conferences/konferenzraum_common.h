// What the room and the conference actions share: their lines in the debug log
// ("[Konferenzraum][<action>] ..."), their statement runner traced that way, and the reading of
// request fields and writing of answer elements they have in common.
//
// Thread safety: every function may be called from any thread; a document must not be used by
// two threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "platform/datetime.h"
#include "service/action_statement.h"

namespace parlevo::konferenzraum {

// "[Konferenzraum][<action>] <text>" into the debug log.
void Trace(std::string_view action, std::string_view text);
void TraceQuery(std::string_view action, std::string_view sql);
void TraceNotConnected(std::string_view action, std::string_view error);
void TraceException(std::string_view action, std::string_view message);

// A statement runner that traces "[Konferenzraum][<action>] Query: <sql>".
TActionStatement Statement(std::string_view action, std::string connect_str);

// The text of a request field; a missing field reads as empty (and is added, as every reader
// of the request does). Requests that did not pass the dispatcher's tag lowering (those the
// series engine builds) are matched without regard to case as well.
std::string Field(pugi::xml_document& request, std::string_view name);

// The texts of all children of the request's root with the given name, in document order.
std::vector<std::string> RepeatedFields(pugi::xml_document& request, std::string_view name);

void SetChild(pugi::xml_node parent, std::string_view name, const std::string& value);

// The answer document's root; a caller that handed an empty document gets one made.
pugi::xml_node AnswerRoot(pugi::xml_document& response);

void WriteSuccessResult(pugi::xml_node root);

// A date-time column as a value; nullopt when it is empty or cannot be read as one.
std::optional<TDateTime> DateTimeField(TADOQuery& query, std::string_view name);

}  // namespace parlevo::konferenzraum
