#include <Plinth/ApplicationInfo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "support/ChildProcess.h"
#include "support/StartLine.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::ApplicationInfo;
using Type = Melvo::DataFolderType;

// The per-user data folder: on Windows the system's own; elsewhere one named through XDG_DATA_HOME
// by the tests, never made. An empty value removes a variable on Windows.
#ifdef _WIN32
const fs::path kLocalData = std::getenv("LOCALAPPDATA");
const auto SetVariable = [](const char* name, const char* value) { _putenv_s(name, value); };
#else
const fs::path kLocalData = fs::temp_directory_path() / fs::unique_path("plinth-test-%%%%-%%%%");
const auto SetVariable = [](const char* name, const char* value) { setenv(name, value, 1); };
#endif
// Blanks of every classic kind around and inside, and bytes of other characters (0xA0) that stay.
const std::string kName = " \tSound\nTool\v\f\r Caf\xC3\xA9\xA0X ";
const fs::path kExecutable = ApplicationInfo::ExecutableFilePath();
const fs::path kFolder = kExecutable.parent_path();
const std::string kCommand = "\"" + kExecutable.string() + "\"";

// Init with the program's name and `arguments`; argv itself is null when there is no argument, as
// only from two arguments on is it read.
bool InitWith(std::vector<const char*> arguments, Type type = Type::LocalAppData,
              const std::string& organization = "Org", const std::string& name = kName) {
  arguments.insert(arguments.begin(), "sound-tool");
  return ApplicationInfo::Init(name, "Old Tool", organization, "2.1.0", "beta", type,
                               static_cast<int>(arguments.size()),
                               arguments.size() > 1 ? arguments.data() : nullptr);
}

// The test process itself never completes an Init: everything here is the state before it.
TEST(ApplicationInfo, GivesNeutralAnswersBeforeInit) {
  const char* nullArgument[] = {"tool", nullptr};
  for (const char* const* argv : {nullArgument, static_cast<const char**>(nullptr)}) {
    EXPECT_THROW(ApplicationInfo::Init("Tool", "", "Org", "1", "", Type::LocalAppData, 2, argv),
                 std::invalid_argument);
  }
  EXPECT_EQ(kExecutable.filename(), fs::path(PLINTH_TEST_EXECUTABLE).filename());
  EXPECT_TRUE(ApplicationInfo::IsRunningAsService());
  EXPECT_EQ(ApplicationInfo::RestartCommandLine(), "");
  EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), kCommand);
  // Relative names are completed, with the data folder here the executable's; empty and absolute
  // ones stay as they are.
  for (const fs::path& file : {fs::path(), kLocalData / "x.cfg"}) {
    EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile(file), file);
    EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile(file), file);
  }
  EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile("x.cfg"), kFolder / "x.cfg");
  EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile("x.cfg"), kFolder / "x.cfg");
}

// What Init records and decides: the identity, service mode from the arguments, each argument
// quoted, the restart command (the command line, or for a service the start of the service if it
// has a name), the move to the executable's folder, and the data folder by its type and the
// developer's switch ("1" or "true" in any case keeps the data beside the executable).
TEST(ApplicationInfo, InitDecidesServiceModeCommandLineAndDataFolder) {
  const Type local = Type::LocalAppData;
  const struct {
    std::vector<const char*> arguments;
    std::string quoted;
    bool service;
    Type type;
    const char* organization;
    const char* dataSwitch;
    bool ownFolder;
  } cases[] = {
      {{}, "", true, local, "Org", "", true},
      {{"-x"}, R"( "-x")", false, Type::ExecutableFolder, "Org", "", false},
      {{"--verbose", "a b"}, R"( "--verbose" "a b")", true, Type{3}, "Org", "", false},
      {{"", "--execute_standalone"}, R"( "" "--execute_standalone")", false, local, "", "", false},
      {{"-x ", "--execute-standalone"}, R"( "-x " "--execute-standalone")", true, local, "Org", "1", false},
      {{"-xv", "-X"}, R"( "-xv" "-X")", true, local, "Org", "tRUe", false},
      {{}, "", true, local, "Org", "yes", true},
      {{}, "", true, local, "Org", "11", true},
      {{}, "", true, local, "Org", "truee", true},
  };
  for (const auto& c : cases) {
    PlinthTest::RunInChildProcess([&] {
      SetVariable("XDG_DATA_HOME", kLocalData.string().c_str());
      SetVariable("DEV_USE_CURRENT_DIR_FOR_APP_DATA", c.dataSwitch);
      fs::current_path(fs::temp_directory_path());
      ASSERT_TRUE(InitWith(c.arguments, c.type, c.organization));
      EXPECT_TRUE(fs::equivalent(fs::current_path(), kFolder)) << fs::current_path();
      EXPECT_EQ(ApplicationInfo::Name() + "|" + ApplicationInfo::NormalizedName() + "|" +
                    ApplicationInfo::LegacyName() + "|" + ApplicationInfo::Organization() + "|" +
                    ApplicationInfo::Version() + "|" + ApplicationInfo::PreReleaseTag(),
                kName + "|SoundToolCaf\xC3\xA9\xA0X|Old Tool|" + c.organization + "|2.1.0|beta");
      EXPECT_EQ(ApplicationInfo::IsRunningAsService(), c.service) << c.quoted;
      EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), kCommand + c.quoted);
      EXPECT_EQ(ApplicationInfo::RestartCommandLine(), c.service ? "" : kCommand + c.quoted);
      ASSERT_TRUE(ApplicationInfo::InitServiceName("S"));
      EXPECT_EQ(ApplicationInfo::RestartCommandLine(), c.service ? R"(net start "S")" : kCommand + c.quoted);
      // The folder is named with the name as given, blanks and all.
      const fs::path dataFolder = c.ownFolder ? kLocalData / "Org" / kName : kFolder;
      EXPECT_EQ(ApplicationInfo::DataPath(), dataFolder) << c.dataSwitch;
      EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile("sub/x.cfg"), dataFolder / "sub/x.cfg");
    });
  }
  // Without a name no folder is made of the organization alone.
  PlinthTest::RunInChildProcess([] {
    SetVariable("DEV_USE_CURRENT_DIR_FOR_APP_DATA", "");
    ASSERT_TRUE(InitWith({}, Type::CommonAppData, "Org", ""));
    EXPECT_EQ(ApplicationInfo::DataPath(), kFolder);
  });
}

// Threads released together race for each one-shot initialiser: exactly one call of each wins, and
// what is stored comes whole from the winner; the later calls change nothing.
TEST(ApplicationInfo, ConcurrentFirstCallsStoreExactlyOnce) {
  constexpr int kThreads = 8;
  PlinthTest::RunInChildProcess([] {
    PlinthTest::StartLine start(kThreads);
    std::vector<int> won(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t, tag = std::to_string(t)] {
        start.Arrive();
        // The content paths are a temporary: a copy is kept.
        won[t] = InitWith({t % 2 == 1 ? "-x" : "-v"}, Type::LocalAppData, tag, "App " + tag) +
                 2 * ApplicationInfo::InitServiceName("Service " + tag) +
                 4 * ApplicationInfo::InitContentPaths({{Melvo::ContentFolderType::Audio, "/audio/" + tag}});
      });
    }
    for (auto& thread : threads) thread.join();
    // The thread that won the initialiser of `bit`, the only one.
    const auto winner = [&](int bit) {
      const auto wins = [bit](int w) { return (w & bit) != 0; };
      EXPECT_EQ(std::count_if(won.begin(), won.end(), wins), 1) << "initialiser " << bit;
      return std::to_string(std::find_if(won.begin(), won.end(), wins) - won.begin());
    };
    EXPECT_EQ(ApplicationInfo::Name() + "/" + ApplicationInfo::Organization(),
              "App " + winner(1) + "/" + winner(1));
    EXPECT_EQ(ApplicationInfo::IsRunningAsService(), std::stoi(winner(1)) % 2 == 0);
    EXPECT_EQ(ApplicationInfo::ServiceName(), "Service " + winner(2));
    EXPECT_EQ(ApplicationInfo::GetContentPath(Melvo::ContentFolderType::Audio), "/audio/" + winner(4));
    EXPECT_EQ(ApplicationInfo::GetContentPath(Melvo::ContentFolderType::Images), fs::path());
  });
}

}  // namespace
