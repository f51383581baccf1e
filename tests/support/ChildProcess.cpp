#include "support/ChildProcess.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace PlinthTest {

#ifdef _WIN32

// Set in a child to the number of the child body it is to run, counted from 1 within its test.
constexpr char kChildBodyVariable[] = "PLINTH_TEST_CHILD_BODY";

int RunInChild(const std::function<void()>& body, int* childPid) {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) throw std::logic_error("a child process can only be started from a test");
  const std::string test = std::string(info->test_suite_name()) + "." + info->name();
  static std::string counted;
  static int number = 0;
  number = test == counted ? number + 1 : 1;
  counted = test;
  if (const char* wanted = std::getenv(kChildBodyVariable)) {
    // In a child: run the one body it was started for; the others count as done and clean.
    if (std::atoi(wanted) != number) return 0;
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
  }

  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length == MAX_PATH) throw std::runtime_error("cannot tell this program's name");
  std::string commandLine = "\"" + std::string(program) + "\" --gtest_filter=" + test;
  // The child inherits the environment, with the variable set for it alone.
  SetEnvironmentVariableA(kChildBodyVariable, std::to_string(number).c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  std::fflush(stdout);
  std::fflush(stderr);
  const BOOL started = CreateProcessA(program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &child);
  SetEnvironmentVariableA(kChildBodyVariable, nullptr);
  if (!started) throw std::runtime_error("cannot start a child process");
  if (childPid != nullptr) *childPid = static_cast<int>(child.dwProcessId);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return static_cast<int>(exitCode);
}

std::string DescribeWaitStatus(int status) {
  char text[32];
  std::snprintf(text, sizeof text, "exit code 0x%08X", static_cast<unsigned>(status));
  return text;
}

static bool ExitedCleanly(int status) {
  return status == 0;
}

#else

int RunInChild(const std::function<void()>& body, int* childPid) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    body();
    _exit(0);
  }
  if (childPid != nullptr) *childPid = child;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return status;
}

std::string DescribeWaitStatus(int status) {
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  return "status " + std::to_string(status);
}

static bool ExitedCleanly(int status) {
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#endif

void RunInChildProcess(const std::function<void()>& body) {
  const int status = RunInChild([&] {
    try {
      body();
    } catch (const std::exception& error) {
      ADD_FAILURE() << "exception in the child process: " << error.what();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(testing::Test::HasFailure() ? 1 : 0);
  });
  EXPECT_TRUE(ExitedCleanly(status)) << "the child process failed (" << DescribeWaitStatus(status) << ")";
}

}  // namespace PlinthTest
