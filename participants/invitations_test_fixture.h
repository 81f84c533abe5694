// Test fixture of the invitation tests: a fresh install folder with a database holding one room,
// one conference and three members (a host and two guests), the service's e-mail module asking
// the loopback mail peers (SMTP servers on 127.0.0.x port 25, a DNS server answering MX queries).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/notify_test_support.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo::testing_support {

struct TAnswer {
  std::string result;
  pugi::xml_document response;
  std::string Element(std::string_view path) {
    return NodeText(FindXMLNode(response.document_element(), path, false));
  }
  bool Has(std::string_view path) {
    return static_cast<bool>(FindXMLNode(response.document_element(), path, false));
  }
};

class Invitations : public ::testing::Test {
 protected:
  Invitations()
      : peers_({"--smtp", "a:ok", "--smtp", "gw:ok", "--mx", "example.test=10:a", "--mx",
                "gw.example.test=10:gw"}) {}

  void SetUp() override {
    install_.UseMailPeers(peers_);
    install_.SetInteger("MailActivate", 1);
    install_.SetInteger("MailOutlookActivate", 1);
    install_.SetInteger("MailOutlookAlarmActivate", 1);
    install_.SetInteger("MailOutlookAlarmHours", 0);
    install_.SetInteger("MailOutlookAlarmMinutes", 15);
    install_.SetInteger("SMSActivate", 0);
    install_.SetInteger("MaxMembers", 30);
    install_.SetString("MailSender", "conference@example.de");
    install_.SetString("SMSSender", "sms@example.de");
    install_.SetString("SMSSubject", "Konferenz");
    install_.SetString("SMStoExt", "@gw.example.test");
    install_.SetString("ExtServerURL", "http://pbx01:81");

    install_.Exec(
        "INSERT INTO [rooms] (name, directdial, pin) VALUES (\"Room 1\", \"4711\", \"\")");
    install_.Exec(
        "INSERT INTO [conferences] (room, name, starttime, endtime) VALUES (\"4711\", "
        "\"Weekly\", \"24.12.2030 09:30:00\", \"24.12.2030 10:45:00\")");
    host_ = AddMember("Herr", "", "Host", "Max", "max@example.test", "", "Acme, Inc.", "ger");
    anna_ = AddMember("Frau", "Dr.", "Meier", "Anna", "anna@example.test", "0170111", "", "ger");
    bob_ = AddMember("Mr", "", "Schulz", "Bob", "bob@example.test", "", "Beta", "eng");
    Join(host_, true, "11111", "ger");
    Join(anna_, false, "22222", "ger");
    Join(bob_, false, "33333", "eng");
  }

  int AddMember(const std::string& sex, const std::string& title, const std::string& name,
                const std::string& firstname, const std::string& email, const std::string& sms,
                const std::string& company, const std::string& language) {
    install_.Exec(
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES(" +
        Quote(sex) + ", " + Quote(title) + ", " + Quote(name) + ", " + Quote(firstname) + ", " +
        Quote(email) + ", " + Quote(sms) + ", " + Quote(company) + ", \"\", " + Quote(language) +
        ")");
    return static_cast<int>(install_.Count("SELECT MAX(ID) FROM [members]"));
  }
  static std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
  }
  void Join(int member, bool host, const std::string& pin, const std::string& language,
            int conference = 1) {
    install_.Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(member) + ", " +
                  std::to_string(conference) + ", " + (host ? "true" : "false") + ", false, " +
                  Quote(language) + ", " + Quote(pin) +
                  ", \"4711\", \"24.12.2030 09:30:00\", \"24.12.2030 10:45:00\", false, false, "
                  "false, false, true)");
  }
  std::string Mailed(int member, int conference = 1) {
    return install_
        .Row("SELECT email FROM [conferenceMembers] WHERE memberID=" + std::to_string(member) +
                 " AND conferenceID=" + std::to_string(conference),
             {"email"})
        .at(0);
  }
  void MarkMailed(int member) {
    install_.Exec("UPDATE [conferenceMembers] SET email=true WHERE memberID=" +
                  std::to_string(member));
  }

  TAnswer Run(void (*handler)(pugi::xml_document&, pugi::xml_document&, std::string&),
              const std::string& request_text) {
    TAnswer answer;
    pugi::xml_document request;
    LoadRequestDocument(request, request_text);
    answer.response.append_child("RESPONSE");
    handler(request, answer.response, answer.result);
    return answer;
  }
  static std::string Entry(int member, const std::string& conference, const std::string& invite) {
    return "<Teilnehmer><TeilnehmerID>" + std::to_string(member) + "</TeilnehmerID><KonferenzID>" +
           conference + "</KonferenzID><invite>" + invite + "</invite></Teilnehmer>";
  }
  static std::string Request(const std::string& action, const std::string& body) {
    return "<Request><Action>" + action + "</Action>" + body + "</Request>";
  }
  const TMessage* MessageTo(const std::vector<TMessage>& messages, const std::string& rcpt) {
    for (const auto& m : messages) {
      if (m.rcpt == std::vector<std::string>{"TO:<" + rcpt + ">"}) return &m;
    }
    return nullptr;
  }

  TMailPeers peers_;
  TInstallFolder install_;
  int host_ = 0, anna_ = 0, bob_ = 0;
};

}  // namespace parlevo::testing_support
