// Log entries per second through a session into the file (binary), text and memory outputs,
// synchronous and asynchronous, next to spdlog's basic file sink writing lines of the same
// length. Run: build/bench/logging_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "logging/lg_log_center.h"
#include "logging/lg_protocol_factory.h"
#include "logging/lg_session.h"

namespace {

namespace fs = std::filesystem;
using parlevo::logging::TLgSession;
using parlevo::logging::TLogCenter;

const std::string kTitle(100, 'm');  // every entry carries a title of 100 characters

fs::path BenchDir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("lgbench-" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// One log center with one output; every iteration logs one message entry.
void RunThroughSession(benchmark::State& state, const std::string& connections) {
  parlevo::logging::RegisterLibraryProtocols();
  TLogCenter center("bench");
  std::string errors;
  center.SetOnError([&](TLogCenter&, const std::exception& e) { errors = e.what(); });
  center.SetConnections(connections);
  center.Enable();
  TLgSession& session = center.AddSession("Main", true);
  for (auto _ : state) session.LogMessage(kTitle);
  center.Disable();  // flushes and, asynchronously, waits for the worker
  if (!errors.empty()) state.SkipWithError(errors.c_str());
  state.SetItemsProcessed(state.iterations());
}

std::string File(const std::string& name) {
  return "\"" + (BenchDir() / name).string() + "\"";
}

void BM_FileBinary(benchmark::State& state) {
  RunThroughSession(state, "file(filename=" + File("binary.lgf") + ")");
}
void BM_FileBinaryBuffered(benchmark::State& state) {
  RunThroughSession(state, "file(filename=" + File("buffered.lgf") + ", buffer=64)");
}
void BM_Text(benchmark::State& state) {
  RunThroughSession(state, "text(filename=" + File("text.txt") + ")");
}
void BM_TextBuffered(benchmark::State& state) {
  RunThroughSession(state, "text(filename=" + File("textbuf.txt") + ", buffer=64)");
}
void BM_Memory(benchmark::State& state) {
  RunThroughSession(state, "mem()");
}
void BM_FileBinaryAsync(benchmark::State& state) {
  RunThroughSession(state, "file(filename=" + File("async.lgf") +
                               ", buffer=64, async.enabled=true, async.throttle=false)");
}
void BM_FileBinaryAsyncThrottled(benchmark::State& state) {
  RunThroughSession(state, "file(filename=" + File("asyncth.lgf") +
                               ", buffer=64, async.enabled=true, async.throttle=true)");
}
void BM_TextAsync(benchmark::State& state) {
  RunThroughSession(state, "text(filename=" + File("async.txt") +
                               ", buffer=64, async.enabled=true, async.throttle=false)");
}
void BM_MemoryAsync(benchmark::State& state) {
  RunThroughSession(state, "mem(async.enabled=true, async.throttle=false)");
}

// spdlog's basic file sink: a line "[time] [bench] [info] <title>", like the text output's.
void BM_SpdlogBasicFile(benchmark::State& state) {
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
      (BenchDir() / "spdlog.txt").string(), true);
  spdlog::logger logger("bench", sink);
  for (auto _ : state) logger.info(kTitle);
  logger.flush();
  state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogBasicFileFlushEach(benchmark::State& state) {
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
      (BenchDir() / "spdlogflush.txt").string(), true);
  spdlog::logger logger("bench", sink);
  logger.flush_on(spdlog::level::info);
  for (auto _ : state) logger.info(kTitle);
  state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogAsyncFile(benchmark::State& state) {
  auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
      (BenchDir() / "spdlogasync.txt").string(), true);
  auto logger = std::make_shared<spdlog::async_logger>(
      "bench", sink, pool, spdlog::async_overflow_policy::overrun_oldest);
  for (auto _ : state) logger->info(kTitle);
  logger->flush();
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_FileBinary);
BENCHMARK(BM_FileBinaryBuffered);
BENCHMARK(BM_Text);
BENCHMARK(BM_TextBuffered);
BENCHMARK(BM_Memory);
BENCHMARK(BM_FileBinaryAsync);
BENCHMARK(BM_FileBinaryAsyncThrottled);
BENCHMARK(BM_TextAsync);
BENCHMARK(BM_MemoryAsync);
BENCHMARK(BM_SpdlogBasicFile);
BENCHMARK(BM_SpdlogBasicFileFlushEach);
BENCHMARK(BM_SpdlogAsyncFile);

}  // namespace

BENCHMARK_MAIN();
