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
using PlinthTest::LogCapture;

// Runs `scenario` in a freshly started copy of this test program, so that it sees a library on
// which InitLoggerPlinth has not been called yet.
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

TEST(LogStatement, NamesFunctionsAsTheHomeCompilerDoes) {
  using Melvo::detail::QualifiedFunctionName;
  EXPECT_STREQ(QualifiedFunctionName("void Melvo::Buffer::SetReservedSize(std::size_t, bool)").c_str(),
               "Melvo::Buffer::SetReservedSize");
  EXPECT_STREQ(QualifiedFunctionName("Melvo::Buffer::Buffer(std::size_t)").c_str(), "Melvo::Buffer::Buffer");
  EXPECT_STREQ(
      QualifiedFunctionName("std::shared_ptr<Melvo::ManagedBuffer> Melvo::BufferQueue::AcquireBuffer("
                            "std::size_t, bool)")
          .c_str(),
      "Melvo::BufferQueue::AcquireBuffer");
  EXPECT_STREQ(QualifiedFunctionName("bool Melvo::Buffer::operator==(const Melvo::Buffer&) const").c_str(),
               "Melvo::Buffer::operator==");
  EXPECT_STREQ(QualifiedFunctionName("bool Melvo::A::operator<(const Melvo::A&) const").c_str(),
               "Melvo::A::operator<");
  EXPECT_STREQ(QualifiedFunctionName("void Melvo::A::operator()(int)").c_str(), "Melvo::A::operator()");
  EXPECT_STREQ(QualifiedFunctionName("Melvo::A::operator bool() const").c_str(), "Melvo::A::operator bool");
  EXPECT_STREQ(QualifiedFunctionName("bool Melvo::StateMachine<TState, TEvent>::ProcessEvent(const TEvent&) "
                                     "[with TState = Light; TEvent = std::pair<int, int>]")
                   .c_str(),
               "Melvo::StateMachine<TState, TEvent>::ProcessEvent");
  EXPECT_STREQ(QualifiedFunctionName("int main()").c_str(), "main");
}

TEST(LogStatement, NamesSourceFilesFromTheSourceFolderWithoutExtension) {
  using Melvo::detail::SourceFileName;
  EXPECT_STREQ(SourceFileName("/home/ci/plinth/src/Buffer.cpp").c_str(), "src/Buffer");
  EXPECT_STREQ(SourceFileName("src/platform/posix/PlatformPaths.cpp").c_str(),
               "src/platform/posix/PlatformPaths");
  EXPECT_STREQ(SourceFileName("/tmp/mysrc/x/Widget.h").c_str(), "Widget");
}

TEST(LogStatement, WritesLevelLocationAndTextThroughTheBoundLogger) {
  Init({LogCapture::MakeLogger("stmt")});
  static const Melvo::detail::LogChannel channel{"stmt.Module"};
  PLINTH_LOG(channel, spdlog::level::warn, "value {} of {}", 3, "four");
  const int line = __LINE__ - 1;
  PLINTH_LOG(std::string("stmt.Module"), spdlog::level::debug, "by name");

  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, spdlog::level::warn);
  EXPECT_EQ(records[0].logger, "stmt.Module");
  EXPECT_EQ(records[0].file, "LoggingTests");
  EXPECT_EQ(records[0].line, line);
  EXPECT_EQ(records[0].function,
            "{anonymous}::LogStatement_WritesLevelLocationAndTextThroughTheBoundLogger_Test::TestBody");
  EXPECT_EQ(records[0].text, "value 3 of four");
  EXPECT_EQ(records[1].text, "by name");
  EXPECT_EQ(records[1].level, spdlog::level::debug);
}

TEST(GetLogger, RegisteredNameBindsTheRegisteredObjectItself) {
  Init({LogCapture::MakeLogger("exact.Name")});
  auto registered = spdlog::get("exact.Name");
  ASSERT_NE(registered, nullptr);
  EXPECT_EQ(GetLogger("exact.Name"), registered);

  registered->set_level(spdlog::level::err);
  static const Melvo::detail::LogChannel channel{"exact.Name"};
  PLINTH_LOG(channel, spdlog::level::warn, "filtered by the registered level");
  EXPECT_TRUE(LogCapture::Take().empty());
}

TEST(GetLogger, ChildNameBindsAClonedParentForGood) {
  auto hostParent = LogCapture::MakeLogger("tree");
  Init({hostParent});
  auto registeredParent = spdlog::get("tree");

  auto child = GetLogger("tree.a.b");
  EXPECT_NE(child, registeredParent);
  EXPECT_EQ(child->name(), "tree.a.b");
  EXPECT_EQ(spdlog::get("tree.a.b"), nullptr) << "a clone is cached, never registered";
  EXPECT_EQ(GetLogger("tree.a.b"), child);

  // The clone copied the parent's level when it was bound; later changes do not reach it, and a
  // parent registered later does not rebind the name.
  registeredParent->set_level(spdlog::level::off);
  Init({LogCapture::MakeLogger("tree.a")});
  EXPECT_EQ(GetLogger("tree.a.b"), child);
  EXPECT_EQ(child->level(), spdlog::level::trace);

  child->error("through the child");
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].logger, "tree.a.b");
}

TEST(GetLogger, UnknownNamesShareTheSwitchedOffDefaultLogger) {
  auto fallback = GetLogger("vorn");
  EXPECT_EQ(fallback, spdlog::default_logger());
  EXPECT_EQ(fallback->level(), spdlog::level::off);
  EXPECT_EQ(GetLogger("nobody.registered.this"), fallback);
}

TEST(GetLogger, EmptyNameIsTheDefaultLoggerAtItsCurrentLevel) {
  InFreshProcess([] {
    auto defaultLogger = GetLogger("");
    EXPECT_EQ(defaultLogger, spdlog::default_logger());
    EXPECT_EQ(defaultLogger->level(), spdlog::level::info);
    GetLogger("unbound");
    EXPECT_EQ(defaultLogger->level(), spdlog::level::off);
  });
}

TEST(GetLogger, NameFirstUsedBeforeInitStaysBoundToTheDefaultLogger) {
  InFreshProcess([] {
    // A statement whose level is disabled binds its name all the same.
    static const Melvo::detail::LogChannel early{"vorn.Plinth.Early"};
    PLINTH_LOG(early, spdlog::level::trace, "discarded");

    Init({LogCapture::MakeLogger("vorn.Plinth")});
    PLINTH_LOG(early, spdlog::level::critical, "still discarded");
    EXPECT_EQ(GetLogger("vorn.Plinth.Early"), spdlog::default_logger());

    static const Melvo::detail::LogChannel late{"vorn.Plinth.Late"};
    PLINTH_LOG(late, spdlog::level::info, "written");
    auto records = LogCapture::Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].logger, "vorn.Plinth.Late");
    EXPECT_EQ(records[0].text, "written");
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
      ++ready;
      while (ready.load() < kThreads) {
      }
      seen[i] = GetLogger("race.same.name");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::shared_ptr<spdlog::logger>>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_EQ(seen[0]->name(), "race.same.name");
}

TEST(InitLoggerPlinth, RejectsThreadCountsOutsideOneToAThousandKeepingThePool) {
  Init({});
  auto pool = spdlog::thread_pool();
  for (std::int32_t threads : {0, 1001, -1}) {
    auto logger = LogCapture::MakeLogger("threads.never" + std::to_string(threads));
    try {
      InitLoggerPlinth({logger}, LoggerThreadPoolSettings{64, threads});
      ADD_FAILURE() << threads << " threads accepted";
    } catch (const spdlog::spdlog_ex& error) {
      EXPECT_STREQ(error.what(), "spdlog::thread_pool(): invalid threads_n param (valid range is 1-1000)");
    }
    EXPECT_EQ(spdlog::thread_pool(), pool);
    EXPECT_EQ(spdlog::get(logger->name()), nullptr);
    EXPECT_EQ(logger.use_count(), 1) << "the host's logger must be released on failure";
  }
  for (std::int32_t threads : {1, 1000}) {
    EXPECT_NO_THROW(InitLoggerPlinth({}, LoggerThreadPoolSettings{16, threads}));
    EXPECT_NE(spdlog::thread_pool(), pool);
    pool = spdlog::thread_pool();
  }
}

TEST(InitLoggerPlinth, DuplicateNameStopsRegistrationAfterReplacingThePool) {
  Init({LogCapture::MakeLogger("dup.taken")});
  auto pool = spdlog::thread_pool();
  auto before = LogCapture::MakeLogger("dup.before");
  auto taken = LogCapture::MakeLogger("dup.taken");
  auto after = LogCapture::MakeLogger("dup.after");
  try {
    Init({before, taken, after});
    FAIL() << "a duplicate name must throw";
  } catch (const spdlog::spdlog_ex& error) {
    EXPECT_STREQ(error.what(), "logger with name 'dup.taken' already exists");
  }
  EXPECT_NE(spdlog::thread_pool(), pool);
  EXPECT_NE(spdlog::get("dup.before"), nullptr);
  EXPECT_NE(spdlog::get("dup.before"), before) << "the registry holds a clone, not the host's logger";
  EXPECT_EQ(spdlog::get("dup.after"), nullptr);
  EXPECT_EQ(before.use_count(), 1);
  EXPECT_EQ(after.use_count(), 1);
}

TEST(InitLoggerPlinth, RegisteredCloneKeepsItsOwnLevel) {
  auto host = LogCapture::MakeLogger("levels");
  Init({host});
  host->set_level(spdlog::level::off);
  EXPECT_EQ(spdlog::get("levels")->level(), spdlog::level::trace);
}

TEST(LoggingVocabulary, HasTheConfigurationNames) {
  EXPECT_EQ(Melvo::LogConfigSuffix, ".log.config");
  EXPECT_EQ(Melvo::OrganizationName, "VORNE");
  const std::map<std::string, int> levels{{"trace", 0}, {"debug", 1},    {"info", 2}, {"warning", 3},
                                          {"error", 4}, {"critical", 5}, {"off", 6}};
  EXPECT_EQ(Melvo::LogLevelNames, levels);
  const std::map<std::string, int> sinks{{"stdout", 1},     {"stdout_color", 2}, {"rotating_file", 3},
                                         {"daily_file", 4}, {"simple_file", 5},  {"syslog", 6},
                                         {"msvc", 7}};
  EXPECT_EQ(Melvo::LogSinkTypes, sinks);
}

}  // namespace
