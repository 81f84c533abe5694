// Program entry of the conference service: install, uninstall, or run in the foreground.
#include <chrono>
#include <memory>

#include "app/zynt_parlevo.h"
#include "conferences/recurrence_handler.h"
#include "front/frontend_files.h"
#include "front/http_bridge.h"
#include "front/soap_web_module.h"
#include "logging/lg_auto.h"
#include "notifications/send_mail_module.h"
#include "notifications/sms_reminder.h"
#include "platform/db.h"
#include "platform/registry.h"
#include "platform/service_app.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"

namespace parlevo {
namespace {

// The SMS reminder thread as the service owns it: freeing it stops and joins the thread.
struct TSMSReminderWorker : IServiceWorker {
  TSMSReminder reminder;
};

TZyntParlevoParts ServiceParts() {
  TZyntParlevoParts parts;
  parts.make_http_server = [] {
    auto bridge = std::make_unique<TIdHTTPWebBrokerBridge>();
    bridge->RegisterWebModuleClass(SOAPWebModuleClass());
    bridge->SetOnCommandGet(HTTPServerCommandGet);
    return bridge;
  };
  parts.update_db = [] { UpdateDB(GetConnectionString()); };
  parts.make_sms_reminder = [] { return std::make_unique<TSMSReminderWorker>(); };
  parts.make_recurrence_handler = [] { return std::make_unique<TRecurrenceHandler>(); };
  parts.sms_reminder_period = []() -> std::chrono::steady_clock::duration {
    TRegistry registry;
    registry.OpenKey(kParlevoRegistryKey, true);
    return std::chrono::seconds(ReminderWaitSeconds(registry.ReadInteger("ReminderInterval")));
  };
  parts.interrupt_outgoing = [] {
    if (auto module = EMailDataModule()) module->CancelSends();
    // Request threads blocked on a stalled log viewer (synchronous outputs) give up within the
    // stop grace, all at once, so that the front's stop can join them.
    logging::GlobalLogCenter().LimitWaits(std::chrono::steady_clock::now() +
                                          logging::TLogCenter::kStopGrace);
    db::SetLockWaitsInterrupted(true);
  };
  return parts;
}

}  // namespace
}  // namespace parlevo

int main(int argc, char** argv) {
  using namespace parlevo;
  return ServiceMain(argc, argv, [](const TServiceOptions& options) {
    SetExeFolder(options.home.string());
    SetRegistryFilePath(ResolveRegistryFilePath(options.registry_file, options.home));
    auto service = std::make_unique<TZyntParlevo>(ServiceParts());
    CreateEMailDataModule();
    return service;
  });
}
