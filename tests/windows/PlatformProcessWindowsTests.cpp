// The Win32 process services on the real system. What they change for the whole process (the
// environment, the working directory) is changed in a child.
#include "platform/PlatformProcess.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "support/ChildProcess.h"
#include "support/Files.h"

namespace {

namespace fs = boost::filesystem;
namespace platform = Melvo::platform;

// The data folders are those the system names in the environment it gives every process. A
// variable is read through the C runtime's environment (which SetEnvironmentVariable does not
// reach) when it fits the room given, terminator included. A folder of any name is entered.
TEST(PlatformProcessWindows, AnswersFromTheSystem) {
  const fs::path executable = platform::ExecutableFileName();
  EXPECT_TRUE(executable.is_absolute() && fs::is_regular_file(executable)) << executable;
  EXPECT_EQ(executable.filename(), fs::path(PLINTH_TEST_EXECUTABLE).filename());
  EXPECT_TRUE(fs::equivalent(platform::SystemFolderPath(platform::SystemFolder::CommonAppData).value(),
                             std::getenv("ProgramData")));
  EXPECT_TRUE(fs::equivalent(platform::SystemFolderPath(platform::SystemFolder::LocalAppData).value(),
                             std::getenv("LOCALAPPDATA")));
  PlinthTest::RunInChildProcess([] {
    const std::string longest(999, 'v');
    _putenv_s("PLINTH_TEST_SWITCH", longest.c_str());
    EXPECT_EQ(platform::EnvironmentVariable("PLINTH_TEST_SWITCH", 1000), longest);
    EXPECT_EQ(platform::EnvironmentVariable("PLINTH_TEST_SWITCH", 999), std::nullopt);
    _putenv_s("PLINTH_TEST_SWITCH", "");  // removes it
    EXPECT_EQ(platform::EnvironmentVariable("PLINTH_TEST_SWITCH", 1000), "");

    // Made in the child: on Windows the child runs the test's code before this again.
    PlinthTest::TempFolder temp;
    const fs::path folder = temp.Path() / L"Donn\u00e9es \u97f3";
    fs::create_directories(folder);
    ASSERT_TRUE(platform::ChangeWorkingDirectory(folder));
    EXPECT_FALSE(platform::ChangeWorkingDirectory(folder / "missing"));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), folder)) << fs::current_path();
    ASSERT_TRUE(platform::ChangeWorkingDirectory(temp.Path().parent_path()));  // so that it can go
  });
}

}  // namespace
