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

// The messages written since the last look: level, logger, location and text.
std::string Written() {
  std::string written;
  for (const auto& r : LogCapture::Take())
    written += fmt::format("{} {} {}:{} {}: {}\n", static_cast<int>(r.level), r.logger, r.file, r.line,
                           r.function, r.text);
  return written;
}

// A name binds to the registered logger itself, else to a clone of the nearest registered parent,
// once however many threads look it up first, and for good: a parent's later level, or a nearer
// parent registered later, is not seen. A statement names its file without the extension and its
// function by the word before the parameters; the entry for hosts writes its text as it stands, at
// valid levels only.
TEST(GetLogger, BindsTheRegisteredCloneOrAClonedParentOnceAndForGood) {
  auto host = LogCapture::MakeLogger("tree");
  InitLoggerPlinth({host}, {64, 1});
  auto registered = spdlog::get("tree");
  std::vector<std::shared_ptr<spdlog::logger>> seen(8);
  PlinthTest::StartLine start(8);
  std::vector<std::thread> threads;
  for (auto& logger : seen) threads.emplace_back([&] { start.Arrive(), logger = GetLogger("tree.a.b"); });
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(std::set<std::shared_ptr<spdlog::logger>>(seen.begin(), seen.end()).size() == 1 &&
              registered != host && GetLogger("tree") == registered && seen[0]->name() == "tree.a.b" &&
              !spdlog::get("tree.a.b"));
  registered->set_level(spdlog::level::err);
  InitLoggerPlinth({LogCapture::MakeLogger("tree.a")}, {64, 1});
  static const Melvo::detail::LogChannel exact{"tree"};
  PLINTH_LOG(exact, spdlog::level::warn, "below the registered level");
  PLINTH_LOG(std::string("tree.a.b"), spdlog::level::warn, "value {} of {}", 3, "four");
  const int line = __LINE__ - 1;
  for (int level : {-1, 0, 6})
    Melvo::detail::WriteLogStatement("tree.a.b", "Host/File", 7, "Host::F", level, "kept {}");
  EXPECT_EQ(GetLogger("tree.a.b"), seen[0]);
  EXPECT_EQ(Written(), fmt::format("3 tree.a.b tests/LoggingTests:{} {{anonymous}}::GetLogger_"
                                   "BindsTheRegisteredCloneOrAClonedParentOnceAndForGood_Test::TestBody: "
                                   "value 3 of four\n0 tree.a.b Host/File:7 Host::F: kept {{}}\n",
                                   line));
  static constexpr auto folder = Melvo::detail::SourceFileName("src/v1.2/W");  // a dot, yet no extension
  static constexpr auto extensions = Melvo::detail::SourceFileName("W.x.cpp");
  EXPECT_EQ(std::string(folder.c_str()) + extensions.c_str(), "src/v1.2/WW.x");
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
    InitLoggerPlinth({LogCapture::MakeLogger("a"), LogCapture::MakeLogger("vorn.Plinth")}, {64, 1});
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

}  // namespace
