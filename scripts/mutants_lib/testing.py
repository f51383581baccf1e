"""Running the tests of a build and telling which of them fail: a mutant's row of the kill matrix.

The tests are CTest's (`ctest --show-only=json-v1`). The cases of one GoogleTest program run in one
process, once, and GoogleTest's XML report names each failing case. A program that crashes, runs
out of time or memory, or ends badly after its cases passed (a leak report, a fault in a global
destructor) is run again the way CTest runs it: one process per case, with CTest's command,
environment and working folder, so that the cases that crash or hang are told from those that pass.
Tests that are not GoogleTest cases (scripts, hosts) always run that way.

CTest itself is not run on a mutated build: it lists a GoogleTest program's cases by running the
program, and a program that a mutant breaks at start-up then takes the whole test list down.
"""

import json
import os
import re
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field

from .processes import run, run_test

# The unmutated tests may take this long each before the tool gives up on them.
BASELINE_LIMIT = 600


@dataclass
class Test:
    name: str  # CTest's name
    command: list
    directory: str
    environment: dict
    properties: dict  # CTest's other properties, by name
    # The build outputs (relative to the build folder) that the test runs, or None when it runs
    # something the build does not make (so that only a whole build brings it up to date).
    outputs: object
    case: str = ""  # the GoogleTest case it runs (Suite.Name), when it is one case of a program
    seconds: float = 0.0  # how long the unmutated test took

    def limit(self):
        return 3 * self.seconds + 10


@dataclass
class Program:
    """A GoogleTest program and the cases of it that the run selected."""
    command: list  # the program and CTest's arguments for it, without the case filter
    directory: str
    environment: dict
    tests: list = field(default_factory=list)
    # The cases fail when they share one process (they leave state behind for each other): they
    # then run one per process, as CTest runs them.
    isolated: bool = False
    seconds: float = 0.0

    def limit(self):
        return 3 * self.seconds + 20


def list_tests(build):
    """Every test CTest knows in build, as Test."""
    code, output = run(["ctest", "--test-dir", build, "--show-only=json-v1"])
    if code != 0:
        raise SystemExit(f"mutants: listing the tests failed:\n{output}")
    tests = []
    for entry in json.loads(output)["tests"]:
        properties = {p["name"]: p["value"] for p in entry.get("properties", [])}
        command = entry.get("command", [])
        outputs = {os.path.relpath(argument, build) for argument in command
                   if argument.startswith(build + os.sep) and os.path.isfile(argument)}
        filters = [a for a in command[1:] if a.startswith("--gtest_filter=")]
        environment = dict(v.split("=", 1) for v in properties.pop("ENVIRONMENT", []) if "=" in v)
        directory = properties.pop("WORKING_DIRECTORY", build)
        tests.append(Test(entry["name"], command, directory, environment, properties, outputs or None,
                          case=filters[0].split("=", 1)[1] if len(filters) == 1 and outputs else ""))
    return tests


def group_programs(tests):
    """The GoogleTest programs of tests, each with its cases, and the tests that are not cases."""
    programs, others = {}, []
    for test in tests:
        if not test.case:
            others.append(test)
            continue
        command = [a for a in test.command if not a.startswith("--gtest_filter=")]
        key = (tuple(command), test.directory, tuple(sorted(test.environment.items())))
        programs.setdefault(key, Program(command, test.directory, test.environment)).tests.append(test)
    return list(programs.values()), others


class Runner:
    """Runs tests in one build; a log and the XML reports go to the build's Testing/mutants."""

    def __init__(self, build, sanitized):
        self.sanitized = sanitized
        self.folder = os.path.join(build, "Testing", "mutants")
        os.makedirs(self.folder, exist_ok=True)
        self.log = os.path.join(self.folder, "output.txt")

    def run_one(self, test, limit):
        """Runs test as CTest would; returns (failed, "time" or "memory" when it ran out of that,
        seconds)."""
        code, seconds, exceeded = run_test(test.command, limit, test.directory, test.environment,
                                           self.log, self.sanitized)
        if code is None:
            return True, exceeded, seconds
        with open(self.log, encoding="utf-8", errors="replace") as handle:
            output = handle.read()
        return not _passes(test.properties, code, output), "", seconds

    def run_program(self, program, tests, limit):
        """Runs the cases tests of program in one process; returns ({test name: failed}, seconds,
        {test name: seconds}), or None with the seconds when the report cannot be trusted."""
        report = os.path.join(self.folder, "report.xml")
        if os.path.exists(report):
            os.remove(report)
        command = program.command + ["--gtest_filter=" + ":".join(t.case for t in tests),
                                     "--gtest_output=xml:" + report]
        code, seconds, _ = run_test(command, limit, program.directory, program.environment, self.log,
                                    self.sanitized)
        results = _read_report(report) if code is not None else None
        if results is None or any(t.case not in results for t in tests):
            return None, seconds, {}
        failed = {t.name: results[t.case][0] for t in tests}
        if code != 0 and not any(failed.values()):
            return None, seconds, {}
        return failed, seconds, {t.name: results[t.case][1] for t in tests}

    def failures(self, program, tests):
        """Runs the cases tests of program (in one process, unless it is isolated or that fails);
        returns the names of the failing ones and of those that ran out of time."""
        if not program.isolated:
            failed, _, _ = self.run_program(program, tests, program.limit())
            if failed is not None:
                return [name for name, bad in failed.items() if bad], []
        return self.failures_one_by_one(tests)

    def failures_one_by_one(self, tests):
        failed, hung = [], []
        for test in tests:
            bad, exceeded, _ = self.run_one(test, test.limit())
            if bad:
                failed.append(test.name)
            if exceeded == "time":
                hung.append(test.name)
        return failed, hung

    def baseline(self, programs, others):
        """Runs the unmutated tests, noting how long each takes; a program whose cases fail in one
        process but pass one per process becomes isolated. Returns the names of the failing tests
        and warnings."""
        failing, warnings = [], []
        for program in programs:
            failed, program.seconds, case_seconds = self.run_program(program, program.tests, BASELINE_LIMIT)
            if failed is not None and not any(failed.values()):
                for test in program.tests:
                    test.seconds = case_seconds[test.name]
                continue
            bad = []
            for test in program.tests:
                broken, _, test.seconds = self.run_one(test, BASELINE_LIMIT)
                if broken:
                    bad.append(test.name)
            if bad:
                failing += bad
            else:
                program.isolated = True
                together = sorted(n for n, b in (failed or {}).items() if b) or ["the program ends badly"]
                warnings.append(f"{os.path.basename(program.command[0])}: its cases pass one per process "
                                f"but fail in one ({', '.join(together)}): they run one per process")
        for test in others:
            broken, _, test.seconds = self.run_one(test, BASELINE_LIMIT)
            if broken:
                failing.append(test.name)
        return failing, warnings


def _passes(properties, code, output):
    """Whether a test passed, by CTest's rules for its exit code and its output's patterns."""
    if "SKIP_RETURN_CODE" in properties and code == int(properties["SKIP_RETURN_CODE"]):
        return True
    if any(re.search(p, output) for p in properties.get("SKIP_REGULAR_EXPRESSION", [])):
        return True
    if properties.get("PASS_REGULAR_EXPRESSION"):
        passed = any(re.search(p, output) for p in properties["PASS_REGULAR_EXPRESSION"])
    else:
        passed = code == 0
    if any(re.search(p, output) for p in properties.get("FAIL_REGULAR_EXPRESSION", [])):
        passed = False
    if properties.get("WILL_FAIL") in (True, "ON", "TRUE", "1", 1):
        passed = not passed
    return passed


def _read_report(path):
    """{Suite.Name: (failed, seconds)} from a GoogleTest XML report, or None when there is none."""
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError):
        return None
    results = {}
    for case in root.iter("testcase"):
        name = f"{case.get('classname')}.{case.get('name')}"
        failed = case.find("failure") is not None or case.find("error") is not None
        results[name] = (failed, float(case.get("time") or 0))
    return results
