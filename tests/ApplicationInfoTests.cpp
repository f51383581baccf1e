#include <Plinth/ApplicationInfo.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support/ChildProcess.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::ApplicationInfo;
using Melvo::ContentFolderType;
using Melvo::DataFolderType;
using PlinthTest::RunInChildProcess;

// This test program, as the build placed it; on Windows as the system names it, which under wine
// puts a drive letter before the build's path.
const fs::path& TestExecutable() {
#ifdef _WIN32
  static const fs::path file = [] {
    wchar_t name[MAX_PATH];
    return fs::path(std::wstring(name, GetModuleFileNameW(nullptr, name, MAX_PATH)));
  }();
#else
  static const fs::path file = fs::canonical(PLINTH_TEST_EXECUTABLE);
#endif
  return file;
}
fs::path TestFolder() {
  return TestExecutable().parent_path();
}
std::string QuotedTestExecutable() {
  return "\"" + TestExecutable().string() + "\"";
}

constexpr char kSwitch[] = "DEV_USE_CURRENT_DIR_FOR_APP_DATA";

// Sets an environment variable of this process where the library reads it, or removes it when
// `value` is null. Windows removes a variable given the empty value, too.
void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

// The system's folder for data shared by all users: /var/lib on POSIX systems; on Windows the
// system's own name for it, from the environment it gives every process.
fs::path CommonDataFolder() {
#ifdef _WIN32
  return std::getenv("ProgramData");
#else
  return "/var/lib";
#endif
}

// The per-user data folder: made `folder` where the environment chooses it (XDG_DATA_HOME); on
// Windows the system's own, as its environment names it.
fs::path UseLocalDataFolder(const fs::path& folder) {
#ifdef _WIN32
  static_cast<void>(folder);
  return std::getenv("LOCALAPPDATA");
#else
  SetVariable("XDG_DATA_HOME", folder.c_str());
  return folder;
#endif
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
  EXPECT_FALSE(ApplicationInfo::IsSourceTypeWaveFile() || ApplicationInfo::IsProcessSilentRestartRequested() ||
               ApplicationInfo::IsProcessRestartedSilently());

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
    const auto identity = [] {
      return std::vector<std::string>{ApplicationInfo::Name(),         ApplicationInfo::NormalizedName(),
                                      ApplicationInfo::LegacyName(),   ApplicationInfo::Organization(),
                                      ApplicationInfo::Version(),      ApplicationInfo::PreReleaseTag(),
                                      ApplicationInfo::ExecutableCommandLine()};
    };
    const std::string name = " \tMy Great\nApp\v\f\r Caf\xC3\xA9\xA0X ";
    const char* argv[] = {"tool", "-x"};
    ASSERT_TRUE(ApplicationInfo::Init(name, "Legacy", "Org Inc", "3.2.1", "rc1",
                                      DataFolderType::CommonAppData, 2, argv));
    // Only the classic white space goes; bytes of other characters (0xA0 included) stay.
    const std::vector<std::string> first = {
        name, "MyGreatAppCaf\xC3\xA9\xA0X", "Legacy", "Org Inc", "3.2.1", "rc1", QuotedTestExecutable() + R"( "-x")"};
    EXPECT_EQ(identity(), first);
    SetVariable(kSwitch, nullptr);
    EXPECT_EQ(ApplicationInfo::DataPath(), CommonDataFolder() / "Org Inc" / name);

    const char* otherArgv[] = {"tool", "--verbose"};
    EXPECT_FALSE(ApplicationInfo::Init("Other", "L2", "Org2", "9", "x", DataFolderType::ExecutableFolder, 2,
                                       otherArgv));
    EXPECT_EQ(identity(), first);
    EXPECT_FALSE(ApplicationInfo::IsRunningAsService());
    EXPECT_EQ(ApplicationInfo::DataPath(), CommonDataFolder() / "Org Inc" / name);
    SetVariable(kSwitch, "TRUE");
    EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder());
  });
}

TEST(ApplicationInfo, InitMakesTheExecutableFolderTheWorkingDirectory) {
  RunInChildProcess([] {
    const fs::path elsewhere = fs::temp_directory_path();
    fs::current_path(elsewhere);
    ASSERT_TRUE(InitWith({}));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), TestFolder())) << fs::current_path();
    fs::current_path(elsewhere);
    EXPECT_FALSE(InitWith({}));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), elsewhere));  // only the first Init moves it
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
          const std::vector<const char*> arguments = t % 2 == 1 ? std::vector{"-x"} : std::vector<const char*>{};
          for (++ready; ready.load() < kThreads;) {
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

      // The thread that won initialiser `bit`, the only one.
      const auto winner = [&](int bit) {
        const auto hasBit = [bit](int w) { return (w & bit) != 0; };
        const auto first = std::find_if(won.begin(), won.end(), hasBit);
        EXPECT_EQ(std::count_if(first, won.end(), hasBit), 1) << "initialiser " << bit;
        return static_cast<int>(first - won.begin());
      };
      EXPECT_EQ(ApplicationInfo::Name(), "App " + std::to_string(winner(1)));
      EXPECT_EQ(ApplicationInfo::Organization(), "Org " + std::to_string(winner(1)));
      EXPECT_EQ(ApplicationInfo::IsRunningAsService(), winner(1) % 2 == 0);
      EXPECT_EQ(ApplicationInfo::ServiceName(), "Service " + std::to_string(winner(2)));
      EXPECT_EQ(ApplicationInfo::GetContentPath(ContentFolderType::Audio), "/audio/" + std::to_string(winner(4)));
    });
  }
}

// The data folder for each folder type, name and organization, under each value of the switch, and
// the files named relative to it.
TEST(ApplicationInfo, ChoosesTheDataFolderByTypeAndSwitch) {
  // Named, never made: nothing is created in the data folder's place.
  const fs::path nowhere = fs::temp_directory_path() / fs::unique_path("plinth-test-%%%%-%%%%");
  const std::string longValue(1000, '1');
  const std::vector<const char*> besideExecutable = {"1", "true", "TRUE", "True", "tRUe"};
  const std::vector<const char*> systemFolder = {nullptr, "",   "yes",   "0",   "01", "11",
                                                 "1 ",    " 1", "truee", "tru", "on", longValue.c_str()};
  RunInChildProcess([&] {
    const fs::path dataFolder = UseLocalDataFolder(nowhere) / "Org" / "Sound Tool";
    ASSERT_TRUE(InitWith({}, "Sound Tool", "Org", DataFolderType::LocalAppData));
    for (const char* value : besideExecutable) {
      SetVariable(kSwitch, value);
      EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder()) << value;
    }
    for (const char* value : systemFolder) {
      SetVariable(kSwitch, value);
      EXPECT_EQ(ApplicationInfo::DataPath(), dataFolder) << (value ? value : "(unset)");
    }
    // Relative names are completed, empty and absolute ones stay as they are.
    const fs::path absolute = nowhere / "x.cfg";
    for (const fs::path& file : {fs::path(), absolute}) {
      EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile(file), file);
      EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile(file), file);
    }
    EXPECT_EQ(ApplicationInfo::EstablishPathToDataFile("sub/x.cfg"), dataFolder / "sub/x.cfg");
    EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile("x.cfg"), TestFolder() / "x.cfg");
    EXPECT_FALSE(fs::exists(dataFolder));
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
      UseLocalDataFolder(nowhere);
      SetVariable(kSwitch, nullptr);
      ASSERT_TRUE(InitWith({}, c.name, c.organization, c.type));
      EXPECT_EQ(ApplicationInfo::DataPath(), TestFolder()) << static_cast<int>(c.type);
    });
  }
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
