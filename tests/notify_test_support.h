// Test support for the invitation and reminder tests: a fresh install folder (configuration file
// with the start-up defaults, templates of dist/, language files, a database made by the schema
// code), used with the loopback mail peers of tests/mail_peers.h.
//
// Thread safety: meant for one test thread; the peers run in their own process.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "notifications/email.h"
#include "notifications/send_mail_module.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "tests/mail_peers.h"
#include "tests/temp_folder.h"

namespace parlevo::testing_support {

namespace fs = std::filesystem;

// The language files the tests send with: subjects with tags, the SMS and link texts, and the
// salutations the gender test compares with.
inline constexpr std::string_view kGermanLanguageFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<language>\n"
    "  <translation><ger>Deutsch</ger><eng>Englisch</eng></translation>\n"
    "  <general><mail>\n"
    "    <subjectinvite>Einladung: &lt;#conferenceName&gt; am "
    "&lt;#conferenceDate&gt; um &lt;#conferenceTime&gt; Uhr, Raum "
    "&lt;#roomName&gt; (&lt;#directDial&gt;)</subjectinvite>\n"
    "    <subjectdisinvite>Absage: &lt;#conferenceName&gt;</subjectdisinvite>\n"
    "    <smstext>Ihre Mobilnummer: </smstext>\n"
    "    <invitedmembers>Eingeladen sind:</invitedmembers>\n"
    "    <url>Zur Konferenz</url>\n"
    "  </mail></general>\n"
    "  <localsettings><salutation><male>Herr</male><female>Frau</female></salutation>"
    "</localsettings>\n"
    "</language>\n";

inline constexpr std::string_view kEnglishLanguageFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<language>\n"
    "  <translation><ger>German</ger><eng>English</eng></translation>\n"
    "  <general><mail>\n"
    "    <subjectinvite>Invitation: &lt;#conferenceName&gt;</subjectinvite>\n"
    "    <subjectdisinvite>Cancelled: &lt;#conferenceName&gt;</subjectdisinvite>\n"
    "    <smstext>Your mobile: </smstext>\n"
    "    <invitedmembers>Invited:</invitedmembers>\n"
    "    <url>To the conference</url>\n"
    "  </mail></general>\n"
    "  <localsettings><salutation><male>Mr</male><female>Ms</female></salutation>"
    "</localsettings>\n"
    "</language>\n";

// A fresh install folder that the process's ExeFolder, configuration file and e-mail module point
// to while it lives.
class TInstallFolder {
 public:
  TInstallFolder() {
    home_ = folder_.path().string() + "/";
    SetExeFolder(home_);
    SetRegistryFilePath(folder_.path() / "registry.reg");
    checkRegistry(home_);
    fs::copy(fs::path(PARLEVO_SOURCE_DIR) / "dist" / "Templates", folder_.path() / "Templates",
             fs::copy_options::recursive);
    folder_.Write("Templates/ger/language/language.xml", kGermanLanguageFile);
    folder_.Write("Templates/eng/language/language.xml", kEnglishLanguageFile);
    connect_str_ = GetConnectionString(home_);
    if (!CreateDatabaseIfMissing(connect_str_) || !UpdateDB(connect_str_)) {
      throw std::runtime_error("the test database could not be made");
    }
  }
  ~TInstallFolder() { SetEMailDataModule(nullptr); }
  TInstallFolder(const TInstallFolder&) = delete;
  TInstallFolder& operator=(const TInstallFolder&) = delete;

  const fs::path& path() const { return folder_.path(); }
  const std::string& home() const { return home_; }
  const std::string& connect_str() const { return connect_str_; }
  void Write(const fs::path& relative, std::string_view text) const {
    folder_.Write(relative, text);
  }

  void SetInteger(std::string_view name, int32_t value) const {
    TRegistry registry;
    registry.OpenKey(kParlevoRegistryKey, true);
    registry.WriteInteger(name, value);
  }
  void SetString(std::string_view name, std::string_view value) const {
    TRegistry registry;
    registry.OpenKey(kParlevoRegistryKey, true);
    registry.WriteString(name, value);
  }
  void DeleteValue(std::string_view name) const {
    TRegistry registry;
    registry.OpenKey(kParlevoRegistryKey, true);
    registry.DeleteValue(name);
  }

  // Runs a statement; throws with the database's message when it fails.
  void Exec(const std::string& sql) const {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    if (!ConnectToADODB(query, connect_str_, sql, false, error)) {
      throw std::runtime_error("statement failed: " + sql + ": " + error);
    }
    FreeADOQuery(query);
  }
  // The first row's values of the named columns as text; empty when there is no row.
  std::vector<std::string> Row(const std::string& sql,
                               const std::vector<std::string>& columns) const {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    if (!ConnectToADODB(query, connect_str_, sql, true, error)) {
      throw std::runtime_error("query failed: " + sql + ": " + error);
    }
    std::vector<std::string> values;
    if (!query->Eof()) {
      for (const auto& c : columns) values.push_back(query->FieldByName(c).AsString());
    }
    FreeADOQuery(query);
    return values;
  }
  int64_t Count(const std::string& sql) const {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    if (!ConnectToADODB(query, connect_str_, sql, true, error)) {
      throw std::runtime_error("query failed: " + sql + ": " + error);
    }
    const int64_t n = query->Eof() ? 0 : query->Fields(0).AsInteger();
    FreeADOQuery(query);
    return n;
  }

  // The service's e-mail module, asking the peers' DNS server.
  void UseMailPeers(const TMailPeers& peers) const {
    TEMailModuleOptions options = ServiceEMailModuleOptions();
    options.dns_server = {"127.0.0.1", peers.dns_port};
    SetEMailDataModule(std::make_shared<TEMailDataModule>(std::move(options)));
  }

 private:
  TTempFolder folder_{"parlevo_notify"};
  std::string home_;
  std::string connect_str_;
};

}  // namespace parlevo::testing_support
