"""The command line: which mutants, run by how many workers, and what is printed and recorded."""

import argparse
import os
import re
import threading
import time

from . import EQUIVALENTS, WORK
from .faults import read_equivalents
from .reporting import print_matrix, print_scores, read_record, write_record
from .selection import default_files, library_path, select_mutants
from .worker import Worker

# The consumer tests package, install or rebuild the library and build a whole consumer project:
# minutes each, and no library logic.
DEFAULT_EXCLUDED_TESTS = r"^(DebianPackagesBuildAConsumer|SubprojectBuildsAConsumer)$"


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog="scripts/mutants",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Mutation testing: makes one small fault at a time in library sources, rebuilds a\n"
                    "private copy of the tree in build-mutants/ and runs the test suites; prints the\n"
                    "faults no test caught and a score per file: killed / (viable - equivalent).\n"
                    "Every test runs on every mutant, and each test that fails is recorded: the kill\n"
                    "matrix, which --matrix reads back from a run's --json record.",
        epilog="Operators: flip a comparison, && <-> ||, + <-> -, true <-> false, an integer constant\n"
               "off by one, drop a statement, return early, negate a condition. Comments, strings,\n"
               "preprocessor lines and the arguments of log statements are left alone.\n"
               "Equivalent mutants go in scripts/mutants-equivalent.txt, one per line:\n"
               "    src/File.cpp | <change> | <mutated line>  # reason\n"
               "Examples:\n"
               "    scripts/mutants --list src/Buffer.cpp\n"
               "    scripts/mutants --max-per-file 40 --budget 1800 --jobs 2 src/Buffer.cpp\n"
               "    scripts/mutants --json run.json src/Version.cpp && scripts/mutants --matrix run.json\n"
               "    scripts/mutants --sanitize --survivors-of run.json --json asan.json src/Buffer.cpp")
    parser.add_argument("files", nargs="*", help="library sources under src/ or include/ (default: every "
                        "source built on this platform and every header with code)")
    parser.add_argument("--budget", type=float, default=None, metavar="SECONDS",
                        help="total time budget; no mutant starts after it, and the report covers what ran")
    parser.add_argument("--max-per-file", type=int, default=None, metavar="N",
                        help="sample N mutants per file when there are more")
    parser.add_argument("--seed", type=int, default=1, help="sampling seed (default 1: runs repeat)")
    parser.add_argument("--tests", default=None, metavar="REGEX",
                        help="run only the tests matching REGEX (default: all but the packaging check)")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="parallel workers, each with its own tree and build (default 1)")
    parser.add_argument("--list", action="store_true", help="print the mutants and exit without running")
    stopping = parser.add_mutually_exclusive_group()
    stopping.add_argument("--first-failure", action="store_true",
                          help="stop each mutant at the first program or test that fails, the tests near "
                               "the mutated file first: a faster score, but no kill matrix")
    stopping.add_argument("--all-tests", action="store_true",
                          help="run every test on every mutant (the default)")
    parser.add_argument("--sanitize", action="store_true",
                        help="build the mutants with AddressSanitizer, UndefinedBehaviorSanitizer and "
                             "_GLIBCXX_ASSERTIONS, so that a mutant that is undefined behaviour is killed "
                             "where a test reaches it")
    parser.add_argument("--json", metavar="FILE",
                        help="also write every mutant, its result and the tests that failed to FILE")
    parser.add_argument("--resume", metavar="FILE",
                        help="take the results of the run that wrote FILE with --json for the mutants "
                             "it killed (with every test run, unless --first-failure) or found not "
                             "viable, and run only the others: a whole run spread over several sittings "
                             "(rerun from scratch once tests were removed)")
    parser.add_argument("--survivors-of", metavar="FILE",
                        help="run only the mutants that survived in the run that wrote FILE with --json "
                             "(same files, seed and sampling), to check new tests quickly")
    parser.add_argument("--matrix", metavar="FILE",
                        help="print the kill matrix of the run that wrote FILE with --json (of the files "
                             "named, if any) and exit: each test's unique kills, the tests without one, "
                             "and a smallest set of tests that keeps every kill")
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    if arguments.matrix:
        print_matrix(arguments.matrix, {library_path(f) for f in arguments.files})
        return 0
    mutants, texts = select_mutants(arguments.files or default_files(), arguments.max_per_file,
                                    arguments.seed)
    if arguments.survivors_of:
        _, earlier = read_record(arguments.survivors_of)
        survived = {(m["file"], m["change"], m["mutated"]) for m in earlier if m["status"] == "survived"}
        mutants = [m for m in mutants if m.key() in survived]
    equivalents = read_equivalents(EQUIVALENTS)
    for mutant in mutants:
        if mutant.listed_in(equivalents):
            mutant.status = "equivalent"
    kept_entries, kept_tests, unsettled = _resume(arguments, mutants)
    if arguments.list:
        for mutant in mutants:
            marker = "  (equivalent)" if mutant.status == "equivalent" else ""
            print(f"{mutant.path}:{mutant.line}: {mutant.change}{marker}\n    - {mutant.original}\n"
                  f"    + {mutant.mutated}")
        print(f"{len(mutants)} mutants")
        return 0

    started = time.monotonic()
    os.nice(10)
    os.makedirs(WORK, exist_ok=True)
    jobs = max(1, arguments.jobs)
    workers = [Worker(n, max(1, (os.cpu_count() or 1) // jobs), arguments.sanitize) for n in range(jobs)]
    print(f"mutants: preparing {jobs} private build(s) in {WORK}"
          f"{' with the sanitizers' if arguments.sanitize else ''}", flush=True)
    for worker in workers:
        worker.prepare()
    names = _selected_tests(workers[0].list_tests(), arguments.tests)
    for worker in workers:
        worker.select(names)
    baseline_started = time.monotonic()
    failing, warnings = workers[0].baseline()
    for warning in warnings:
        print(f"mutants: warning: {warning}", flush=True)
    if failing:
        raise SystemExit(f"mutants: the unmutated tests fail: {', '.join(failing)}")
    for worker in workers[1:]:
        worker.adopt_timings(workers[0])
    baseline = time.monotonic() - baseline_started
    pending = [m for m in mutants if m.status == "not run"]
    listed = sum(1 for m in mutants if m.status == "equivalent")
    print(f"mutants: {len(names)} tests pass in {baseline:.1f} s (each program may take 3 times as long "
          f"and 20 s more); {len(pending)} mutants to run, {listed} listed as equivalent, "
          f"{len(mutants) - len(pending) - listed} settled by the resumed run"
          f"{f' ({unsettled} killed there rerun for every test)' if unsettled else ''}", flush=True)
    for path in sorted({m.path for m in pending}):
        print(f"mutants: near {path}: {_describe_near(workers[0], path)}", flush=True)

    lock = threading.Lock()
    durations = []

    def work(worker):
        while True:
            with lock:
                average = sum(durations) / len(durations) if durations else 0
                over = arguments.budget is not None and \
                    time.monotonic() - started + average > arguments.budget
                if not pending or over:
                    return
                mutant = pending.pop(0)
            began = time.monotonic()
            worker.try_mutant(mutant, texts[mutant.path], arguments.first_failure)
            with lock:
                durations.append(time.monotonic() - began)
                seconds = f"{durations[-1]:.0f} s"
                done = sum(1 for m in mutants if m.status not in ("not run", "equivalent"))
                if mutant.status == "survived":
                    print(f"SURVIVED {mutant.path}:{mutant.line}: {mutant.change}\n"
                          f"    - {mutant.original}\n    + {mutant.mutated}\n"
                          f"    equivalent? {mutant.equivalent_line()}  # reason", flush=True)
                else:
                    count = len(mutant.failed_tests)
                    by = f" by {count} test{'s' if count > 1 else ''}" if count else ""
                    print(f"[{done}, {seconds}] {mutant.status}{by}: {mutant.path}:{mutant.line}: "
                          f"{mutant.change}", flush=True)
                if arguments.json:
                    write_record(arguments.json, mutants, names, kept_entries, kept_tests)

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for worker in workers:
        worker.build.restore()
    sampled = arguments.max_per_file is not None or arguments.survivors_of is not None
    print_scores(mutants, equivalents, sampled, time.monotonic() - started)
    if arguments.json:
        write_record(arguments.json, mutants, names, kept_entries, kept_tests)
    return 0


def _resume(arguments, mutants):
    """Settles mutants from the record to resume; returns the record's entries for other files (written
    back with this run's, so that one file gathers a run made file by file), its tests, and how many
    of its kills are rerun because they lack the whole row of the matrix."""
    if not (arguments.resume and os.path.exists(arguments.resume)):
        return [], [], 0
    tests, earlier = read_record(arguments.resume)
    paths = {m.path for m in mutants}
    kept = [m for m in earlier if m["file"] not in paths]
    settled = {(m["file"], m["change"], m["mutated"]): m for m in earlier
               if m["status"] == "not viable" or
               (m["status"].startswith("killed") and (m.get("complete") or arguments.first_failure))}
    incomplete = {(m["file"], m["change"], m["mutated"]) for m in earlier
                  if m["status"].startswith("killed")} - set(settled)
    unsettled = 0
    for mutant in (m for m in mutants if m.status == "not run"):
        if mutant.key() in settled:
            entry = settled[mutant.key()]
            mutant.status, mutant.failed_tests = entry["status"], entry["failed_tests"]
            mutant.complete, mutant.sanitized = entry.get("complete", False), entry.get("sanitized", False)
        elif mutant.key() in incomplete:
            unsettled += 1
    return kept, tests, unsettled


def _selected_tests(tests, pattern):
    names = [t.name for t in tests]
    if pattern:
        included = re.compile(pattern)
        names = [n for n in names if included.search(n)]
    else:
        excluded = re.compile(DEFAULT_EXCLUDED_TESTS)
        if not any(excluded.search(n) for n in names):
            print(f"mutants: warning: no test matches the excluded pattern {DEFAULT_EXCLUDED_TESTS}: "
                  "was the packaging check renamed?", flush=True)
        names = [n for n in names if not excluded.search(n)]
    if not names:
        raise SystemExit("mutants: no test matches")
    return names


def _describe_near(worker, path):
    near = worker.near(path)
    if not near:
        return "no test"
    groups = {}
    for program, tests in worker.units():
        for test in tests:
            if test.name in near:
                label = os.path.basename(program.command[0]) if program else test.name
                groups[label] = groups.get(label, 0) + 1
    labels = [f"{label} ({count})" if count > 1 else label for label, count in sorted(groups.items())]
    return f"{len(near)} test{'s' if len(near) > 1 else ''}: " + ", ".join(labels)
