// The process's one e-mail module and what ties it to the rest of the service: the registry
// values it reads, the conference members it lists as calendar attendees (from the database), the
// debug log and the install folder.
//
// Thread safety: EMailDataModule and SetEMailDataModule may be called from any thread; a send
// that has fetched the module keeps it alive even when it is replaced meanwhile. getAllRecipients
// may be called from any thread (each statement has its own connection).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notifications/email.h"
#include "service/check_registry.h"

namespace parlevo {

// The process-wide instance; empty until the program entry has created it.
std::shared_ptr<TEMailDataModule> EMailDataModule();
// Replaces the process-wide instance (an empty pointer removes it).
void SetEMailDataModule(std::shared_ptr<TEMailDataModule> module);

// The environment variable that names the DNS server asked for mail exchangers, as "ADDRESS" or
// "ADDRESS:PORT" (for example "127.0.0.1:5353"); unset or empty: the system's resolver setup.
inline constexpr const char* kDnsServerEnvVar = "ZYNTPARLEVO_DNS_SERVER";

// The options of the service's module: the install folder ExeFolder(), "isLotusNotes" and
// "MailSender" from the registry, the attendees from getAllRecipients, the debug log file, and
// the DNS server of kDnsServerEnvVar (a value that is no address is logged and left aside).
TEMailModuleOptions ServiceEMailModuleOptions();

// Creates the module with ServiceEMailModuleOptions() and makes it the process-wide instance.
void CreateEMailDataModule();

// The attendees of a conference: "name|firstname|email" of every member who is not a host, in
// the order of the memberships; nullopt when a statement fails. conference_id must be a decimal
// number (anything else fails the statement).
std::optional<std::vector<std::string>> getAllRecipients(std::string_view conference_id);

}  // namespace parlevo
