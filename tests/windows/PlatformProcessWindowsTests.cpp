// The Win32 process services behind the application information, on the real system. What they
// change for the whole process (the environment, the working directory) is changed in a child.
#include "platform/PlatformProcess.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include <stdlib.h>

#include "support/ChildProcess.h"
#include "support/Files.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::platform::ChangeWorkingDirectory;
using Melvo::platform::EnvironmentVariable;
using Melvo::platform::ExecutableFileName;
using Melvo::platform::SystemFolder;
using Melvo::platform::SystemFolderPath;
using PlinthTest::RunInChildProcess;

TEST(PlatformProcessWindows, NamesThisProgramWithItsDriveAndFolders) {
  const fs::path executable = ExecutableFileName();
  EXPECT_TRUE(executable.is_absolute()) << executable;
  EXPECT_EQ(executable.filename(), fs::path("PlatformProcessTests.exe"));
  EXPECT_TRUE(fs::is_regular_file(executable)) << executable;
}

TEST(PlatformProcessWindows, FindsTheSharedAndThePerUserDataFolders) {
  // The system's own names for the folders, from the environment it gives every process.
  const std::optional<fs::path> common = SystemFolderPath(SystemFolder::CommonAppData);
  const std::optional<fs::path> local = SystemFolderPath(SystemFolder::LocalAppData);
  ASSERT_TRUE(common && local);
  EXPECT_TRUE(fs::equivalent(*common, std::getenv("ProgramData"))) << *common;
  EXPECT_TRUE(fs::equivalent(*local, std::getenv("LOCALAPPDATA"))) << *local;
}

TEST(PlatformProcessWindows, ReadsAVariableOnlyWhenItFitsTheBuffer) {
  // Through the C runtime's environment, which getenv_s reads (SetEnvironmentVariable does not
  // reach it); an empty value removes the variable.
  RunInChildProcess([] {
    const std::string longest(999, 'v');
    ASSERT_EQ(_putenv_s("PLINTH_TEST_SWITCH", longest.c_str()), 0);
    EXPECT_EQ(EnvironmentVariable("PLINTH_TEST_SWITCH", 1000), longest);
    // The terminator no longer fits.
    EXPECT_EQ(EnvironmentVariable("PLINTH_TEST_SWITCH", 999), std::nullopt);
    ASSERT_EQ(_putenv_s("PLINTH_TEST_SWITCH", "1"), 0);
    EXPECT_EQ(EnvironmentVariable("PLINTH_TEST_SWITCH", 1000), "1");
    ASSERT_EQ(_putenv_s("PLINTH_TEST_SWITCH", ""), 0);
    EXPECT_EQ(EnvironmentVariable("PLINTH_TEST_SWITCH", 1000), "");
  });
}

TEST(PlatformProcessWindows, ChangesToAFolderOfAnyNameAndRefusesAMissingOne) {
  RunInChildProcess([] {
    // Made in the child: a child on Windows runs the test's code before this again, with folders
    // of its own.
    PlinthTest::TempFolder temp;
    const fs::path folder = temp.Path() / L"Donn\u00e9es \u97f3";
    fs::create_directories(folder);
    ASSERT_TRUE(ChangeWorkingDirectory(folder));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), folder)) << fs::current_path();
    EXPECT_FALSE(ChangeWorkingDirectory(folder / "missing"));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), folder));
    // Out again, so that the folder can be removed.
    ASSERT_TRUE(ChangeWorkingDirectory(temp.Path().parent_path()));
  });
}

}  // namespace
