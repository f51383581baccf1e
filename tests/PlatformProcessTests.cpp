// The POSIX implementation of the process services, tested directly on the library's objects.
#include "platform/PlatformProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "support/ChildProcess.h"
#include "support/Files.h"

namespace {

namespace fs = boost::filesystem;
namespace platform = Melvo::platform;
using PlinthTest::RunInChildProcess;

void SetVariable(const char* name, const char* value) {
  if (value == nullptr) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value, 1);
  }
}

TEST(PlatformProcess, NamesThisExecutable) {
  EXPECT_EQ(platform::ExecutableFileName(), fs::canonical(PLINTH_TEST_EXECUTABLE));
}

TEST(PlatformProcess, ReadsVariablesThatFitTheirBuffer) {
  RunInChildProcess([] {
    const char* name = "PLINTH_TEST_VARIABLE";
    SetVariable(name, nullptr);
    EXPECT_EQ(platform::EnvironmentVariable(name, 1000), std::string());
    SetVariable(name, "");
    EXPECT_EQ(platform::EnvironmentVariable(name, 1000), std::string());
    SetVariable(name, "a b=c");
    EXPECT_EQ(platform::EnvironmentVariable(name, 1000), std::string("a b=c"));
    // The value and its terminator must fit.
    const std::string fits(999, 'v');
    SetVariable(name, fits.c_str());
    EXPECT_EQ(platform::EnvironmentVariable(name, 1000), fits);
    SetVariable(name, (fits + "v").c_str());
    EXPECT_EQ(platform::EnvironmentVariable(name, 1000), std::nullopt);
    SetVariable(name, "abc");
    EXPECT_EQ(platform::EnvironmentVariable(name, 4), std::string("abc"));
    EXPECT_EQ(platform::EnvironmentVariable(name, 3), std::nullopt);
  });
}

TEST(PlatformProcess, FindsTheMachineAndUserDataFolders) {
  RunInChildProcess([] {
    struct Case {
      const char* dataHome;
      const char* home;
      std::optional<fs::path> expected;
    };
    const Case cases[] = {
        {"/x/data", "/home/u1", fs::path("/x/data")},
        {"/x/data", nullptr, fs::path("/x/data")},
        {nullptr, "/home/u1", fs::path("/home/u1/.local/share")},
        {"", "/home/u1", fs::path("/home/u1/.local/share")},        // empty: not set
        {"x/data", "/home/u1", fs::path("/home/u1/.local/share")},  // relative: ignored
        {nullptr, nullptr, std::nullopt},
        {"", "", std::nullopt},
        {nullptr, "home/u1", std::nullopt},
    };
    for (const Case& c : cases) {
      SetVariable("XDG_DATA_HOME", c.dataHome);
      SetVariable("HOME", c.home);
      EXPECT_EQ(platform::SystemFolderPath(platform::SystemFolder::LocalAppData), c.expected)
          << (c.dataHome ? c.dataHome : "(unset)") << " / " << (c.home ? c.home : "(unset)");
      EXPECT_EQ(platform::SystemFolderPath(platform::SystemFolder::CommonAppData), fs::path("/var/lib"));
    }
  });
}

TEST(PlatformProcess, ChangesTheWorkingDirectoryOnlyToAFolderThatExists) {
  PlinthTest::TempFolder temp;
  RunInChildProcess([&] {
    EXPECT_TRUE(platform::ChangeWorkingDirectory(temp.Path()));
    EXPECT_EQ(fs::current_path(), temp.Path());
    EXPECT_FALSE(platform::ChangeWorkingDirectory(temp / "missing"));
    EXPECT_FALSE(platform::ChangeWorkingDirectory(fs::path()));
    EXPECT_EQ(fs::current_path(), temp.Path());
  });
}

}  // namespace
