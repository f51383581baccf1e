// Runs part of a test in a child process, so that what it changes for the whole process (one-shot
// initialisers, the working directory, the environment) or a crash never reaches the other tests.
//
// On POSIX the child is forked: the parent must be single-threaded when it forks, so suites that
// use this keep the library's logging worker out of the test process. Windows cannot fork: there
// the child is this test program started again on the current test alone, told which of the
// test's child bodies to run; the test's code before that body runs in the child too, and the
// other bodies are skipped there.
#pragma once

#include <functional>
#include <string>

namespace PlinthTest {

// Runs `body` in a child process that ends with exit code 0 if `body` returns; the child's status
// (a wait status on POSIX, the exit code on Windows). The child's process id goes to `childPid`
// when given. Throws when no child can be started.
int RunInChild(const std::function<void()>& body, int* childPid = nullptr);

// "signal 11", "exit 0", "exit code 0xC0000005": how a child's status came about, for readable
// failures.
std::string DescribeWaitStatus(int status);

// Runs `body` in a child process. The child prints its own failed expectations; the parent's test
// fails when the child reports any, throws, or dies.
void RunInChildProcess(const std::function<void()>& body);

}  // namespace PlinthTest
