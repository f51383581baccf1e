// The logging channels: InitLoggerPlinth, the binding of logger names, and the log statement's
// source location.
#include <gtest/gtest.h>

#include <future>
#include <set>

#include <Plinth/Logging.h>
#include <spdlog/async.h>
#include <spdlog/spdlog.h>

#include "LogStatement.h"
#include "support/LogCapture.h"
#include "support/StartLine.h"

namespace {

using Melvo::detail::GetLogger;
using PlinthTest::LogCapture;

void Init(std::vector<std::shared_ptr<spdlog::logger>> loggers) {
  InitLoggerPlinth(std::move(loggers), LoggerThreadPoolSettings{64, 1});
}

// The messages written since the last look: level, logger, location and text.
std::string Written() {
  std::string written;
  for (const auto& r : LogCapture::Take())
    written += fmt::format("{} {} {}:{} {}: {}\n", static_cast<int>(r.level), r.logger, r.file, r.line,
                           r.function, r.text);
  return written;
}

// A name binds to the registered logger itself, else to a clone of the nearest registered parent,
// for good: a parent's later level, or a nearer parent registered later, is not seen. A statement
// names its file without the extension and its function by the word before the parameters; the
// entry for hosts writes its text as it stands, at valid levels only.
TEST(GetLogger, BindsTheRegisteredCloneOrAClonedParentForGood) {
  auto host = LogCapture::MakeLogger("tree");
  Init({host});
  auto registered = spdlog::get("tree");
  auto child = GetLogger("tree.a.b");
  EXPECT_TRUE(registered != host && GetLogger("tree") == registered && child->name() == "tree.a.b" &&
              !spdlog::get("tree.a.b"));
  registered->set_level(spdlog::level::err);
  Init({LogCapture::MakeLogger("tree.a")});
  static const Melvo::detail::LogChannel exact{"tree"};
  PLINTH_LOG(exact, spdlog::level::warn, "below the registered level");
  PLINTH_LOG(std::string("tree.a.b"), spdlog::level::warn, "value {} of {}", 3, "four");
  const int line = __LINE__ - 1;
  for (int level : {-1, 0, 6})
    Melvo::detail::WriteLogStatement("tree.a.b", "Host/File", 7, "Host::F", level, "kept {}");
  EXPECT_EQ(GetLogger("tree.a.b"), child);
  EXPECT_EQ(Written(),
            fmt::format("3 tree.a.b tests/LoggingTests:{} "
                        "{{anonymous}}::GetLogger_BindsTheRegisteredCloneOrAClonedParentForGood_Test::"
                        "TestBody: value 3 of four\n0 tree.a.b Host/File:7 Host::F: kept {{}}\n",
                        line));
  static constexpr auto folder = Melvo::detail::SourceFileName("src/v1.2/W");
  static constexpr auto extensions = Melvo::detail::SourceFileName("W.x.cpp");
  static constexpr auto function =
      Melvo::detail::QualifiedFunctionName("std::pair<A, B> Melvo::Q::Get(std::pair<int, int>)");
  EXPECT_EQ(std::string(folder.c_str()) + extensions.c_str() + function.c_str(),
            "src/v1.2/WW.xMelvo::Q::Get");
  // A host's configuration names the levels as spdlog does.
  for (const auto& [name, level] : Melvo::LogLevelNames)
    EXPECT_EQ(spdlog::level::to_string_view(static_cast<spdlog::level::level_enum>(level)), name);
  EXPECT_EQ(Melvo::LogLevelNames.size(), 7u);
}

// In a freshly started copy of this program, before InitLoggerPlinth, with a deadline: names are
// the hosts' choice (a state machine's, the exported statement's), and a lookup that never ended
// would hold the cache's lock and stop all logging.
TEST(GetLogger, NamesUnboundAtInitShareTheSwitchedOffDefaultLoggerForGood) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto scenario = [] {
    EXPECT_EQ(GetLogger(""), spdlog::default_logger()) << "the default logger's own name";
    EXPECT_NE(GetLogger("..x"), spdlog::default_logger()) << "a clone of the parent named \"\"";
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::info);
    static const Melvo::detail::LogChannel early{"a.b"};  // a disabled statement binds its name all the same
    PLINTH_LOG(early, spdlog::level::trace, "discarded");
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::off);
    Init({LogCapture::MakeLogger("a"), LogCapture::MakeLogger("vorn.Plinth")});
    PLINTH_LOG(early, spdlog::level::critical, "still discarded");
    Melvo::detail::WriteLogStatement("vorn", "F", 1, "f", 5, "discarded: no dot, not registered");
    Melvo::detail::WriteLogStatement("vorn.Plinth.Late", "F", 1, "f", 5, "written");
    EXPECT_EQ(Written(), "5 vorn.Plinth.Late F:1 f: written\n");
  };
  EXPECT_EXIT(
      {
        auto run = std::async(std::launch::async, scenario);
        if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) std::_Exit(2);
        std::exit(testing::Test::HasFailure() ? 1 : 0);
      },
      testing::ExitedWithCode(0), "");
}

TEST(GetLogger, ConcurrentFirstLookupsBindOneLogger) {
  Init({LogCapture::MakeLogger("race")});
  std::vector<std::shared_ptr<spdlog::logger>> seen(8);
  PlinthTest::StartLine start(8);
  std::vector<std::thread> threads;
  for (auto& logger : seen)
    threads.emplace_back([&] {
      start.Arrive();
      logger = GetLogger("race.same.name");
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::shared_ptr<spdlog::logger>>(seen.begin(), seen.end()).size(), 1u);
}

// A null logger or a bad thread count fails before anything changes; a taken name fails after the
// pool was replaced and the loggers before it registered. The host's loggers are released anyway.
TEST(InitLoggerPlinth, FailsOnNullLoggersBadThreadCountsAndTakenNamesReleasingTheHostLoggers) {
  Init({LogCapture::MakeLogger("dup.taken")});
  const auto pool = spdlog::thread_pool();
  auto first = LogCapture::MakeLogger("dup.first");
  std::string refusals;
  for (const auto& [nullAt, threads] : {std::pair{1, 1}, {-1, 0}, {-1, 1001}, {-1, -1}, {-1, 1000}}) {
    std::vector<std::shared_ptr<spdlog::logger>> loggers{first, LogCapture::MakeLogger("dup.taken"),
                                                         LogCapture::MakeLogger("dup.last")};
    if (nullAt >= 0) loggers[nullAt] = nullptr;
    try {
      InitLoggerPlinth(std::move(loggers), LoggerThreadPoolSettings{64, threads});
    } catch (const spdlog::spdlog_ex& error) {
      refusals += error.what() + std::string(first.use_count() == 1 ? "" : " (kept)") +
                  (spdlog::thread_pool() == pool ? "|" : " (new pool)|");
    }
  }
  const std::string badThreads = "spdlog::thread_pool(): invalid threads_n param (valid range is 1-1000)|";
  EXPECT_EQ(refusals, "InitLoggerPlinth: the logger at position 1 is null|" + badThreads + badThreads +
                          badThreads + "logger with name 'dup.taken' already exists (new pool)|");
  EXPECT_TRUE(spdlog::get("dup.first") && !spdlog::get("dup.last"));
}

}  // namespace
