"""Private copies of the source tree, their builds, and the test runs in them: the developer's
working tree is never written."""

import filecmp
import json
import os
import resource
import shutil
import signal
import subprocess

from . import ROOT, WORK

# Bytes of address space for each test process: room for a thousand thread stacks (a logging
# test starts that many), yet a bound on a test that a mutated size makes allocate without end.
TEST_MEMORY_LIMIT = 12 << 30
COPY_SKIPPED = {".git", ".cache", "build-mutants"}


def sync_tree(destination):
    """Copies the working tree (as it is, uncommitted changes included) into destination, copying
    only files whose content changed so that the build there stays incremental."""
    wanted = set()
    for folder, subfolders, files in os.walk(ROOT):
        relative = os.path.relpath(folder, ROOT)
        subfolders[:] = [s for s in subfolders
                         if not (relative == "." and (s in COPY_SKIPPED or s.startswith("build")))]
        for name in files:
            source = os.path.join(folder, name)
            target = os.path.normpath(os.path.join(destination, relative, name))
            wanted.add(target)
            if os.path.exists(target):
                if filecmp.cmp(source, target, shallow=False):
                    continue
            else:
                os.makedirs(os.path.dirname(target), exist_ok=True)
            # A fresh time, never the source's: an older time would hide the change from Ninja.
            shutil.copyfile(source, target)
            shutil.copymode(source, target)
    for folder, _, files in os.walk(destination):
        for name in files:
            if os.path.join(folder, name) not in wanted:
                os.remove(os.path.join(folder, name))


def limit_memory():
    # A mutated size can make a test allocate without end; on a shared machine that must fail fast.
    resource.setrlimit(resource.RLIMIT_AS, (TEST_MEMORY_LIMIT, TEST_MEMORY_LIMIT))


def run(command, timeout=None, cwd=None, limited=False):
    """Runs command in its own process group; returns (exit code or None on timeout, output)."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True, preexec_fn=limit_memory if limited else None)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output


class Worker:
    def __init__(self, number, build_jobs):
        self.tree = os.path.join(WORK, f"tree{number}")
        self.build = os.path.join(WORK, f"build{number}")
        self.build_jobs = build_jobs

    def prepare(self):
        sync_tree(self.tree)
        configured = all(os.path.exists(os.path.join(self.build, name))
                         for name in ("build.ninja", "compile_commands.json"))
        if not configured:
            code, output = run(["cmake", "-S", self.tree, "-B", self.build, "-G", "Ninja",
                                "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                                "-DPLINTH_BUILD_TESTS=ON", "-DPLINTH_BUILD_EXAMPLES=OFF",
                                "-DPLINTH_BUILD_BENCHMARKS=OFF",
                                # Tests load the library at run time: no relinking them per mutant.
                                "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON",
                                "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
                                # Tells which sources each test program is made of, to find the
                                # tests near a file.
                                "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"])
            if code != 0:
                raise SystemExit(f"mutants: configuring {self.build} failed:\n{output}")
        code, output = self.compile()
        if code != 0:
            raise SystemExit(f"mutants: the unmutated tree does not build:\n{output[-4000:]}")

    def compile(self, targets=()):
        return run(["cmake", "--build", self.build, "--parallel", str(self.build_jobs)] +
                   (["--target"] + sorted(targets) if targets else []))

    def list_tests(self):
        """The tests as (number, name, programs): programs are the build outputs the test runs,
        relative to the build folder, or None when the test runs something the build does not make
        (so that only a whole build can bring it up to date)."""
        code, output = run(["ctest", "--test-dir", self.build, "--show-only=json-v1"])
        if code != 0:
            raise SystemExit(f"mutants: listing the tests failed:\n{output}")
        tests = []
        for number, test in enumerate(json.loads(output)["tests"], start=1):
            programs = {os.path.relpath(argument, self.build) for argument in test.get("command", [])
                        if argument.startswith(self.build + os.sep) and os.path.isfile(argument)}
            tests.append((str(number), test["name"], programs or None))
        return tests

    def test(self, numbers, timeout, stop_on_failure):
        """Runs the numbered tests; returns (passed, timed out, names of failed tests)."""
        failed_log = os.path.join(self.build, "Testing", "Temporary", "LastTestsFailed.log")
        if os.path.exists(failed_log):
            os.remove(failed_log)
        command = ["ctest", "--test-dir", self.build, "--timeout", str(int(timeout)),
                   "-I", "0,0,0," + ",".join(numbers)]
        if stop_on_failure:
            command.append("--stop-on-failure")
        code, output = run(command, timeout=timeout, limited=True)
        if code is None:
            return False, True, []
        failed = []
        if os.path.exists(failed_log):
            with open(failed_log, encoding="utf-8") as handle:
                failed = [line.strip().split(":", 1)[-1] for line in handle if line.strip()]
        return code == 0, False, failed

    def try_mutant(self, mutant, original_text, tests, near_names, timeout, stop_on_failure):
        target = os.path.join(self.tree, mutant.path)
        mutated = original_text[:mutant.start] + mutant.replacement + original_text[mutant.end:]
        try:
            with open(target, "w", encoding="utf-8") as handle:
                handle.write(mutated)
            # The tests near the file first: most mutants fall there, and the run stops early.
            # Only their programs are rebuilt for them; the whole build follows if they all pass.
            near = [(n, programs) for n, name, programs in tests if name in near_names]
            far = [(n, programs) for n, name, programs in tests if name not in near_names]
            if any(programs is None for _, programs in near):
                far, near = near + far, []
            for group in (near, far):
                if not group:
                    continue
                targets = set().union(*(programs for _, programs in group)) if group is near else ()
                code, _ = self.compile(targets)
                if code != 0:
                    mutant.status = "not viable"
                    return
                group = [n for n, _ in group]
                passed, timed_out, failed = self.test(group, timeout, stop_on_failure)
                mutant.failed_tests.extend(failed)
                if timed_out:
                    mutant.status = "killed (timeout)"
                    return
                if not passed:
                    mutant.status = "killed"
                    if stop_on_failure:
                        return
            if mutant.status == "not run":
                mutant.status = "survived"
        finally:
            with open(target, "w", encoding="utf-8") as handle:
                handle.write(original_text)

