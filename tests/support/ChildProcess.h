// Runs part of a test in a forked child process, so that what it changes for the whole process
// (one-shot initialisers, the working directory, the environment) never reaches the other tests.
//
// The parent must be single-threaded when it forks, so suites that use this keep the library's
// logging worker out of the test process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace PlinthTest {

// Runs `body` in a child process. The child prints its own failed expectations; the parent's test
// fails when the child reports any, throws, or dies.
inline void RunInChildProcess(const std::function<void()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  ASSERT_NE(child, -1) << "fork: " << std::strerror(errno);
  if (child == 0) {
    try {
      body();
    } catch (const std::exception& error) {
      ADD_FAILURE() << "exception in the child process: " << error.what();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child) << "waitpid: " << std::strerror(errno);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the child process failed (wait status " << status << ")";
}

}  // namespace PlinthTest
