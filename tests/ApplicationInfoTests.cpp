#include <Plinth/ApplicationInfo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "support/ChildProcess.h"
#include "support/TempFolder.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::ApplicationInfo;
using Melvo::ContentFolderType;
using Melvo::DataFolderType;
using PlinthTest::RunInChildProcess;

// This test program, as the build placed it.
const fs::path& TestExecutable() {
  static const fs::path file = fs::canonical(PLINTH_TEST_EXECUTABLE);
  return file;
}
fs::path TestFolder() {
  return TestExecutable().parent_path();
}
std::string QuotedTestExecutable() {
  return "\"" + TestExecutable().string() + "\"";
}

// Init with a program name in argv[0] followed by `arguments`.
bool InitWith(const std::vector<const char*>& arguments, const std::string& name = "Sound Tool",
              const std::string& organization = "Org", DataFolderType type = DataFolderType::LocalAppData) {
  std::vector<const char*> argv{"sound-tool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  argv.push_back(nullptr);
  return ApplicationInfo::Init(name, "Old Tool", organization, "2.1.0", "beta", type,
                               static_cast<int>(argv.size() - 1), argv.data());
}

// The test process itself never calls Init, so everything here is the state before it.
TEST(ApplicationInfo, GivesNeutralAnswersBeforeInit) {
  for (const std::string* text :
       {&ApplicationInfo::Name(), &ApplicationInfo::NormalizedName(), &ApplicationInfo::LegacyName(),
        &ApplicationInfo::Organization(), &ApplicationInfo::Version(), &ApplicationInfo::PreReleaseTag(),
        &ApplicationInfo::ServiceName()}) {
    EXPECT_EQ(*text, "");
  }
  EXPECT_TRUE(ApplicationInfo::IsRunningAsService());
  EXPECT_EQ(ApplicationInfo::RestartCommandLine(), "");
  EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), QuotedTestExecutable());
  EXPECT_EQ(ApplicationInfo::ExecutableFilePath(), TestExecutable());
  EXPECT_EQ(ApplicationInfo::ExecutablePath(), TestFolder());
  EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder());
  EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile("x.cfg"), TestFolder() / "x.cfg");
  EXPECT_TRUE(ApplicationInfo::GetContentPaths().empty());
  EXPECT_EQ(ApplicationInfo::GetContentPath(ContentFolderType::Images), fs::path());
  EXPECT_EQ(ApplicationInfo::GetDefaultImageName(), "_NotAvailable.jpg");
  EXPECT_FALSE(ApplicationInfo::IsSourceTypeWaveFile());
  EXPECT_FALSE(ApplicationInfo::IsProcessSilentRestartRequested());
  EXPECT_FALSE(ApplicationInfo::IsProcessRestartedSilently());

  ApplicationInfo info, other;
  EXPECT_EQ(&(info = other), &info);
  EXPECT_EQ(&(info = std::move(other)), &info);
}

struct ArgumentCase {
  std::vector<const char*> arguments;
  bool service;
  std::string quoted;
};

TEST(ApplicationInfo, OnlyAStandaloneSwitchLeavesServiceModeAndEveryArgumentIsQuoted) {
  const ArgumentCase cases[] = {
      {{}, true, ""},
      {{"-x"}, false, R"( "-x")"},
      {{"--execute_standalone"}, false, R"( "--execute_standalone")"},
      {{"--verbose"}, true, R"( "--verbose")"},
      {{"-v", "run"}, true, R"( "-v" "run")"},
      {{"a b", "-x", ""}, false, R"( "a b" "-x" "")"},
      {{"--port", "7", "--execute_standalone"}, false, R"( "--port" "7" "--execute_standalone")"},
      {{"-X", "-x ", " -x", "-xv", "x", "--execute-standalone", "--execute_standalone=1",
        "-execute_standalone"},
       true,
       R"( "-X" "-x " " -x" "-xv" "x" "--execute-standalone" "--execute_standalone=1" "-execute_standalone")"},
  };
  for (const ArgumentCase& c : cases) {
    SCOPED_TRACE(c.quoted);
    RunInChildProcess([&] {
      ASSERT_TRUE(InitWith(c.arguments));
      EXPECT_EQ(ApplicationInfo::IsRunningAsService(), c.service);
      EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), QuotedTestExecutable() + c.quoted);
      EXPECT_EQ(ApplicationInfo::RestartCommandLine(), c.service ? "" : QuotedTestExecutable() + c.quoted);
    });
  }
  // With fewer than two arguments argv is not read at all.
  for (int argc : {0, 1}) {
    RunInChildProcess([&] {
      ASSERT_TRUE(
          ApplicationInfo::Init("Tool", "", "Org", "1", "", DataFolderType::LocalAppData, argc, nullptr));
      EXPECT_TRUE(ApplicationInfo::IsRunningAsService());
      EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), QuotedTestExecutable());
    });
  }
}

TEST(ApplicationInfo, RefusesMissingArgumentsAndStaysUninitialised) {
  RunInChildProcess([] {
    const char* argv[] = {"tool", nullptr, "-x"};
    EXPECT_THROW(ApplicationInfo::Init("Tool", "", "Org", "1", "", DataFolderType::LocalAppData, 3, argv),
                 std::invalid_argument);
    EXPECT_THROW(ApplicationInfo::Init("Tool", "", "Org", "1", "", DataFolderType::LocalAppData, 2, nullptr),
                 std::invalid_argument);
    EXPECT_EQ(ApplicationInfo::Name(), "");
    EXPECT_TRUE(ApplicationInfo::IsRunningAsService());
    EXPECT_TRUE(InitWith({"-x"}));
    EXPECT_EQ(ApplicationInfo::Name(), "Sound Tool");
  });
}

TEST(ApplicationInfo, RestartsAServiceByItsNameOnly) {
  RunInChildProcess([] {
    ASSERT_TRUE(InitWith({"--verbose"}));
    EXPECT_EQ(ApplicationInfo::RestartCommandLine(), "");  // a service without a name
    EXPECT_TRUE(ApplicationInfo::InitServiceName("Sound Tool Service"));
    EXPECT_EQ(ApplicationInfo::RestartCommandLine(), R"(net start "Sound Tool Service")");
    EXPECT_FALSE(ApplicationInfo::InitServiceName("Other Service"));
    EXPECT_EQ(ApplicationInfo::ServiceName(), "Sound Tool Service");
    EXPECT_EQ(ApplicationInfo::RestartCommandLine(), R"(net start "Sound Tool Service")");
  });
  RunInChildProcess([] {
    ASSERT_TRUE(ApplicationInfo::InitServiceName("Sound Tool Service"));
    EXPECT_EQ(ApplicationInfo::ServiceName(), "Sound Tool Service");
    EXPECT_EQ(ApplicationInfo::RestartCommandLine(), "");  // not initialised yet
    ASSERT_TRUE(InitWith({"-x", "--verbose"}));
    EXPECT_EQ(ApplicationInfo::RestartCommandLine(), QuotedTestExecutable() + R"( "-x" "--verbose")");
  });
}

TEST(ApplicationInfo, RecordsTheFirstIdentityAndNormalizesTheName) {
  RunInChildProcess([] {
    const std::string name = " \tMy Great\nApp\v\f\r Caf\xC3\xA9\xA0X ";
    const char* argv[] = {"tool", "-x"};
    ASSERT_TRUE(ApplicationInfo::Init(name, "Legacy", "Org Inc", "3.2.1", "rc1",
                                      DataFolderType::CommonAppData, 2, argv));
    // Only the classic white space goes; bytes of other characters (0xA0 included) stay.
    EXPECT_EQ(ApplicationInfo::NormalizedName(), "MyGreatAppCaf\xC3\xA9\xA0X");
    EXPECT_EQ(ApplicationInfo::Name(), name);
    EXPECT_EQ(ApplicationInfo::LegacyName(), "Legacy");
    EXPECT_EQ(ApplicationInfo::Organization(), "Org Inc");
    EXPECT_EQ(ApplicationInfo::Version(), "3.2.1");
    EXPECT_EQ(ApplicationInfo::PreReleaseTag(), "rc1");
    ::unsetenv("DEV_USE_CURRENT_DIR_FOR_APP_DATA");
    const fs::path dataPath = ApplicationInfo::DataPath();
    EXPECT_EQ(dataPath, fs::path("/var/lib") / "Org Inc" / name);

    const char* otherArgv[] = {"tool", "--verbose"};
    EXPECT_FALSE(ApplicationInfo::Init("Other", "L2", "Org2", "9", "x", DataFolderType::ExecutableFolder, 2,
                                       otherArgv));
    EXPECT_EQ(ApplicationInfo::Name(), name);
    EXPECT_EQ(ApplicationInfo::NormalizedName(), "MyGreatAppCaf\xC3\xA9\xA0X");
    EXPECT_EQ(ApplicationInfo::LegacyName(), "Legacy");
    EXPECT_EQ(ApplicationInfo::Organization(), "Org Inc");
    EXPECT_EQ(ApplicationInfo::Version(), "3.2.1");
    EXPECT_EQ(ApplicationInfo::PreReleaseTag(), "rc1");
    EXPECT_FALSE(ApplicationInfo::IsRunningAsService());
    EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), QuotedTestExecutable() + R"( "-x")");
    EXPECT_EQ(ApplicationInfo::DataPath(), dataPath);
  });
}

TEST(ApplicationInfo, InitMakesTheExecutableFolderTheWorkingDirectory) {
  PlinthTest::TempFolder elsewhere;
  RunInChildProcess([&] {
    fs::current_path(elsewhere.Path());
    ASSERT_TRUE(InitWith({}));
    EXPECT_EQ(fs::current_path(), TestFolder());
    fs::current_path(elsewhere.Path());
    EXPECT_FALSE(InitWith({}));
    EXPECT_EQ(fs::current_path(), elsewhere.Path());  // only the first Init moves it
  });
}

// Threads released together race for each one-shot initialiser; exactly one wins and what is
// stored comes whole from the winner. Readers running meanwhile see the empty text or the whole
// winning value, never a part.
TEST(ApplicationInfo, ConcurrentFirstCallsStoreExactlyOnce) {
  constexpr int kThreads = 6;
  for (int round = 0; round < 4; ++round) {
    RunInChildProcess([] {
      std::atomic<int> ready{0};
      std::atomic<bool> done{false};
      std::vector<int> won(kThreads, 0);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          const std::string tag = std::to_string(t);
          std::vector<const char*> arguments;
          if (t % 2 == 1) arguments.push_back("-x");
          ++ready;
          while (ready.load() < kThreads) {
          }
          won[t] = int(InitWith(arguments, "App " + tag, "Org " + tag)) +
                   2 * int(ApplicationInfo::InitServiceName("Service " + tag)) +
                   4 * int(ApplicationInfo::InitContentPaths({{ContentFolderType::Audio, "/audio/" + tag}}));
        });
      }
      std::thread reader([&] {
        while (!done.load()) {
          const std::string& name = ApplicationInfo::Name();
          EXPECT_TRUE(name.empty() || name.rfind("App ", 0) == 0) << name;
        }
      });
      for (auto& thread : threads) thread.join();
      done = true;
      reader.join();

      for (int bit : {1, 2, 4}) {
        int winners = 0;
        for (int t = 0; t < kThreads; ++t) winners += (won[t] & bit) != 0;
        EXPECT_EQ(winners, 1) << "initialiser " << bit;
      }
      for (int t = 0; t < kThreads; ++t) {
        const std::string tag = std::to_string(t);
        if (won[t] & 1) {
          EXPECT_EQ(ApplicationInfo::Name(), "App " + tag);
          EXPECT_EQ(ApplicationInfo::Organization(), "Org " + tag);
          EXPECT_EQ(ApplicationInfo::IsRunningAsService(), t % 2 == 0);
        }
        if (won[t] & 2) {
          EXPECT_EQ(ApplicationInfo::ServiceName(), "Service " + tag);
        }
        if (won[t] & 4) {
          EXPECT_EQ(ApplicationInfo::GetContentPath(ContentFolderType::Audio), "/audio/" + tag);
        }
      }
    });
  }
}

// The data folder for each folder type, name and organization, under each value of the switch.
TEST(ApplicationInfo, ChoosesTheDataFolderByTypeSwitchAndSystemFolder) {
  PlinthTest::TempFolder temp;
  const fs::path dataHome = temp / "xdg";
  const auto setSwitch = [](const char* value) {
    if (value == nullptr) {
      ::unsetenv("DEV_USE_CURRENT_DIR_FOR_APP_DATA");
    } else {
      ::setenv("DEV_USE_CURRENT_DIR_FOR_APP_DATA", value, 1);
    }
  };
  const std::string longValue(1000, '1');
  const std::vector<const char*> besideExecutable = {"1", "true", "TRUE", "True", "tRUe"};
  const std::vector<const char*> systemFolder = {nullptr, "",   "yes",   "0",   "01", "11",
                                                 "1 ",    " 1", "truee", "tru", "on", longValue.c_str()};

  RunInChildProcess([&] {
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    ASSERT_TRUE(InitWith({}, "Sound Tool", "Org", DataFolderType::LocalAppData));
    for (const char* value : besideExecutable) {
      setSwitch(value);
      EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder()) << value;
    }
    for (const char* value : systemFolder) {
      setSwitch(value);
      EXPECT_EQ(ApplicationInfo::DataPath(), dataHome / "Org" / "Sound Tool") << (value ? value : "(unset)");
    }
    EXPECT_FALSE(fs::exists(dataHome));  // never created

    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", "/home/u1", 1);
    EXPECT_EQ(ApplicationInfo::DataPath(), fs::path("/home/u1/.local/share/Org/Sound Tool"));
    ::unsetenv("HOME");  // no per-user folder at all: the executable's folder
    EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder());
  });
  RunInChildProcess([&] {
    ASSERT_TRUE(InitWith({}, "Sound Tool", "Org", DataFolderType::CommonAppData));
    setSwitch(nullptr);
    EXPECT_EQ(ApplicationInfo::DataPath(), fs::path("/var/lib/Org/Sound Tool"));
    setSwitch("TRUE");
    EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder());
  });
  // No system folder asked for, or no name or organization to build one with.
  const struct {
    const char* name;
    const char* organization;
    DataFolderType type;
  } executableFolderCases[] = {
      {"Sound Tool", "Org", DataFolderType::ExecutableFolder},
      {"Sound Tool", "Org", DataFolderType{3}},
      {"Sound Tool", "Org", DataFolderType{-1}},
      {"Sound Tool", "", DataFolderType::LocalAppData},
      {"", "Org", DataFolderType::CommonAppData},
  };
  for (const auto& c : executableFolderCases) {
    RunInChildProcess([&] {
      ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
      setSwitch(nullptr);
      ASSERT_TRUE(InitWith({}, c.name, c.organization, c.type));
      EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder()) << static_cast<int>(c.type);
    });
  }
}

TEST(ApplicationInfo, EstablishesPathsOnlyForRelativeFiles) {
  PlinthTest::TempFolder temp;
  RunInChildProcess([&] {
    ::setenv("XDG_DATA_HOME", temp.Path().c_str(), 1);
    ::unsetenv("DEV_USE_CURRENT_DIR_FOR_APP_DATA");
    ASSERT_TRUE(InitWith({}, "Sound Tool", "Org", DataFolderType::LocalAppData));
    const fs::path dataFolder = temp.Path() / "Org" / "Sound Tool";
    EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile(""), fs::path());
    EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile("/etc/x.cfg"), fs::path("/etc/x.cfg"));
    EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile("x.cfg"), dataFolder / "x.cfg");
    EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile("sub/x.cfg").string(),
              dataFolder.string() + "/sub/x.cfg");
    EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile(""), fs::path());
    EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile("/etc/x.cfg"), fs::path("/etc/x.cfg"));
    EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile("x.cfg"), TestFolder() / "x.cfg");
    EXPECT_FALSE(fs::exists(dataFolder));
  });
}

TEST(ApplicationInfo, KeepsTheFirstContentPathsAsACopy) {
  RunInChildProcess([] {
    ApplicationInfo::ContentPaths paths{{ContentFolderType{9}, "/nine"},
                                        {ContentFolderType::Audio, "/audio"}};
    ASSERT_TRUE(ApplicationInfo::InitContentPaths(paths));
    paths.clear();
    EXPECT_EQ(ApplicationInfo::GetContentPath(ContentFolderType::Audio), fs::path("/audio"));
    EXPECT_EQ(ApplicationInfo::GetContentPath(ContentFolderType{9}), fs::path("/nine"));
    EXPECT_EQ(ApplicationInfo::GetContentPath(ContentFolderType::Images), fs::path());
    EXPECT_FALSE(ApplicationInfo::InitContentPaths({{ContentFolderType::Images, "/images"}}));
    EXPECT_EQ(ApplicationInfo::GetContentPath(ContentFolderType::Images), fs::path());
    const ApplicationInfo::ContentPaths expected{{ContentFolderType::Audio, "/audio"},
                                                 {ContentFolderType{9}, "/nine"}};
    EXPECT_EQ(ApplicationInfo::GetContentPaths(), expected);
    EXPECT_EQ(ApplicationInfo::Name(), "");  // independent of Init
  });
}

TEST(ApplicationInfo, FlagsAreIndependentAndReversible) {
  RunInChildProcess([] {
    using Setter = void (*)(bool);
    using Getter = bool (*)();
    const std::pair<Setter, Getter> flags[] = {
        {ApplicationInfo::SetSourceTypeWaveFile, ApplicationInfo::IsSourceTypeWaveFile},
        {ApplicationInfo::SetProcessSilentRestartRequested, ApplicationInfo::IsProcessSilentRestartRequested},
        {ApplicationInfo::SetProcessRestartedSilently, ApplicationInfo::IsProcessRestartedSilently},
    };
    for (const auto& [set, get] : flags) {
      set(true);
      for (const auto& other : flags) EXPECT_EQ(other.second(), other.second == get);
      set(false);
      for (const auto& other : flags) EXPECT_FALSE(other.second());
    }
  });
}

}  // namespace
