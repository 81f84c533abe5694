#include "participants/teilnehmer_addressbook.h"

#include <memory>
#include <mutex>

#include "logging/lg_auto.h"
#include "participants/teilnehmer_common.h"
#include "platform/ascii_text.h"
#include "service/database.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using teilnehmer::FlagText;
using teilnehmer::SetElement;
using teilnehmer::TActionTrace;

std::string Field(pugi::xml_document& request, TActionTrace& trace, std::string_view name) {
  return teilnehmer::LoggedField(request.document_element(), trace, name);
}

}  // namespace

bool Participants_Exists(std::string_view name, std::string_view firstname, std::string_view email,
                         std::string& id) {
  TActionTrace trace("Teilnehmer::Participants_Exists");
  trace.Value("Name", name);
  trace.Value("Firstname", firstname);
  trace.Value("EMail", email);
  TActionStatement members = trace.Statements();
  if (!trace.Checked(members.Run("SELECT * FROM [members]", true))) return false;
  bool found = false;
  try {
    for (TADOQuery& query = members.Rows(); !query.Eof(); query.Next()) {
      if (EqualsIgnoreCaseAscii(query.FieldByName("name").AsString(), name) &&
          EqualsIgnoreCaseAscii(query.FieldByName("firstname").AsString(), firstname) &&
          EqualsIgnoreCaseAscii(query.FieldByName("email").AsString(), email)) {
        id = query.FieldByName("ID").AsString();
        found = true;
        break;
      }
    }
  } catch (const std::exception& e) {
    logging::MainSession().LogException(e, trace.LogName());
  }
  members.Release();
  trace.Value("ID", found ? id : std::string());
  return found;
}

void Participants_Add(pugi::xml_document& request, pugi::xml_document& response,
                      std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participants_Add");
  trace.Documents(request, response);
  const teilnehmer::TMemberFields m =
      teilnehmer::ReadMemberFields(request.document_element(), trace);
  const std::string sprache =
      teilnehmer::LoggedBase64Field(request.document_element(), trace, "sprache");
  const std::string mobil = Field(request, trace, "mobil");

  {
    // Test and insert as one step, so two equal requests at once store one member.
    std::lock_guard lock(teilnehmer::MembershipWriteLock());
    std::string id;
    if (!Participants_Exists(m.name, m.vorname, m.email, id)) {
      const std::string sql =
          "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
          "[project],[language]) VALUES (" +
          SqlText(m.anrede) + ", " + SqlText(m.titel) + ", " + SqlText(m.name) + ", " +
          SqlText(m.vorname) + ", " + SqlText(m.email) + ", " + SqlText(mobil) + ", " +
          SqlText(m.firma) + ", " + SqlText(m.projekt) + ", " + SqlText(sprache) + ")";
      TActionStatement insert = trace.Statements();
      if (const TStatementStatus added = trace.Checked(insert.Run(sql, false)); !added) {
        result = CreateResultXML(-1, added.message(), "");
        trace.Result(result);
        return;
      }
    }
  }
  result = CreateResultXML(0, "Teilnehmer zur Konferenz hinzugefügt", "");
  trace.Result(result);
}

void Participants_Get(pugi::xml_document& request, pugi::xml_document& response,
                      std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participants_Get");
  trace.Documents(request, response);
  TActionStatement members = trace.Statements();
  if (const TStatementStatus selected = trace.Checked(members.Run("SELECT * FROM [members]", true));
      !selected) {
    result = CreateResultXML(-1, selected.message(), "");
    trace.Result(result);
    return;
  }
  TADOQuery& query = members.Rows();
  pugi::xml_node root = response.document_element();
  if (query.Eof()) {
    members.Release();
    GetQueryResultText(response, "Fehler");
    result = DocumentXMLText(response);
    trace.Result(result);
    return;
  }
  if (Field(request, trace, "type") != "addressbookToOverview") {
    SetElement(root, "Type", "GetTeilnehmer");
  }
  try {
    for (; !query.Eof(); query.Next()) {
      pugi::xml_node entry = root.append_child("Liste");
      SetElement(entry, "TeilnehmerID", query.FieldByName("ID").AsString());
      SetElement(entry, "Anrede", query.FieldByName("sex").AsString());
      SetElement(entry, "Titel", Base64Encode(query.FieldByName("title").AsString()));
      SetElement(entry, "Name", Base64Encode(query.FieldByName("name").AsString()));
      SetElement(entry, "Vorname", Base64Encode(query.FieldByName("firstname").AsString()));
      SetElement(entry, "Email", query.FieldByName("email").AsString());
      SetElement(entry, "Mobil", query.FieldByName("sms").AsString());
      SetElement(entry, "Firma", Base64Encode(query.FieldByName("company").AsString()));
      SetElement(entry, "Projekt", Base64Encode(query.FieldByName("project").AsString()));
      SetElement(entry, "HideFromAddressbook",
                 FlagText(query.FieldByName("HideFromAddressbook").AsBoolean()));
      SetElement(entry, "Sprache", query.FieldByName("language").AsString());
    }
  } catch (const std::exception& e) {
    members.Release();
    trace.Error(e.what());
    result = CreateResultXML(-1, e.what(), "");
    trace.Result(result);
    return;
  }
  members.Release();
  SetElement(root, "result.code", "0");
  SetElement(root, "result.description", "");
  result = DocumentXMLText(response);
  trace.Result(result);
}

void Participants_UpdateAddressbook(pugi::xml_document& request, pugi::xml_document& response,
                                    std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participants_UpdateAddressbook");
  trace.Documents(request, response);
  const std::string teilnehmerid = Field(request, trace, "teilnehmerid");
  const teilnehmer::TMemberFields m =
      teilnehmer::ReadMemberFields(request.document_element(), trace);
  const std::string mobil = Field(request, trace, "mobil");
  const std::string sprache = Field(request, trace, "sprache");

  std::string error;
  bool ok = false;
  try {
    const std::string sql = "UPDATE [members] SET sex=" + SqlText(m.anrede) +
                            ", title=" + SqlText(m.titel) + ", name=" + SqlText(m.name) +
                            ", firstname=" + SqlText(m.vorname) + ", email=" + SqlText(m.email) +
                            ", sms=" + SqlText(mobil) + ", company=" + SqlText(m.firma) +
                            ", project=" + SqlText(m.projekt) + ", [language]=" + SqlText(sprache) +
                            " WHERE ID=" + teilnehmer::IntSlot("TeilnehmerID", teilnehmerid);
    TActionStatement update = trace.Statements();
    const TStatementStatus updated = trace.Checked(update.Run(sql, false));
    ok = updated.ok();
    error = updated.message();
  } catch (const teilnehmer::TRejectedValue& e) {
    error = e.what();
    trace.Error(error);
  }
  result = ok ? CreateResultXML(0, "Teilnehmerdaten (Adressbuch) aktualisiert", "")
              : CreateResultXML(-1, error, "");
  trace.Result(result);
}

void Participants_Delete(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result) {
  result = "error";
  TActionTrace trace("Teilnehmer::Participants_Delete");
  trace.Documents(request, response);
  const std::string teilnehmerid = Field(request, trace, "TeilnehmerID");

  std::string error;
  try {
    const std::string id = teilnehmer::IntSlot("TeilnehmerID", teilnehmerid);
    // The three deletes stand or fall together: a member is never left half removed.
    TADOQuery query;
    query.Connection().Open(UseConnectionString());
    query.Connection().BeginTrans();
    for (const std::string& sql : {"Delete FROM [conferenceMemberLog] WHERE memberID=" + id,
                                   "Delete FROM [conferenceMembers] WHERE memberID=" + id,
                                   "Delete FROM [members] WHERE ID=" + id}) {
      trace.Statement(sql);
      // Changing no row is no error here: a member without log rows or memberships is usual.
      if (!RunOnQuery(query, sql, false, error) && !error.empty()) break;
    }
    if (error.empty()) {
      query.Connection().CommitTrans();
    } else {
      query.Connection().RollbackTrans();
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!error.empty()) {
    trace.Error(error);
    result = CreateResultXML(-1, error, "");
  } else {
    result = CreateResultXML(0, "Konferenzteilnehmer gelöscht", "");
  }
  trace.Result(result);
}

}  // namespace parlevo
