// The cost of a log statement against spdlog used directly: a call on a logger the caller holds,
// and a look-up by name through spdlog's registry. Linked against the library's objects, so both
// sides use the same private, header-only copy of spdlog.
#include <benchmark/benchmark.h>

#include <memory>

#include <Plinth/Logging.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "LogStatement.h"

namespace {

const Melvo::detail::LogChannel kChannel{"bench.Module"};

// The registered logger writes to a null sink at info level: debug statements are disabled,
// warn statements are formatted and handed to the sink.
std::shared_ptr<spdlog::logger> HeldLogger() {
  static const std::shared_ptr<spdlog::logger> held = [] {
    auto logger = std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_st>());
    logger->set_level(spdlog::level::info);
    InitLoggerPlinth({logger}, LoggerThreadPoolSettings{64, 1});
    return spdlog::get("bench")->clone("bench.Module");
  }();
  return held;
}

void StatementOurs(benchmark::State& state, spdlog::level::level_enum level) {
  HeldLogger();
  for (auto _ : state) {
    PLINTH_LOG(kChannel, level, "statement {}", 42);
  }
}

void StatementPeer(benchmark::State& state, spdlog::level::level_enum level) {
  auto logger = HeldLogger();
  for (auto _ : state) {
    logger->log(spdlog::source_loc{"src/Bench", __LINE__, "Bench"}, level, "statement {}", 42);
  }
}

void LookupOurs(benchmark::State& state) {
  HeldLogger();
  const std::string name = "bench.Module";
  for (auto _ : state) {
    benchmark::DoNotOptimize(Melvo::detail::GetLogger(name));
  }
}

void LookupPeer(benchmark::State& state) {
  HeldLogger();
  const std::string name = "bench";
  for (auto _ : state) {
    benchmark::DoNotOptimize(spdlog::get(name));
  }
}

BENCHMARK_CAPTURE(StatementOurs, disabled, spdlog::level::debug)->Name("DisabledStatement/ours");
BENCHMARK_CAPTURE(StatementPeer, disabled, spdlog::level::debug)->Name("DisabledStatement/peer");
BENCHMARK_CAPTURE(StatementOurs, disabled, spdlog::level::debug)
    ->Name("DisabledStatement/ours")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_CAPTURE(StatementPeer, disabled, spdlog::level::debug)
    ->Name("DisabledStatement/peer")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_CAPTURE(StatementOurs, enabled, spdlog::level::warn)->Name("EnabledStatementNullSink/ours");
BENCHMARK_CAPTURE(StatementPeer, enabled, spdlog::level::warn)->Name("EnabledStatementNullSink/peer");
BENCHMARK_CAPTURE(StatementOurs, enabled, spdlog::level::warn)
    ->Name("EnabledStatementNullSink/ours")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_CAPTURE(StatementPeer, enabled, spdlog::level::warn)
    ->Name("EnabledStatementNullSink/peer")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(LookupOurs)->Name("LookupByName/ours");
BENCHMARK(LookupPeer)->Name("LookupByName/peer");
BENCHMARK(LookupOurs)->Name("LookupByName/ours")->Threads(2)->UseRealTime();
BENCHMARK(LookupPeer)->Name("LookupByName/peer")->Threads(2)->UseRealTime();

}  // namespace
