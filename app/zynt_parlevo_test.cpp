#include "app/zynt_parlevo.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/helpers.h"
#include "tests/deadline.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;
using testing_support::JoinWithin;
using testing_support::kWaitLimit;

// Records what the service does with its parts, in order.
struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  void Add(std::string e) {
    {
      std::lock_guard lock(mutex);
      events.push_back(std::move(e));
    }
    changed.notify_all();
  }
  std::vector<std::string> Snapshot() {
    std::lock_guard lock(mutex);
    return events;
  }
  // False when the event has not come within the limit.
  [[nodiscard]] bool WaitFor(const std::string& e) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kWaitLimit, [&] {
      return std::find(events.begin(), events.end(), e) != events.end();
    });
  }
};

class RecordingServer : public IServiceHttpServer {
 public:
  explicit RecordingServer(Journal& j) : j_(j) {}
  ~RecordingServer() override { j_.Add("free server"); }
  void SetDefaultPort(uint16_t port) override {
    port_ = port;
    j_.Add("port " + std::to_string(port));
  }
  uint16_t DefaultPort() const override { return port_; }
  void SetActive(bool active) override {
    active_ = active;
    j_.Add(active ? "active" : "inactive");
  }
  bool Active() const override { return active_; }

 private:
  Journal& j_;
  uint16_t port_ = 0;
  bool active_ = false;
};

class RecordingWorker : public IServiceWorker {
 public:
  RecordingWorker(Journal& j, std::string name) : j_(j), name_(std::move(name)) {
    j_.Add("start " + name_);
  }
  ~RecordingWorker() override { j_.Add("free " + name_); }

 private:
  Journal& j_;
  std::string name_;
};

class ServiceObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() /
            ("parlevo-service-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_);
    saved_home_ = ExeFolder();
    SetExeFolder(home_.string());
    SetRegistryFilePath(home_ / "registry.reg");
  }
  void TearDown() override {
    SetExeFolder(saved_home_);
    fs::remove_all(home_);
  }
  TZyntParlevoParts Parts(std::chrono::steady_clock::duration period = std::chrono::hours(24)) {
    TZyntParlevoParts parts;
    parts.make_http_server = [this] { return std::make_unique<RecordingServer>(journal_); };
    parts.make_sms_reminder = [this] { return std::make_unique<RecordingWorker>(journal_, "sms"); };
    parts.make_recurrence_handler = [this] {
      return std::make_unique<RecordingWorker>(journal_,
                                               "recurrence " + std::to_string(++recurrences_));
    };
    parts.update_db = [this] { journal_.Add("update db"); };
    parts.recurrence_period = period;
    return parts;
  }
  fs::path home_;
  std::string saved_home_;
  Journal journal_;
  int recurrences_ = 0;
};

TEST_F(ServiceObjectTest, FirstStartListensOn83AndWritesTheDefaultsForTheNext) {
  {
    TZyntParlevo service(Parts());
    service.ServiceCreate();
    EXPECT_EQ(service.Port(), 83);
    service.ServiceDestroy();
  }
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKeyReadOnly(kParlevoRegistryKey));
  EXPECT_EQ(registry.ReadInteger("Port"), 81);
  EXPECT_EQ(registry.ReadString("InstallPath"), ExeFolder());
  const auto names = registry.GetValueNames();
  ASSERT_EQ(names.size(), 25u);
  const auto defaults = RegistryDefaults(ExeFolder());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], defaults[i].name);
  registry.CloseKey();

  TZyntParlevo second(Parts());
  second.ServiceCreate();
  EXPECT_EQ(second.Port(), 81);
  second.ServiceDestroy();
}

TEST_F(ServiceObjectTest, ExistingValuesStayAndLargePortsAreCut) {
  {
    TRegistry registry;
    registry.OpenKey(kParlevoRegistryKey, true);
    registry.WriteInteger("Port", 8080);
    registry.WriteString("MailHost", "");
  }
  TZyntParlevo service(Parts());
  service.ServiceCreate();
  EXPECT_EQ(service.Port(), 8080);
  service.ServiceDestroy();
  TRegistry registry;
  registry.OpenKeyReadOnly(kParlevoRegistryKey);
  EXPECT_EQ(registry.ReadInteger("Port"), 8080);
  EXPECT_EQ(registry.ReadString("MailHost"), "");  // empty is a value; the front end fills it
  EXPECT_EQ(registry.GetValueNames().size(), 25u);
  registry.CloseKey();

  TRegistry writer;
  writer.OpenKey(kParlevoRegistryKey, true);
  writer.WriteInteger("Port", 65536 + 8081);
  EXPECT_EQ(ReadServicePort(), 8081);
  writer.WriteString("Port", "81");  // text where an integer belongs cannot be read
  EXPECT_EQ(ReadServicePort(), 83);
  // Port 0 would listen wherever the system likes: it counts as unreadable, cut or not.
  writer.WriteInteger("Port", 0);
  EXPECT_EQ(ReadServicePort(), 83);
  writer.WriteInteger("Port", 3 * 65536);
  EXPECT_EQ(ReadServicePort(), 83);
}

TEST_F(ServiceObjectTest, CreateDeletesTheWsdlAdministrationFileAndUpgradesTheDatabase) {
  std::ofstream(home_ / "ZyntParlevo_WSDLADMIN.INI") << "[x]";
  TZyntParlevo service(Parts());
  service.ServiceCreate();
  EXPECT_FALSE(fs::exists(home_ / "ZyntParlevo_WSDLADMIN.INI"));
  const auto events = journal_.Snapshot();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], "port 83");
  EXPECT_EQ(events[1], "update db");
  service.ServiceDestroy();
}

TEST_F(ServiceObjectTest, LifecycleDrivesServerAndThreadsInOrder) {
  TZyntParlevo service(Parts());
  service.ServiceCreate();
  bool flag = false;
  service.ServiceStart(flag);
  EXPECT_TRUE(flag);
  TServiceThread thread(service);
  std::thread runner([&] { service.ServiceExecute(thread); });
  // Without the event the requests still go out, so that the loop ends and the failure shows.
  EXPECT_TRUE(journal_.WaitFor("start sms")) << "the SMS thread was never started";
  thread.PostRequest(TServiceRequest::kPause);
  thread.PostRequest(TServiceRequest::kContinue);
  thread.PostRequest(TServiceRequest::kStop);
  JoinWithin(runner, "the service loop after its stop request");
  service.ServiceDestroy();
  const std::vector<std::string> expected = {"port 83",   "update db",  "active", "active",
                                             "start sms", "inactive",   "active", "inactive",
                                             "free sms",  "free server"};
  EXPECT_EQ(journal_.Snapshot(), expected);
}

TEST_F(ServiceObjectTest, RecurrenceThreadsFollowThePeriodOneAtATime) {
  // A short period stands in for the day; the loop must start the threads itself.
  TZyntParlevo service(Parts(std::chrono::milliseconds(20)));
  service.ServiceCreate();
  TServiceThread thread(service);
  std::thread runner([&] { service.ServiceExecute(thread); });
  EXPECT_TRUE(journal_.WaitFor("start recurrence 2")) << "no second recurrence thread started";
  thread.PostRequest(TServiceRequest::kStop);
  JoinWithin(runner, "the service loop after its stop request");
  service.ServiceDestroy();
  const auto events = journal_.Snapshot();
  auto pos = [&](const std::string& e) {
    return std::find(events.begin(), events.end(), e) - events.begin();
  };
  EXPECT_LT(pos("start sms"), pos("start recurrence 1"));
  // The previous thread is finished before the next one starts.
  EXPECT_LT(pos("free recurrence 1"), pos("start recurrence 2"));
  // Destroy frees the recurrence thread, then the SMS thread, then the server.
  const size_t n = events.size();
  ASSERT_GE(n, 3u);
  EXPECT_EQ(events[n - 1], "free server");
  EXPECT_EQ(events[n - 2], "free sms");
  EXPECT_EQ(events[n - 3].rfind("free recurrence", 0), 0u);
}

TEST_F(ServiceObjectTest, WorkersTheSystemRefusesAreTriedAgainAfterTheirPeriod) {
  using namespace std::chrono_literals;
  TZyntParlevoParts parts = Parts(30ms);
  // As under a used-up task limit: the system refuses the first threads.
  int sms_attempts = 0;
  parts.make_sms_reminder = [&]() -> std::unique_ptr<IServiceWorker> {
    if (++sms_attempts < 3) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "thread");
    }
    return std::make_unique<RecordingWorker>(journal_, "sms");
  };
  parts.sms_reminder_period = [] { return 10ms; };
  int recurrence_attempts = 0;
  parts.make_recurrence_handler = [&]() -> std::unique_ptr<IServiceWorker> {
    if (++recurrence_attempts == 1) throw 42;  // not even a standard exception
    return std::make_unique<RecordingWorker>(journal_,
                                             "recurrence " + std::to_string(recurrence_attempts));
  };
  TZyntParlevo service(std::move(parts));
  service.ServiceCreate();
  bool started = false;
  service.ServiceStart(started);
  TServiceThread thread(service);
  std::thread runner([&] { service.ServiceExecute(thread); });
  EXPECT_TRUE(journal_.WaitFor("start sms")) << "the SMS reminder was not tried again";
  EXPECT_TRUE(journal_.WaitFor("start recurrence 2")) << "the recurrence handler was not tried "
                                                         "again";
  // The service still obeys its control requests.
  thread.PostRequest(TServiceRequest::kPause);
  EXPECT_TRUE(journal_.WaitFor("inactive"));
  thread.PostRequest(TServiceRequest::kStop);
  JoinWithin(runner, "the service loop after its stop request");
  service.ServiceDestroy();
  EXPECT_EQ(sms_attempts, 3);
  const auto events = journal_.Snapshot();
  EXPECT_EQ(std::count(events.begin(), events.end(), "start sms"), 1);
  EXPECT_EQ(events.back(), "free server");

  std::ifstream log(home_ / "debug" / "log.txt");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("[Main][ServiceExecute] Cannot start the SMS reminder: thread: "
                            "Resource temporarily unavailable; tried again after its period"),
            std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("Cannot start the recurrence handler; tried again"), std::string::npos);
}

}  // namespace
}  // namespace parlevo
