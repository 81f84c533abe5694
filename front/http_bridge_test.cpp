#include "front/http_bridge.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "front/front_test_support.h"
#include "tests/deadline.h"

namespace parlevo {
namespace {

// Records the path it saw and answers "module".
class RecordingModule : public TWebModule {
 public:
  explicit RecordingModule(std::atomic<int>* made) { ++*made; }
  bool HandleRequest(const THttpRequest& request, THttpResponse& response) override {
    if (request.path.find("throw") != std::string::npos) {
      response.set_content("partial", "text/plain");
      throw std::runtime_error("module failed");
    }
    response.set_content("module " + request.method + " " + request.body, "text/plain");
    return true;
  }
};

class BridgeTest : public InstallFolderTest {
 protected:
  void SetUp() override {
    InstallFolderTest::SetUp();
    bridge_.SetBindAddress("127.0.0.1");
    bridge_.RegisterWebModuleClass([this] { return std::make_unique<RecordingModule>(&made_); });
    bridge_.SetOnCommandGet([](const THttpRequest& request, THttpResponse& response) {
      response.set_content("front " + request.method + " " + request.path, "text/plain");
    });
  }
  httplib::Client Client() {
    httplib::Client client("127.0.0.1", bridge_.BoundPort());
    client.set_read_timeout(60);
    return client;
  }

  std::atomic<int> made_{0};
  TIdHTTPWebBrokerBridge bridge_;
};

TEST_F(BridgeTest, ActivationIsIdempotentAndCanBeRepeated) {
  EXPECT_FALSE(bridge_.Active());
  bridge_.SetActive(false);
  bridge_.SetActive(true);
  EXPECT_TRUE(bridge_.Active());
  const uint16_t port = bridge_.BoundPort();
  EXPECT_NE(port, 0);
  bridge_.SetActive(true);
  EXPECT_EQ(bridge_.BoundPort(), port);
  EXPECT_EQ(Client().Get("/x")->body, "front GET /x");

  bridge_.SetActive(false);
  EXPECT_FALSE(bridge_.Active());
  httplib::Client refused("127.0.0.1", port);
  EXPECT_FALSE(refused.Get("/x"));

  bridge_.SetDefaultPort(port);
  bridge_.SetActive(true);
  EXPECT_EQ(bridge_.BoundPort(), port);
  EXPECT_EQ(Client().Get("/y")->body, "front GET /y");
}

TEST_F(BridgeTest, APortInUseFailsActivationClearly) {
  bridge_.SetActive(true);
  TIdHTTPWebBrokerBridge second;
  second.SetBindAddress("127.0.0.1");
  second.SetDefaultPort(bridge_.BoundPort());
  try {
    second.SetActive(true);
    FAIL() << "a second server bound the same port";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(std::to_string(bridge_.BoundPort())), std::string::npos);
  }
  EXPECT_FALSE(second.Active());
}

TEST_F(BridgeTest, SoapPathsGoToANewModuleEverythingElseToTheCommandHandler) {
  bridge_.SetActive(true);
  httplib::Client client = Client();
  EXPECT_EQ(client.Get("/wsdl/IZYNTConferenceService")->body, "module GET ");
  EXPECT_EQ(client.Post("/x/SOAP/izyntconferenceservice/more", "<e/>", "text/xml")->body,
            "module POST <e/>");
  EXPECT_EQ(made_.load(), 2);
  // The list page of the publisher alone is not a SOAP path.
  EXPECT_EQ(client.Get("/wsdl")->body, "front GET /wsdl");
  EXPECT_EQ(client.Post("/soap/other", "", "text/plain")->body, "front POST /soap/other");
  EXPECT_EQ(client.Delete("/file")->body, "front DELETE /file");
  const std::string log = ReadFile("debug/log.txt");
  EXPECT_NE(log.find("[IdHTTPWebBrokerBridge][DoCommandGet] Document requested: "
                     "/x/SOAP/izyntconferenceservice/more"),
            std::string::npos);
  EXPECT_NE(log.find("[IdHTTPWebBrokerBridge][DoCommandGet] This is a SOAP-Request"),
            std::string::npos);
  EXPECT_NE(log.find("[IdHTTPWebBrokerBridge][DoCommandGet] This is a HTTP-Request"),
            std::string::npos);
}

TEST_F(BridgeTest, ModuleFailuresAreLoggedAndSwallowed) {
  bridge_.SetActive(true);
  auto answer = Client().Get("/soap/IZYNTConferenceService/throw");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, "partial");

  bridge_.SetActive(false);
  bridge_.RegisterWebModuleClass(
      []() -> std::unique_ptr<TWebModule> { throw std::runtime_error("no module today"); });
  bridge_.SetActive(true);
  answer = Client().Get("/soap/IZYNTConferenceService");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, "");
  const std::string log = ReadFile("debug/log.txt");
  EXPECT_NE(log.find("[IdHTTPWebBrokerBridge][DoCommandGet] SOAP Exception: module failed"),
            std::string::npos);
  EXPECT_NE(log.find("[IdHTTPWebBrokerBridge][DoCommandGet] SOAP Exception: no module today"),
            std::string::npos);
}

TEST_F(BridgeTest, NoCommandHandlerLeavesTheEmptyDefaultAnswer) {
  bridge_.SetOnCommandGet(nullptr);
  bridge_.SetActive(true);
  auto answer = Client().Get("/index.html");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, "");
}

// A request that waits must not hold up the others: the first request is answered only after
// a second one got through.
TEST_F(BridgeTest, ASlowRequestDoesNotBlockOthers) {
  testing_support::TWatchdog dog("the slow and the fast request");
  std::promise<void> second_seen;
  std::shared_future<void> released = second_seen.get_future().share();
  bridge_.SetOnCommandGet([&](const THttpRequest& request, THttpResponse& response) {
    if (request.path == "/slow") {
      const bool ok = released.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
      response.set_content(ok ? "released" : "stuck", "text/plain");
    } else {
      second_seen.set_value();
      response.set_content("fast", "text/plain");
    }
  });
  bridge_.SetActive(true);
  auto slow = std::async(std::launch::async, [&] { return Client().Get("/slow")->body; });
  EXPECT_EQ(Client().Get("/fast")->body, "fast");
  EXPECT_EQ(slow.get(), "released");
}

TEST_F(BridgeTest, ManyConnectionsAtOnceAreAllAnswered) {
  testing_support::TWatchdog dog("the hundred concurrent requests");
  bridge_.SetActive(true);
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 100; ++i) {
    answers.push_back(std::async(std::launch::async, [this, i] {
      auto result = Client().Get("/n" + std::to_string(i));
      return result ? result->body : std::string("failed");
    }));
  }
  for (int i = 0; i < 100; ++i) EXPECT_EQ(answers[i].get(), "front GET /n" + std::to_string(i));
}

THttpRequest Call(std::string body, std::string path = "/soap/IZYNTConferenceService") {
  THttpRequest request;
  request.method = "POST";
  request.path = std::move(path);
  request.body = std::move(body);
  return request;
}

TEST(RequestLaneTest, OnlyCallsThatCannotNameDoKonferenzActionTakeTheLookupLane) {
  const std::string lookup =
      "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"x\"><SOAP-ENV:Body>"
      "<NS1:GetConferenceIDFromMemberPIN xmlns:NS1=\"urn:SOAPIntf-IZYNTConferenceService\">"
      "<strMemberPIN>04711</strMemberPIN></NS1:GetConferenceIDFromMemberPIN></SOAP-ENV:Body>"
      "</SOAP-ENV:Envelope>";
  EXPECT_EQ(RequestLane(Call(lookup)), THttpLane::kLookup);
  EXPECT_EQ(RequestLane(Call(lookup, "/x/SOAP/izyntconferenceservice")), THttpLane::kLookup);
  EXPECT_EQ(RequestLane(Call("<e><getAmPm/></e>")), THttpLane::kLookup);

  // The action calls in any spelling the SOAP layer accepts, and whatever it could decode into one.
  EXPECT_EQ(RequestLane(Call("<e><NS1:DoKonferenzAction><Request/></NS1:DoKonferenzAction></e>")),
            THttpLane::kGeneral);
  EXPECT_EQ(RequestLane(Call("<e><dokonferenzACTION/></e>")), THttpLane::kGeneral);
  std::string utf16;
  for (char c : std::string("<e><DoKonferenzAction/></e>")) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  EXPECT_EQ(RequestLane(Call(utf16)), THttpLane::kGeneral);
  EXPECT_EQ(RequestLane(Call("<e><getAmPm/></e>" + std::string(65 * 1024, ' '))),
            THttpLane::kGeneral);
  // Files, the WSDL, the information page.
  THttpRequest get = Call("");
  get.method = "GET";
  EXPECT_EQ(RequestLane(get), THttpLane::kGeneral);
  EXPECT_EQ(RequestLane(Call(lookup, "/wsdl/IZYNTConferenceService")), THttpLane::kGeneral);
  EXPECT_EQ(RequestLane(Call(lookup, "/index.html")), THttpLane::kGeneral);
}

// Every worker of the general lane waits (on mail, say); the lookups are answered all the same.
TEST_F(BridgeTest, LookupsDoNotQueueBehindAFullGeneralLane) {
  testing_support::TWatchdog dog("lookups beside a blocked general lane");
  THttpLimits limits;
  limits.worker_threads = 2;
  bridge_.SetLimits(limits);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> blocked{0};
  bridge_.SetOnCommandGet([&](const THttpRequest&, THttpResponse& response) {
    ++blocked;
    released.wait();
    response.set_content("done", "text/plain");
  });
  bridge_.SetActive(true);
  std::vector<std::future<std::string>> waiting;
  for (int i = 0; i < 4; ++i) {
    waiting.push_back(std::async(std::launch::async, [this] {
      auto answer = Client().Get("/file");
      return answer ? answer->body : std::string("failed");
    }));
  }
  while (blocked < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  httplib::Client client = Client();
  for (int i = 0; i < 20; ++i) {
    auto answer = client.Post("/soap/IZYNTConferenceService", "<e><getAmPm/></e>", "text/xml");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "module POST <e><getAmPm/></e>");
  }
  EXPECT_EQ(blocked.load(), 2);
  release.set_value();
  for (auto& answer : waiting) EXPECT_EQ(answer.get(), "done");
}

}  // namespace
}  // namespace parlevo
