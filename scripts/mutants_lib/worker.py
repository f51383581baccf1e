"""One worker: a private tree and build, its tests, and trying one mutant after another in them."""

from .building import Build
from .nearby import Neighbourhood
from .testing import Runner, group_programs, list_tests


class Worker:
    def __init__(self, number, build_jobs, sanitized):
        self.build = Build(number, build_jobs, sanitized)
        self.runner = None
        self.programs, self.others = [], []
        self.neighbourhood = None
        self._near = {}

    def prepare(self):
        self.build.prepare()
        self.runner = Runner(self.build.folder, self.build.sanitized)

    def list_tests(self):
        return list_tests(self.build.folder)

    def select(self, names):
        """Runs the tests named from now on."""
        tests = [t for t in self.list_tests() if t.name in names]
        self.programs, self.others = group_programs(tests)
        self.neighbourhood = Neighbourhood(self.build.folder, self.build.tree, tests)

    def baseline(self):
        return self.runner.baseline(self.programs, self.others)

    def adopt_timings(self, other):
        """Takes the unmutated times and isolated programs that other's baseline found."""
        seconds = {t.name: t.seconds for p in other.programs for t in p.tests}
        seconds.update({t.name: t.seconds for t in other.others})
        programs = {tuple(t.name for t in p.tests): p for p in other.programs}
        for program in self.programs:
            theirs = programs.get(tuple(t.name for t in program.tests))
            if theirs:
                program.seconds, program.isolated = theirs.seconds, theirs.isolated
            for test in program.tests:
                test.seconds = seconds.get(test.name, test.seconds)
        for test in self.others:
            test.seconds = seconds.get(test.name, test.seconds)

    def near(self, path):
        if path not in self._near:
            self._near[path] = self.neighbourhood.near(path)
        return self._near[path]

    def units(self):
        """What runs as one: each GoogleTest program, and each other test."""
        return [(p, p.tests) for p in self.programs] + [(None, [t]) for t in self.others]

    def try_mutant(self, mutant, original_text, first_failure):
        """Plants mutant, builds and runs the tests; records in mutant its status and the tests that
        failed. With first_failure the run stops at the first program or test that fails, the tests
        near the mutated file first, built on their own before the whole build."""
        mutated = original_text[:mutant.start] + mutant.replacement + original_text[mutant.end:]
        near_names = self.near(mutant.path)
        units = self.units()
        near = [u for u in units if any(t.name in near_names for t in u[1])]
        far = [u for u in units if not any(t.name in near_names for t in u[1])]
        if not first_failure:
            stages = [(near + far, ())]
        elif all(t.outputs is not None for _, tests in near for t in tests):
            stages = [(near, {o for _, tests in near for t in tests for o in t.outputs}), (far, ())]
        else:
            stages = [(near + far, ())]
        mutant.failed_tests, mutant.sanitized = [], self.build.sanitized
        hung = []
        try:
            self.build.write_source(mutant.path, mutated)
            ran = 0
            for units_of_stage, targets in stages:
                if not units_of_stage:
                    continue
                code, _ = self.build.compile(targets)
                if code != 0:
                    mutant.status = "not viable"
                    return
                for program, tests in units_of_stage:
                    if program is not None:
                        failed, timed_out = self.runner.failures(program, tests)
                    else:
                        failed, timed_out = self.runner.failures_one_by_one(tests)
                    mutant.failed_tests += failed
                    hung += timed_out
                    ran += 1
                    if failed and first_failure:
                        break
                if mutant.failed_tests and first_failure:
                    break
            mutant.complete = ran == len(units)
            if hung:
                mutant.status = "killed (timeout)"
            elif mutant.failed_tests:
                mutant.status = "killed"
            else:
                mutant.status = "survived"
        finally:
            self.build.write_source(mutant.path, original_text)
