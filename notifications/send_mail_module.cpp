#include "notifications/send_mail_module.h"

#include <cstdlib>
#include <exception>
#include <mutex>

#include "logging/lg_auto.h"
#include "platform/registry.h"
#include "service/action_statement.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/sql_values.h"

namespace parlevo {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

namespace {

std::mutex module_mutex;
std::shared_ptr<TEMailDataModule> module_instance;

int ReadIsLotusNotes() {
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  return registry.ReadInteger("isLotusNotes");
}

std::string ReadMailSender() {
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  return registry.ReadString("MailSender");
}

}  // namespace

std::shared_ptr<TEMailDataModule> EMailDataModule() {
  std::lock_guard lock(module_mutex);
  return module_instance;
}

void SetEMailDataModule(std::shared_ptr<TEMailDataModule> module) {
  std::lock_guard lock(module_mutex);
  module_instance = std::move(module);
}

TEMailModuleOptions ServiceEMailModuleOptions() {
  TEMailModuleOptions options;
  options.app_path = ExeFolder();
  options.read_is_lotus_notes = ReadIsLotusNotes;
  options.read_mail_sender = ReadMailSender;
  options.read_attendees = getAllRecipients;
  options.write_debug_log = [](std::string_view line) { WriteDebugLog(line); };
  if (const char* dns = std::getenv(kDnsServerEnvVar); dns != nullptr && *dns != '\0') {
    if (auto server = ParseDnsServer(dns)) {
      options.dns_server = *server;
    } else {
      MainSession().LogError(std::string(kDnsServerEnvVar) + " is no DNS server address: '" + dns +
                             "'; the system's resolver is asked");
    }
  }
  return options;
}

void CreateEMailDataModule() {
  SetEMailDataModule(std::make_shared<TEMailDataModule>(ServiceEMailModuleOptions()));
}

std::optional<std::vector<std::string>> getAllRecipients(std::string_view conference_id) {
  auto& log = MainSession();
  TLgMethodScope scope(log, "getAllRecipients");
  const std::string connect_str = GetConnectionString();
  const auto trace = [&log](std::string_view label) {
    return [&log, label](std::string_view sql) { log.LogSql(TLgLevel::Debug, label, sql); };
  };
  const auto id = SqlInt(conference_id);
  const std::string sql = "Select [memberID] FROM [conferenceMembers] where [conferenceID] = " +
                          (id ? *id : std::string(conference_id)) + " and [host] <> -1";
  if (!id) {
    // The statement is traced as it would have run: the trace shows what was asked for.
    trace("string_Query")(sql);
    log.LogError(SqlIntError("conferenceID", conference_id));
    return std::nullopt;
  }
  TActionStatement memberships(connect_str, trace("string_Query"));
  if (const auto status = memberships.Run(sql, true); !status) {
    log.LogError(status.message());
    return std::nullopt;
  }
  log.LogMessage("getAllRecipients::getAllRecipients Query auslesen Start");
  std::vector<std::string> list;
  for (TADOQuery& rows = memberships.Rows(); !rows.Eof(); rows.Next()) {
    try {
      const auto member_id = SqlInt(rows.FieldByName("memberID").AsString());
      if (!member_id) continue;
      TActionStatement member(connect_str, trace("string_SubQuery"));
      const auto status = member.Run(
          "Select [name], [firstname], [email] from [members] where [ID] = " + *member_id, true);
      if (!status) {
        log.LogError(status.message());
        return std::nullopt;
      }
      for (TADOQuery& fields = member.Rows(); !fields.Eof(); fields.Next()) {
        std::string line = fields.FieldByName("name").AsString() + "|" +
                           fields.FieldByName("firstname").AsString() + "|" +
                           fields.FieldByName("email").AsString();
        log.LogString(TLgLevel::Debug, "strBuffer", line);
        list.push_back(std::move(line));
      }
    } catch (const std::exception& e) {
      // One unreadable member does not end the list.
      log.LogException(e, "getAllRecipients");
    }
  }
  return list;
}

}  // namespace parlevo
