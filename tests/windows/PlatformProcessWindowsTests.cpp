// The Win32 process services on the real system. What they change for the whole process (the
// environment, the working directory) is changed in a child.
#include "platform/PlatformProcess.h"

#include <cstdlib>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "support/ChildProcess.h"
#include "support/Files.h"

namespace {

namespace fs = boost::filesystem;
namespace platform = Melvo::platform;

// The shared data folder is the one the system names in the environment it gives every process; a
// folder of any name is entered. (The executable, the per-user folder and the environment switch
// are checked through the application information, in its tests.)
TEST(PlatformProcessWindows, FindsTheSharedDataFolderAndEntersAFolderOfAnyName) {
  EXPECT_TRUE(fs::equivalent(platform::SystemFolderPath(platform::SystemFolder::CommonAppData).value(),
                             std::getenv("ProgramData")));
  PlinthTest::RunInChildProcess([] {
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
