#include "front/konferenz_action.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "front/front_test_support.h"
#include "webservice/helpers_xml.h"
#include "webservice/soap.h"

namespace parlevo {
namespace {

TEST(KonferenzActionTableTest, ThirtyDistinctActionsInTheirOrder) {
  const auto table = KonferenzActionTable();
  ASSERT_EQ(table.size(), 30u);
  EXPECT_EQ(table.front().name, "getNextFreeHostPin");
  EXPECT_EQ(table[9].name, "GetRaeume");
  EXPECT_EQ(table[13].name, "inviteOne");
  EXPECT_EQ(table.back().name, "getSalutation");
  std::set<std::string> lowered;
  for (const TKonferenzAction& row : table) lowered.insert(ApplyCaseMode(row.name, kCaseLower));
  EXPECT_EQ(lowered.size(), table.size());
}

// Handlers of a test table: they show what they were given.
void EchoFields(pugi::xml_document& request, pugi::xml_document& response, std::string& result) {
  EXPECT_EQ(result, "error");
  EXPECT_STREQ(response.document_element().name(), "RESPONSE");
  const std::string room = NodeText(FindXMLNode(request.document_element(), "RaumName", true));
  FindXMLNode(response.document_element(), "Room", true).text().set(room.c_str());
  result = DocumentXMLText(response);
}

void FailHalfway(pugi::xml_document&, pugi::xml_document&, std::string& result) {
  result = "partial";
  throw std::runtime_error("handler failed");
}

int g_counted = 0;
void Count(pugi::xml_document&, pugi::xml_document&, std::string&) {
  ++g_counted;
}

constexpr TKonferenzAction kTestTable[] = {
    {"GetRaeume", EchoFields}, {"failing", FailHalfway}, {"notBuilt", nullptr},
    {"count", Count},          {"COUNT", Count},         {"mailing", Count, true},
};

using DispatchTest = InstallFolderTest;

TEST_F(DispatchTest, ActionNamesMatchWithoutRegardToCase) {
  const std::string answer = DispatchKonferenzAction(
      "<Request><Action>GETRAEUME</Action><RaumName>Blau</RaumName></Request>", true, kTestTable);
  EXPECT_NE(answer.find("<RESPONSE><room>Blau</room></RESPONSE>"), std::string::npos) << answer;
  const std::string log = ReadFile("debug/log.txt");
  EXPECT_NE(log.find("[SOAPImpl][DoKonferenzAction] --Handle Request--"), std::string::npos);
  EXPECT_NE(log.find("[SOAPImpl][DoKonferenzAction] Action: GETRAEUME"), std::string::npos);
  EXPECT_NE(log.find("[SOAPImpl][DoKonferenzAction] Result: <?xml"), std::string::npos);
}

TEST_F(DispatchTest, AnswersErrorWhenNoHandlerRuns) {
  for (const char* request :
       {"<r><action>unknown</action></r>", "<r><action> GetRaeume</action></r>",
        "<r><action>GetRaeume </action></r>", "<r><action></action></r>", "<r><x>1</x></r>",
        "<action>GetRaeume</action>", "<r><action>GetRaeume</r>", "",
        "<r><action>notBuilt</action></r>"}) {
    EXPECT_EQ(DispatchKonferenzAction(request, true, kTestTable), "error") << request;
  }
  EXPECT_NE(ReadFile("debug/log.txt").find("[SOAPImpl][DoKonferenzAction] Exception: "),
            std::string::npos);
}

TEST_F(DispatchTest, AFailingHandlerKeepsItsPartialAnswer) {
  EXPECT_EQ(DispatchKonferenzAction("<r><action>failing</action></r>", true, kTestTable),
            "partial");
  EXPECT_NE(
      ReadFile("debug/log.txt").find("[SOAPImpl][DoKonferenzAction] Exception: handler failed"),
      std::string::npos);
}

TEST_F(DispatchTest, EveryRowIsTested) {
  g_counted = 0;
  DispatchKonferenzAction("<r><action>Count</action></r>", true, kTestTable);
  EXPECT_EQ(g_counted, 2);
}

TEST_F(DispatchTest, AnActionThatSendsMailRunsOnlyWithATurnOfTheMailBound) {
  TMailBound bound({.sending = 1, .waiting = 0, .wait = std::chrono::milliseconds(0)});
  g_counted = 0;
  {
    auto held = bound.Enter();
    ASSERT_TRUE(held);
    EXPECT_THROW(
        DispatchKonferenzAction("<r><action>Mailing</action></r>", true, kTestTable, bound),
        soap::TSoapServiceBusy);
    EXPECT_EQ(g_counted, 0);
    // Actions that send no mail pass.
    DispatchKonferenzAction("<r><action>count</action></r>", true, kTestTable, bound);
    EXPECT_EQ(g_counted, 2);
  }
  DispatchKonferenzAction("<r><action>mailing</action></r>", true, kTestTable, bound);
  EXPECT_EQ(g_counted, 3);
  EXPECT_EQ(bound.Sending(), 0u);
  EXPECT_NE(ReadFile("debug/log.txt")
                .find("[SOAPImpl][DoKonferenzAction] Too many requests sending mail: Mailing"),
            std::string::npos);
  // The actions of the service that may send mail are the ones marked.
  std::vector<std::string_view> mailing;
  for (const TKonferenzAction& row : KonferenzActionTable()) {
    if (row.sends_mail) mailing.push_back(row.name);
  }
  EXPECT_THAT(mailing,
              ::testing::ElementsAre("addRecurrence", "updateRecurrence", "deleteRecurrence",
                                     "DeleteKonfTeilnehmer", "DeleteKonferenz", "SendInviteMail",
                                     "SendInviteMailAll"));
}

TEST_F(DispatchTest, NoDatabaseConfiguredAnswersTheRegistryError) {
  const std::string answer =
      DispatchKonferenzAction("<r><action>GetRaeume</action></r>", false, kTestTable);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str()));
  EXPECT_EQ(NodeText(doc.child("RESPONSE").child("result")),
            "Registry Error: DB-Informationen konnten nicht aus der Registry ausgelesen werden");
  EXPECT_NE(ReadFile("debug/log.txt")
                .find("[SOAPImpl][DoKonferenzAction] Error reading connection string"),
            std::string::npos);
}

TEST_F(DispatchTest, TheSoapMethodLooksAtTheInstallPath) {
  EXPECT_NE(DoKonferenzAction("<r><action>GetRaeume</action></r>").find("Registry Error"),
            std::string::npos);
  TRegistry registry;
  registry.OpenKey("SOFTWARE\\Orvalen\\Parlevo for ZyntWare", true);
  registry.WriteString("InstallPath", home_.string() + "/");
  EXPECT_EQ(DoKonferenzAction("<r><action>noSuchAction</action></r>"), "error");
}

}  // namespace
}  // namespace parlevo
