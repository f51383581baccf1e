"""Private copies of the source tree and their builds: the developer's working tree is never written.

Each worker has a tree (build-mutants/tree<N>) and a build of it (build-mutants/build<N>, or
build<N>-sanitize under AddressSanitizer, UndefinedBehaviorSanitizer and the standard library's
assertions, where a mutant that is undefined behaviour fails the test that reaches it). Builds are
incremental: a mutant recompiles its own file and relinks what depends on it.
"""

import filecmp
import os
import shutil

from . import ROOT, WORK
from .processes import run

COPY_SKIPPED = {".git", ".cache", "build-mutants"}
SANITIZERS = "address,undefined"


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


class Build:
    def __init__(self, number, build_jobs, sanitized):
        self.tree = os.path.join(WORK, f"tree{number}")
        self.folder = os.path.join(WORK, f"build{number}" + ("-sanitize" if sanitized else ""))
        self.build_jobs = build_jobs
        self.sanitized = sanitized

    def prepare(self):
        """Brings the tree up to date with the working tree, configures the build once and builds."""
        sync_tree(self.tree)
        configured = all(os.path.exists(os.path.join(self.folder, name))
                         for name in ("build.ninja", "compile_commands.json"))
        if not configured:
            options = ["-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                       "-DPLINTH_BUILD_TESTS=ON", "-DPLINTH_BUILD_EXAMPLES=OFF",
                       "-DPLINTH_BUILD_BENCHMARKS=OFF",
                       # Tests load the library at run time: no relinking them per mutant.
                       "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON",
                       # Listing a test program's cases when the tests run, not when it is linked:
                       # a mutant that breaks the listing then fails tests instead of the build.
                       "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
                       # Tells which sources each test program is made of, to find its nearby tests.
                       "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"]
            if self.sanitized:
                options += [f"-DPLINTH_SANITIZE={SANITIZERS}", "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS"]
            code, output = run(["cmake", "-S", self.tree, "-B", self.folder, "-G", "Ninja"] + options)
            if code != 0:
                raise SystemExit(f"mutants: configuring {self.folder} failed:\n{output}")
        code, output = self.compile()
        if code != 0:
            raise SystemExit(f"mutants: the unmutated tree does not build:\n{output[-4000:]}")

    def compile(self, targets=()):
        """Builds targets (build outputs relative to the build folder), or everything."""
        return run(["cmake", "--build", self.folder, "--parallel", str(self.build_jobs)] +
                   (["--target"] + sorted(targets) if targets else []))

    def write_source(self, path, text):
        with open(os.path.join(self.tree, path), "w", encoding="utf-8") as handle:
            handle.write(text)

    def restore(self):
        sync_tree(self.tree)
