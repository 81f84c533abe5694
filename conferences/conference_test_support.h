// Test support for the room, conference and PIN actions: a fresh install folder with its
// configuration file and a database made by the schema code, a way to run a handler on a request
// text as the dispatcher does, and direct reads and writes of the tables.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "conferences/action_query.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo::testing_support {

using THandler = std::function<void(pugi::xml_document&, pugi::xml_document&, std::string&)>;

class InstallFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    char tmpl[] = "/tmp/parlevo-conf-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    SetExeFolder(dir_ + "/");
    SetRegistryFilePath(dir_ + "/registry.reg");
    {
      TRegistry registry;
      ASSERT_TRUE(registry.OpenKey(kParlevoRegistryKey, true));
      registry.WriteString("InstallPath", dir_ + "/");
    }
    connect_str_ = UseConnectionString();
    ASSERT_FALSE(connect_str_.empty());
    ASSERT_TRUE(CreateDatabaseIfMissing(connect_str_));
    ASSERT_TRUE(UpdateDB(connect_str_));
  }

  void TearDown() override {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
    unsetenv("TZ");
    tzset();
  }

  // Runs the handler on the request text as the dispatcher does: answer preset to "error", an
  // answer document rooted "RESPONSE".
  std::string Call(const THandler& handler, const std::string& request_text) {
    pugi::xml_document request;
    LoadRequestDocument(request, request_text);
    pugi::xml_document response;
    response.append_child("RESPONSE");
    std::string result = "error";
    handler(request, response, result);
    return result;
  }

  // A statement that must succeed.
  void Exec(const std::string& sql) {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    ASSERT_TRUE(ConnectToADODB(query, connect_str_, sql, false, error)) << sql << ": " << error;
    FreeADOQuery(query);
  }

  // The rows of a select, every column as text.
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    std::unique_ptr<TADOQuery> query;
    std::string error;
    EXPECT_TRUE(ConnectToADODB(query, connect_str_, sql, true, error)) << sql << ": " << error;
    if (!query) return rows;
    for (; !query->Eof(); query->Next()) {
      std::vector<std::string> row;
      for (size_t i = 0; i < query->FieldCount(); ++i) row.push_back(query->Fields(i).AsString());
      rows.push_back(std::move(row));
    }
    FreeADOQuery(query);
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

  std::string dir_;
  std::string connect_str_;
};

}  // namespace parlevo::testing_support
