// The logging channels: InitLoggerPlinth, the binding of logger names, and the log statement's
// source location. Tests that need the state of a process before InitLoggerPlinth run in a fresh
// child process.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <Plinth/Logging.h>
#include <spdlog/async.h>
#include <spdlog/spdlog.h>

#include "LogStatement.h"
#include "support/LogCapture.h"

namespace {

using Melvo::detail::GetLogger;
using Melvo::detail::LogChannel;
using PlinthTest::LogCapture;

// Runs `scenario` in a freshly started copy of this test program, on which InitLoggerPlinth has
// not been called yet.
template <typename Scenario>
void InFreshProcess(Scenario scenario) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        scenario();
        std::exit(testing::Test::HasFailure() ? 1 : 0);
      },
      testing::ExitedWithCode(0), "");
}

void Init(std::vector<std::shared_ptr<spdlog::logger>> loggers) {
  InitLoggerPlinth(std::move(loggers), LoggerThreadPoolSettings{64, 1});
}

TEST(LogStatement, NamesFunctionsAndFilesAsTheHomeCompilerDoes) {
  using Melvo::detail::QualifiedFunctionName;
  using Melvo::detail::SourceFileName;
  EXPECT_STREQ(QualifiedFunctionName("void Melvo::Buffer::SetReservedSize(std::size_t, bool)").c_str(),
               "Melvo::Buffer::SetReservedSize");
  EXPECT_STREQ(
      QualifiedFunctionName("std::shared_ptr<Melvo::A<int> > Melvo::Q::Get(std::pair<int, int>)").c_str(),
      "Melvo::Q::Get");
  EXPECT_STREQ(SourceFileName("src/platform/linux/Paths.cpp").c_str(), "src/platform/linux/Paths");
  EXPECT_STREQ(SourceFileName("src/v1.2/Widget").c_str(), "src/v1.2/Widget");
  // Only the last extension goes, wherever its dot stands.
  EXPECT_STREQ(SourceFileName("src/Widget.test.cpp").c_str(), "src/Widget.test");
  EXPECT_STREQ(SourceFileName("Widget.").c_str(), "Widget");
  EXPECT_STREQ(SourceFileName(".cpp").c_str(), "");
}

TEST(LogStatement, WritesLevelLocationAndTextThroughTheBoundLogger) {
  Init({LogCapture::MakeLogger("stmt")});
  static const LogChannel channel{"stmt.Module"};
  PLINTH_LOG(channel, spdlog::level::warn, "value {} of {}", 3, "four");
  const int line = __LINE__ - 1;
  PLINTH_LOG(std::string("stmt.Module"), spdlog::level::debug, "by name");
  // The entry for code compiled into hosts: text as it stands, at valid levels only.
  for (int level : {-1, 0, 5, 6}) {
    Melvo::detail::WriteLogStatement("stmt.Host", "Host/File", 7, "Host::Function", level, "kept {}");
  }

  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].level, spdlog::level::warn);
  EXPECT_EQ(records[0].logger, "stmt.Module");
  EXPECT_EQ(records[0].file, "tests/LoggingTests") << "paths are relative to the project root";
  EXPECT_EQ(records[0].line, line);
  EXPECT_EQ(records[0].function,
            "{anonymous}::LogStatement_WritesLevelLocationAndTextThroughTheBoundLogger_Test::TestBody");
  EXPECT_EQ(records[0].text, "value 3 of four");
  EXPECT_EQ(records[1].level, spdlog::level::debug);
  EXPECT_EQ(records[1].text, "by name");
  EXPECT_EQ(records[2].level, spdlog::level::trace);
  EXPECT_EQ(records[3].level, spdlog::level::critical);
  EXPECT_EQ(records[3].logger, "stmt.Host");
  EXPECT_EQ(records[3].file, "Host/File");
  EXPECT_EQ(records[3].line, 7);
  EXPECT_EQ(records[3].function, "Host::Function");
  EXPECT_EQ(records[3].text, "kept {}");
}

TEST(GetLogger, BindsTheRegisteredCloneOrAClonedParentForGood) {
  auto host = LogCapture::MakeLogger("tree");
  Init({host});
  auto registered = spdlog::get("tree");
  EXPECT_NE(registered, host) << "the registry holds a clone of the host's logger";
  EXPECT_EQ(GetLogger("tree"), registered);
  auto child = GetLogger("tree.a.b");
  EXPECT_EQ(child->name(), "tree.a.b");
  EXPECT_EQ(spdlog::get("tree.a.b"), nullptr) << "a clone is cached, never registered";

  // The registered logger's level is seen; a parent's later level, or a nearer parent registered
  // later, is not seen by a bound child.
  registered->set_level(spdlog::level::err);
  Init({LogCapture::MakeLogger("tree.a")});
  EXPECT_EQ(GetLogger("tree.a.b"), child);
  static const LogChannel exact{"tree"};
  static const LogChannel nested{"tree.a.b"};
  PLINTH_LOG(exact, spdlog::level::warn, "below the registered level");
  PLINTH_LOG(nested, spdlog::level::warn, "through the child");
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].logger, "tree.a.b");
}

TEST(GetLogger, NamesUnboundAtInitShareTheSwitchedOffDefaultLoggerForGood) {
  InFreshProcess([] {
    // The empty name is the default logger's own name: found, and left at its level.
    EXPECT_EQ(GetLogger(""), spdlog::default_logger());
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::info);
    // A statement whose level is disabled binds its name all the same.
    static const LogChannel early{"vorn.Plinth.Early"};
    PLINTH_LOG(early, spdlog::level::trace, "discarded");
    EXPECT_EQ(spdlog::default_logger()->level(), spdlog::level::off);
    Init({LogCapture::MakeLogger("vorn.Plinth")});
    PLINTH_LOG(early, spdlog::level::critical, "still discarded");
    EXPECT_EQ(GetLogger("vorn"), spdlog::default_logger());

    static const LogChannel late{"vorn.Plinth.Late"};
    PLINTH_LOG(late, spdlog::level::info, "written");
    auto records = LogCapture::Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].logger, "vorn.Plinth.Late");
  });
}

TEST(GetLogger, ConcurrentFirstLookupsBindOneLogger) {
  Init({LogCapture::MakeLogger("race")});
  constexpr int kThreads = 8;
  std::vector<std::shared_ptr<spdlog::logger>> seen(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (++ready; ready.load() < kThreads;) {
      }
      seen[i] = GetLogger("race.same.name");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::shared_ptr<spdlog::logger>>(seen.begin(), seen.end()).size(), 1u);
}

TEST(InitLoggerPlinth, FailsOnNullLoggersBadThreadCountsAndTakenNamesReleasingTheHostLoggers) {
  Init({LogCapture::MakeLogger("dup.taken")});
  const auto pool = spdlog::thread_pool();
  auto first = LogCapture::MakeLogger("dup.first");
  // The lists are made inside: a braced list at the call would hold a copy of `first` past the check.
  // `nullAt` is the position of a null logger in the list, or -1 for none.
  auto expectRefused = [&](int nullAt, std::int32_t threads, const std::string& message) {
    try {
      std::vector<std::shared_ptr<spdlog::logger>> loggers{first, LogCapture::MakeLogger("dup.taken"),
                                                           LogCapture::MakeLogger("dup.last")};
      if (nullAt >= 0) loggers[static_cast<std::size_t>(nullAt)] = nullptr;
      InitLoggerPlinth(std::move(loggers), LoggerThreadPoolSettings{64, threads});
      ADD_FAILURE() << "accepted: " << message;
    } catch (const spdlog::spdlog_ex& error) {
      EXPECT_EQ(error.what(), message);
    }
    EXPECT_EQ(first.use_count(), 1) << "the host's loggers must be released on failure";
  };
  // A null logger or a bad thread count fails before anything changes.
  expectRefused(0, 1, "InitLoggerPlinth: the logger at position 0 is null");
  expectRefused(1, 1, "InitLoggerPlinth: the logger at position 1 is null");
  for (std::int32_t threads : {0, 1001, -1}) {
    expectRefused(-1, threads, "spdlog::thread_pool(): invalid threads_n param (valid range is 1-1000)");
  }
  EXPECT_EQ(spdlog::thread_pool(), pool);
  EXPECT_EQ(spdlog::get("dup.first"), nullptr);
  // A taken name fails after the pool was replaced and the loggers before it registered.
  expectRefused(-1, 1000, "logger with name 'dup.taken' already exists");
  EXPECT_NE(spdlog::thread_pool(), pool);
  EXPECT_NE(spdlog::get("dup.first"), nullptr);
  EXPECT_EQ(spdlog::get("dup.last"), nullptr);
  EXPECT_NO_THROW(InitLoggerPlinth({}, LoggerThreadPoolSettings{16, 1}));
}

TEST(LoggingVocabulary, HasTheConfigurationNames) {
  EXPECT_EQ(Melvo::LogConfigSuffix, ".log.config");
  EXPECT_EQ(Melvo::OrganizationName, "VORNE");
  using Names = std::map<std::string, int>;
  EXPECT_EQ(Melvo::LogLevelNames, (Names{{"trace", 0},
                                         {"debug", 1},
                                         {"info", 2},
                                         {"warning", 3},
                                         {"error", 4},
                                         {"critical", 5},
                                         {"off", 6}}));
  EXPECT_EQ(Melvo::LogSinkTypes, (Names{{"stdout", 1},
                                        {"stdout_color", 2},
                                        {"rotating_file", 3},
                                        {"daily_file", 4},
                                        {"simple_file", 5},
                                        {"syslog", 6},
                                        {"msvc", 7}}));
}

}  // namespace
