// Test support for the invitation and reminder tests: a fresh install folder (configuration file
// with the start-up defaults, templates of dist/, language files, a database made by the schema
// code) and the loopback mail peers of tests/mail_peers.py (SMTP servers on 127.0.0.x port 25 and
// a DNS server answering MX queries).
//
// Thread safety: meant for one test thread; the peers run in their own process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
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

namespace parlevo::testing_support {

namespace fs = std::filesystem;

inline std::string Unhex(const std::string& hex) {
  if (hex == "-") return {};
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

inline bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

class TTempFolder {
 public:
  TTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "parlevo_notify_XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TTempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  const fs::path& path() const { return path_; }
  void Write(const fs::path& relative, std::string_view text) const {
    fs::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative, std::ios::binary) << text;
  }

 private:
  fs::path path_;
};

struct TPart {
  std::string content_type, bytes, text;
};

struct TMessage {
  std::string ip, raw, subject, mail_from;
  std::vector<std::string> rcpt;
  std::vector<TPart> parts;
  int defects = -1;

  // The calendar part's text with folded lines joined; empty when there is none.
  std::string Calendar() const {
    for (const auto& part : parts) {
      if (part.content_type.rfind("text/calendar", 0) != 0) continue;
      std::string ics = part.text;
      for (size_t at; (at = ics.find("\r\n ")) != std::string::npos;) ics.erase(at, 3);
      return ics;
    }
    return {};
  }
};

// The peer process, started with its arguments and stopped when this object goes.
class TMailPeers {
 public:
  explicit TMailPeers(const std::vector<std::string>& args) {
    record_ = folder_.path() / "record.txt";
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv_text = {"/usr/bin/python3",
                                          PARLEVO_SOURCE_DIR "/tests/mail_peers.py", "--record",
                                          record_.string()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    std::istringstream in(line);
    std::string word;
    in >> word >> dns_port;
    if (word != "ready") throw std::runtime_error("mail peers did not start: " + line);
    while (in >> word) {
      const size_t eq = word.find('=');
      ip[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  ~TMailPeers() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  TMailPeers(const TMailPeers&) = delete;
  TMailPeers& operator=(const TMailPeers&) = delete;

  std::vector<std::vector<std::string>> Events() const {
    std::vector<std::vector<std::string>> events;
    std::ifstream in(record_);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::vector<std::string> event;
      std::string field;
      while (fields >> field) event.push_back(field);
      if (!event.empty()) events.push_back(std::move(event));
    }
    return events;
  }
  // Events of one kind (optionally at one address), in order.
  std::vector<std::vector<std::string>> Events(const std::string& kind,
                                               const std::string& at = "") const {
    std::vector<std::vector<std::string>> found;
    for (auto& e : Events()) {
      if (e[0] == kind && (at.empty() || (e.size() > 1 && e[1] == at))) found.push_back(e);
    }
    return found;
  }
  std::vector<TMessage> Messages() const {
    std::vector<TMessage> messages;
    std::map<std::string, std::pair<std::string, std::vector<std::string>>> envelope;
    for (auto& e : Events()) {
      if (e[0] == "MAIL") envelope[e[1]] = {Unhex(e[2]), {}};
      if (e[0] == "RCPT") envelope[e[1]].second.push_back(Unhex(e[2]));
      if (e[0] == "MESSAGE") {
        TMessage m;
        m.ip = e[1];
        m.raw = Unhex(e[2]);
        m.mail_from = envelope[e[1]].first;
        m.rcpt = envelope[e[1]].second;
        messages.push_back(std::move(m));
      }
      if (e[0] == "SUBJECT") messages.back().subject = Unhex(e[2]);
      if (e[0] == "PART") messages.back().parts.push_back({Unhex(e[2]), Unhex(e[3]), Unhex(e[4])});
      if (e[0] == "DEFECTS") messages.back().defects = std::stoi(e[2]);
    }
    return messages;
  }

  uint16_t dns_port = 0;
  std::map<std::string, std::string> ip;

 private:
  TTempFolder folder_;
  fs::path record_;
  pid_t pid_ = -1;
};

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
  TTempFolder folder_;
  std::string home_;
  std::string connect_str_;
};

}  // namespace parlevo::testing_support
