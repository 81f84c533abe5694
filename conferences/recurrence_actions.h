// The series actions of DoKonferenzAction: "getRecurrence" (GetRecurrence), "addRecurrence"
// (Recurrence_Add), "updateRecurrence" (Recurrence_Update) and "deleteRecurrence"
// (Recurrence_Delete). Adding, changing or deleting a series creates or removes its conferences
// at once, in the request's thread, before the answer goes back.
//
// Thread safety: the handlers may run in several threads at once; the three that change series
// hold the process-wide series lock (recurrence_scan.h) for their work, except the deletion of a
// deleted series' conferences (with their cancellation mails), which comes after it.
#pragma once

#include <string>

#include <pugixml.hpp>

#include "platform/datetime.h"

namespace parlevo {

void GetRecurrence(pugi::xml_document& request, pugi::xml_document& response, std::string& result);
void Recurrence_Add(pugi::xml_document& request, pugi::xml_document& response, std::string& result);
void Recurrence_Update(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result);
void Recurrence_Delete(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result);

// The handlers above with the moment their scan treats as "now" (local time).
void Recurrence_AddAt(pugi::xml_document& request, pugi::xml_document& response,
                      std::string& result, TDateTime now);
void Recurrence_UpdateAt(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result, TDateTime now);
void Recurrence_DeleteAt(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result, TDateTime now);

}  // namespace parlevo
