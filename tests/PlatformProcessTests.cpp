// The POSIX process services on the real system. What they change for the whole process (the
// environment, the working directory) is changed in a child.
#include "platform/PlatformProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "support/ChildProcess.h"

namespace {

namespace fs = boost::filesystem;
namespace platform = Melvo::platform;

// The per-user folder comes from XDG_DATA_HOME, else from HOME, each only when absolute (null:
// unset). A variable is read when it fits the room given, terminator included; unset, it is empty.
TEST(PlatformProcess, AnswersFromTheSystemAsItsConventionsSay) {
  EXPECT_EQ(platform::ExecutableFileName(), fs::canonical(PLINTH_TEST_EXECUTABLE));
  EXPECT_FALSE(platform::ProcessIsEnding());  // a POSIX process's threads outlive its global destructors
  const std::tuple<const char*, const char*, std::optional<fs::path>> folders[] = {
      {"/x/data", "/home/u1", fs::path("/x/data")},
      {nullptr, "/home/u1", fs::path("/home/u1/.local/share")},
      {"x/data", "/home/u1", fs::path("/home/u1/.local/share")},
      {nullptr, "home/u1", std::nullopt},
      {nullptr, nullptr, std::nullopt},
  };
  const std::tuple<const char*, std::size_t, std::optional<std::string>> reads[] = {
      {nullptr, 4, ""}, {"a=c", 4, "a=c"}, {"abcd", 4, std::nullopt}};
  PlinthTest::RunInChildProcess([&] {
    const auto set = [](const char* name, const char* to) { to ? setenv(name, to, 1) : unsetenv(name); };
    for (const auto& [dataHome, home, folder] : folders) {
      set("XDG_DATA_HOME", dataHome);
      set("HOME", home);
      EXPECT_EQ(platform::SystemFolderPath(platform::SystemFolder::LocalAppData), folder) << dataHome << home;
    }
    EXPECT_EQ(platform::SystemFolderPath(platform::SystemFolder::CommonAppData), fs::path("/var/lib"));
    for (const auto& [value, capacity, read] : reads) {
      set("PLINTH_TEST_VARIABLE", value);
      EXPECT_EQ(platform::EnvironmentVariable("PLINTH_TEST_VARIABLE", capacity), read) << value;
    }
    const fs::path folder = fs::canonical(fs::temp_directory_path());
    EXPECT_TRUE(platform::ChangeWorkingDirectory(folder));
    EXPECT_FALSE(platform::ChangeWorkingDirectory(folder / fs::unique_path("missing-%%%%-%%%%")));
    EXPECT_EQ(fs::current_path(), folder);
  });
}

}  // namespace
