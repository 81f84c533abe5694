// Handler-level benchmark of the room and PIN paths on a filled database: GetKonferenzen of one
// room among 1,000 rooms holding 20,000 conferences, and getNextFreeHostPin with 8,000 host PINs
// in use. Each benchmark reports the mean and the 99th percentile of a call.
//
//   conferences_bench [--benchmark_...]      (build with -DPARLEVO_BUILD_BENCH=ON)
//   conferences_bench --fill HOME            makes the same install folder in HOME (registry.reg
//                                            and the filled database) for the load run through
//                                            SOAP (conferences_load.sh), then exits
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "bench/bench_install.h"
#include "conferences/conference_actions.h"
#include "conferences/konferenzraum.h"
#include "conferences/pin_allocation.h"
#include "platform/db.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "webservice/action_request.h"
#include "webservice/helpers_conf_ex.h"

namespace parlevo {

constexpr int kRooms = 1000;
constexpr int kConferences = 20000;
constexpr int kHostPins = 8000;

// Makes HOME an install folder: its configuration file and the filled database.
void FillInstallFolder(const std::string& home) {
  const std::string connect_str = bench::PrepareInstallFolder(home);

  db::TADOQuery query;
  query.Connection().Open(connect_str);
  query.Connection().BeginTrans();
  bench::InsertRooms(query, kRooms);
  // Twenty conferences per room, spread over a year; host PINs cycle through 8,000 values.
  for (int i = 0; i < kConferences; ++i) {
    const int room = i % kRooms;
    const int month = 1 + (i / kRooms) % 12;
    const int day = 1 + (i / kRooms) % 28;
    char date[16];
    snprintf(date, sizeof date, "2026-%02d-%02d", month, day);
    query.ExecSQL(
        "INSERT INTO [conferences] (room, name, [date], starttime, endtime, RecurrenceId, "
        "PinHost, PinMember, PinListenOnly) VALUES (\"" +
        std::to_string(1000 + room) + "\", \"Konferenz " + std::to_string(i) + "\", \"" + date +
        "\", \"" + date + " 10:00:00\", \"" + date + " 11:00:00\", -1, " +
        std::to_string(1000 + i % kHostPins) + ", 2000, 3000)");
  }
  query.Connection().CommitTrans();
}

// A temporary install folder, made once for all benchmarks.
class Installation {
 public:
  Installation() {
    char tmpl[] = "/tmp/parlevo-bench-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    FillInstallFolder(dir_);
  }
  ~Installation() {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

 private:
  std::string dir_;
};

Installation& SharedInstallation() {
  static Installation installation;
  return installation;
}

using Handler = void (*)(pugi::xml_document&, pugi::xml_document&, std::string&);

// Times every call and reports mean and p99 over all threads.
void RunHandler(benchmark::State& state, Handler handler, const std::string& request_text,
                std::string_view expect) {
  SharedInstallation();
  static std::mutex mutex;
  static std::vector<double> all;
  if (state.thread_index() == 0) {
    std::lock_guard lock(mutex);
    all.clear();
  }
  std::vector<double> micros;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    const std::string result = RunActionRequest(handler, request_text);
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin)
            .count());
    if (result.find(expect) == std::string::npos) state.SkipWithError("unexpected answer");
    benchmark::DoNotOptimize(result);
  }
  std::lock_guard lock(mutex);
  all.insert(all.end(), micros.begin(), micros.end());
  if (state.thread_index() == 0 && !all.empty()) {
    std::vector<double> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    state.counters["p99_us"] = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
  }
}

void BM_GetKonferenzenOfOneRoom(benchmark::State& state) {
  RunHandler(state, Conferences_Get,
             "<request><action>GetKonferenzen</action><Durchwahl>1500</Durchwahl><Monat>3</Monat>"
             "<Jahr>2026</Jahr></request>",
             "<code>0</code>");
}

void BM_GetKonferenzenAllMonths(benchmark::State& state) {
  RunHandler(state, Conferences_Get,
             "<request><action>GetKonferenzen</action><Durchwahl>1500</Durchwahl></request>",
             "<code>0</code>");
}

void BM_GetNextFreeHostPin(benchmark::State& state) {
  RunHandler(state, GetNextFreeHostPin, "<request><action>getNextFreeHostPin</action></request>",
             "Pin erzeugt");
}

BENCHMARK(BM_GetKonferenzenOfOneRoom)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_GetKonferenzenAllMonths)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_GetNextFreeHostPin)->Threads(1)->Threads(16)->UseRealTime();

}  // namespace parlevo

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--fill") {
    parlevo::FillInstallFolder(argv[2]);
    parlevo::db::CloseIdleConnections();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
