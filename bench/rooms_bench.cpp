// Handler-level benchmark of the room list (GetRaeume) on a database with years of history:
// 1,000 rooms holding 100,000 conferences, 90 % of them ended, the rest spread over the coming
// months. The goal is a list under 100 ms; the run reports the mean and the 99th percentile.
//
//   rooms_bench [--benchmark_...]      (build with -DPARLEVO_BUILD_BENCH=ON)
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "bench/bench_install.h"
#include "conferences/konferenzraum.h"
#include "platform/datetime.h"
#include "platform/db.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "webservice/action_request.h"
#include "webservice/helpers_conf_ex.h"

namespace parlevo {
namespace {

constexpr int kRooms = 1000;
constexpr int kConferences = 100000;
constexpr int kPastPercent = 90;

// A temporary install folder with the filled database, made once.
class Installation {
 public:
  Installation() {
    char tmpl[] = "/tmp/parlevo-rooms-bench-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    Fill();
  }
  ~Installation() {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

 private:
  void Fill() {
    const std::string connect_str = bench::PrepareInstallFolder(dir_);
    db::TADOQuery query;
    query.Connection().Open(connect_str);
    query.Connection().BeginTrans();
    bench::InsertRooms(query, kRooms);
    // Ended conferences over the last three years, the others over the next six months; each
    // room gets its share of both.
    const TDateTime today = DateOf(Now());
    for (int i = 0; i < kConferences; ++i) {
      const int room = i % kRooms;
      const bool past = (i / kRooms) % 100 < kPastPercent;
      const int spread = (i * 7919) % (past ? 3 * 365 : 180);
      const TDateTime day = past ? today - 1 - spread : today + 1 + spread;
      const std::string date = FormatISODate(day);
      query.ExecSQL(
          "INSERT INTO [conferences] (room, name, [date], starttime, endtime, RecurrenceId, "
          "PinHost, PinMember, PinListenOnly) VALUES (\"" +
          std::to_string(1000 + room) + "\", \"Konferenz " + std::to_string(i) + "\", \"" + date +
          "\", \"" + date + " 10:00:00\", \"" + date + " 11:00:00\", -1, 1, 2, 3)");
      // Keys count from 1 in the new file; every tenth conference has a member.
      if (i % 10 == 0) {
        query.ExecSQL("INSERT INTO [conferenceMembers] (memberID, conferenceID) VALUES (1, " +
                      std::to_string(i + 1) + ")");
      }
    }
    query.Connection().CommitTrans();
  }

  std::string dir_;
};

void BM_GetRaeume(benchmark::State& state) {
  static Installation installation;
  std::vector<double> millis;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    const std::string result =
        RunActionRequest(GetRaeume, "<request><action>GetRaeume</action></request>");
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
            .count());
    if (result.find("<code>0</code>") == std::string::npos ||
        result.find("<Next>") == std::string::npos) {
      state.SkipWithError("unexpected answer");
    }
    benchmark::DoNotOptimize(result);
  }
  std::sort(millis.begin(), millis.end());
  if (!millis.empty()) {
    state.counters["p99_ms"] = millis[std::min(millis.size() - 1, millis.size() * 99 / 100)];
  }
}

BENCHMARK(BM_GetRaeume)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
}  // namespace parlevo

BENCHMARK_MAIN();
