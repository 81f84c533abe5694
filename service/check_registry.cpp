#include "service/check_registry.h"

#include "logging/lg_auto.h"

namespace parlevo {

std::vector<TRegistryValue> RegistryDefaults(const std::string& install_path) {
  using V = TRegistryValue;
  return {
      V{"ExtServerURL", std::string("localhost")},
      V{"InstallPath", install_path},
      V{"isLotusNotes", 0},
      V{"language", std::string("ger")},
      V{"MailActivate", 0},
      V{"MailHost", std::string("localhost")},
      V{"MailOutlookActivate", 0},
      V{"MailOutlookAlarmActivate", 0},
      V{"MailOutlookAlarmHours", 0},
      V{"MailOutlookAlarmMinutes", 0},
      V{"MailSender", std::string()},
      V{"MailSenderUseRoomName", 0},
      V{"MailServerLogin", std::string()},
      V{"MailServerPass", std::string()},
      V{"MaxMembers", 30},
      V{"Port", 81},
      V{"ReminderInterval", 60},
      V{"ReminderTime", 60},
      V{"SMSActivate", 0},
      V{"SMSHost", std::string()},
      V{"SMSSender", std::string()},
      V{"SMSServer", std::string()},
      V{"SMSSubject", std::string()},
      V{"SMStoExt", std::string()},
      V{"TimeShowMode", 24},
  };
}

void checkRegistry(const std::string& install_path) {
  auto& session = logging::MainSession();
  logging::TLgMethodScope scope(session, "TZyntParlevo::checkRegistry");
  session.LogMessage(
      "Check if all needed registry keys are available. Craete them and set default values if "
      "they are not.");
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  const auto defaults = RegistryDefaults(install_path);
  for (const std::string& name : registry.WriteMissingValues(defaults)) {
    session.LogString(logging::TLgLevel::Debug, "Default written", name);
  }
}

}  // namespace parlevo
