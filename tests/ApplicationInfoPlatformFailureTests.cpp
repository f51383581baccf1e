// The application information over a scripted platform layer: what it asks the system, and how it
// falls back when the system cannot answer (no executable name, no folder, an unreadable switch).
#include <Plinth/ApplicationInfo.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/PlatformProcess.h"
#include "support/ChildProcess.h"

namespace fs = boost::filesystem;

namespace {

// The scripted system's answers, and the requests it received.
struct ScriptedSystem {
  fs::path executable;
  std::map<Melvo::platform::SystemFolder, fs::path> folders;
  std::optional<std::string> switchValue = std::string();
  bool changeSucceeds = true;
  std::vector<std::pair<std::string, std::size_t>> variableReads;
  std::vector<fs::path> directoryChanges;
} scripted;

}  // namespace

namespace Melvo::platform {

fs::path ExecutableFileName() {
  return scripted.executable;
}

std::optional<fs::path> SystemFolderPath(SystemFolder folder) {
  const auto found = scripted.folders.find(folder);
  if (found == scripted.folders.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> EnvironmentVariable(const char* name, std::size_t capacity) {
  scripted.variableReads.emplace_back(name, capacity);
  return scripted.switchValue;
}

bool ChangeWorkingDirectory(const fs::path& folder) {
  scripted.directoryChanges.push_back(folder);
  return scripted.changeSucceeds;
}

bool ProcessIsEnding() {
  return false;
}

}  // namespace Melvo::platform

namespace {

using Melvo::ApplicationInfo;
using Melvo::DataFolderType;
using PlinthTest::RunInChildProcess;

bool InitStandalone(DataFolderType type, const std::string& organization = "Org") {
  const char* argv[] = {"tool", "-x"};
  return ApplicationInfo::Init("Sound Tool", "", organization, "1.0", "", type, 2, argv);
}

TEST(ApplicationInfoOverTheSystem, CopesWithoutTheExecutableName) {
  RunInChildProcess([] {
    scripted.executable.clear();
    EXPECT_EQ(ApplicationInfo::ExecutableFilePath(), fs::path());
    EXPECT_EQ(ApplicationInfo::ExecutablePath(), fs::path());
    EXPECT_EQ(ApplicationInfo::DataPath(), fs::path());
    EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), R"("")");
    EXPECT_EQ(ApplicationInfo::EstablishPathToExecutableFile("x.cfg"), fs::path("x.cfg"));

    ASSERT_TRUE(InitStandalone(DataFolderType::LocalAppData));
    EXPECT_TRUE(scripted.directoryChanges.empty());  // the working directory stays
    EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), R"("" "-x")");
    EXPECT_EQ(ApplicationInfo::RestartCommandLine(), R"("" "-x")");
    EXPECT_EQ(ApplicationInfo::DataPath(), fs::path());  // no per-user folder either
  });
}

TEST(ApplicationInfoOverTheSystem, MovesToTheExecutableFolderOnceAndIgnoresARefusal) {
  RunInChildProcess([] {
    scripted.executable = "/opt/sound tool/bin/tool";
    scripted.changeSucceeds = false;
    EXPECT_TRUE(InitStandalone(DataFolderType::ExecutableFolder));
    EXPECT_FALSE(InitStandalone(DataFolderType::ExecutableFolder));
    EXPECT_EQ(scripted.directoryChanges, std::vector<fs::path>{"/opt/sound tool/bin"});
    EXPECT_EQ(ApplicationInfo::ExecutableCommandLine(), R"("/opt/sound tool/bin/tool" "-x")");
    EXPECT_EQ(ApplicationInfo::Name(), "Sound Tool");
  });
}

// Each type asks for its own folder; the switch is read only when a system folder is in question,
// through a buffer of 1000 bytes, and a read that fails counts as not set.
TEST(ApplicationInfoOverTheSystem, AsksForTheFolderOfItsTypeAndReadsTheSwitchOnlyThen) {
  const std::pair<DataFolderType, fs::path> cases[] = {
      {DataFolderType::CommonAppData, "/common/Org/Sound Tool"},
      {DataFolderType::LocalAppData, "/local/Org/Sound Tool"},
  };
  for (const auto& [type, expected] : cases) {
    RunInChildProcess([&] {
      scripted.executable = "/opt/tool/tool";
      scripted.folders = {{Melvo::platform::SystemFolder::CommonAppData, "/common"},
                          {Melvo::platform::SystemFolder::LocalAppData, "/local"}};
      ASSERT_TRUE(InitStandalone(type));
      scripted.switchValue = std::nullopt;
      EXPECT_EQ(ApplicationInfo::DataPath(), expected);
      const std::vector<std::pair<std::string, std::size_t>> reads{
          {"DEV_USE_CURRENT_DIR_FOR_APP_DATA", 1000}};
      EXPECT_EQ(scripted.variableReads, reads);
      scripted.switchValue = "1";
      EXPECT_EQ(ApplicationInfo::DataPath(), fs::path("/opt/tool"));
      scripted.switchValue = "";
      scripted.folders.clear();  // the lookup fails
      EXPECT_EQ(ApplicationInfo::DataPath(), fs::path("/opt/tool"));
    });
  }
  for (const auto& [type, organization] :
       {std::pair{DataFolderType::ExecutableFolder, "Org"}, std::pair{DataFolderType::LocalAppData, ""}}) {
    RunInChildProcess([&, type = type, organization = organization] {
      scripted.executable = "/opt/tool/tool";
      scripted.folders = {{Melvo::platform::SystemFolder::LocalAppData, "/local"}};
      ASSERT_TRUE(InitStandalone(type, organization));
      EXPECT_EQ(ApplicationInfo::DataPath(), fs::path("/opt/tool"));
      EXPECT_TRUE(scripted.variableReads.empty());
    });
  }
}

}  // namespace
