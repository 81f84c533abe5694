#include "conferences/konferenzraum_common.h"

#include <exception>
#include <utility>

#include "platform/ascii_text.h"
#include "service/helpers.h"
#include "webservice/helpers_xml.h"

namespace parlevo::konferenzraum {
namespace {

bool IsNamed(pugi::xml_node node, std::string_view name) {
  return EqualsIgnoreCaseAscii(node.name(), name);
}

}  // namespace

void Trace(std::string_view action, std::string_view text) {
  std::string line = "[Konferenzraum][";
  line += action;
  line += "] ";
  line += text;
  WriteDebugLog(line);
}

void TraceQuery(std::string_view action, std::string_view sql) {
  Trace(action, std::string("Query: ") + std::string(sql));
}

void TraceNotConnected(std::string_view action, std::string_view error) {
  Trace(action, std::string("Not connected to database: ") + std::string(error));
}

void TraceException(std::string_view action, std::string_view message) {
  Trace(action, std::string("Exception: ") + std::string(message));
}

TActionStatement Statement(std::string_view action, std::string connect_str) {
  return TActionStatement(std::move(connect_str),
                          [action = std::string(action)](auto sql) { TraceQuery(action, sql); });
}

std::string Field(pugi::xml_document& request, std::string_view name) {
  const pugi::xml_node root = request.document_element();
  if (pugi::xml_node exact = FindXMLNode(root, name, false)) return NodeText(exact);
  for (pugi::xml_node child : root.children()) {
    if (child.type() == pugi::node_element && IsNamed(child, name)) return NodeText(child);
  }
  return NodeText(FindXMLNode(root, name, true));
}

std::vector<std::string> RepeatedFields(pugi::xml_document& request, std::string_view name) {
  std::vector<std::string> values;
  for (pugi::xml_node child : request.document_element().children()) {
    if (child.type() == pugi::node_element && IsNamed(child, name)) {
      values.push_back(NodeText(child));
    }
  }
  return values;
}

void SetChild(pugi::xml_node parent, std::string_view name, const std::string& value) {
  FindXMLNode(parent, name, true).text().set(value.c_str());
}

pugi::xml_node AnswerRoot(pugi::xml_document& response) {
  pugi::xml_node root = response.document_element();
  if (!root) root = response.append_child("RESPONSE");
  return root;
}

void WriteSuccessResult(pugi::xml_node root) {
  SetChild(root, "result.code", "0");
  SetChild(root, "result.description", "");
}

std::optional<TDateTime> DateTimeField(TADOQuery& query, std::string_view name) {
  try {
    const auto field = query.FieldByName(name);
    if (field.IsNull()) return std::nullopt;
    return field.AsDateTime();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace parlevo::konferenzraum
