// Test support for the room, conference and PIN actions: a fresh install folder with its
// configuration file and a database made by the schema code, a way to run a handler on a request
// text as the dispatcher does, and direct reads and writes of the tables.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <pugixml.hpp>

#include "participants/teilnehmer_test_support.h"
#include "platform/registry.h"
#include "service/action_statement.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "webservice/action_request.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo::testing_support {

// A local date-time.
inline TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return EncodeDateTime({y, mo, d, h, mi, s, 0});
}

// The result envelope of an answer.
inline std::string Envelope(int code, const std::string& description, const std::string& add = "") {
  return CreateResultXML(code, description, add);
}

// A request of the front end for the action with the given fields.
inline std::string Request(const std::string& action, const std::string& fields) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><Request><Action>" + action + "</Action>" +
         fields + "</Request>";
}

// The names of the children of an element, in order.
inline std::vector<std::string> ChildNames(pugi::xml_node node) {
  std::vector<std::string> names;
  for (pugi::xml_node child : node.children()) names.push_back(child.name());
  return names;
}

// The member database's install folder, with the zone the conference times are written in and
// the connection text the actions use.
class InstallFolderTest : public MemberDatabaseTest {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    MemberDatabaseTest::SetUp();
    if (HasFatalFailure()) return;
    connect_str_ = UseConnectionString();
    ASSERT_EQ(connect_str_, connstr_);
  }

  void TearDown() override {
    MemberDatabaseTest::TearDown();
    unsetenv("TZ");
    tzset();
  }

  // Runs the handler on the request text as the dispatcher does: answer preset to "error", an
  // answer document rooted "RESPONSE".
  std::string Call(const TActionHandler& handler, const std::string& request_text) {
    return RunActionRequest(handler, request_text);
  }

  // The rows of a select, every column as text.
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    TActionStatement statement(connect_str_);
    const TStatementStatus status = statement.Run(sql, true);
    EXPECT_TRUE(status) << sql << ": " << status.message();
    if (!status) return rows;
    for (TADOQuery& query = statement.Rows(); !query.Eof(); query.Next()) {
      std::vector<std::string> row;
      for (size_t i = 0; i < query.FieldCount(); ++i) row.push_back(query.Fields(i).AsString());
      rows.push_back(std::move(row));
    }
    return rows;
  }

  std::string Scalar(const std::string& sql) {
    const auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? std::string("<no row>") : rows[0][0];
  }

  // The text of the element at the dotted path below the root of an XML answer.
  static std::string AnswerValue(const std::string& answer, const std::string& path) {
    pugi::xml_document doc;
    if (!doc.load_string(answer.c_str())) return "<not xml>";
    pugi::xml_node node = FindXMLNode(doc.document_element(), path, false);
    return node ? NodeText(node) : std::string("<missing>");
  }

  std::string connect_str_;
};

}  // namespace parlevo::testing_support
