"""The command line: which mutants, run by how many workers, and what is printed and recorded."""

import argparse
import json
import os
import re
import threading
import time
from collections import namedtuple

from . import EQUIVALENTS, WORK
from .building import Worker, sync_tree
from .faults import read_equivalents
from .nearby import Neighbourhood
from .reporting import report, write_json
from .selection import default_files, select_mutants

# The packaging check installs and builds a whole consumer project: minutes, and no library logic.
DEFAULT_EXCLUDED_TESTS = r"^DebianPackagesBuildAConsumer$"

NamedTest = namedtuple("NamedTest", "name outputs")


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog="scripts/mutants",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Mutation testing: makes one small fault at a time in library sources, rebuilds a\n"
                    "private copy of the tree in build-mutants/ and runs the test suites; prints the\n"
                    "faults no test caught and a score per file: killed / (viable - equivalent).",
        epilog="Operators: flip a comparison, && <-> ||, + <-> -, true <-> false, an integer constant\n"
               "off by one, drop a statement, return early, negate a condition. Comments, strings,\n"
               "preprocessor lines and the arguments of log statements are left alone.\n"
               "Equivalent mutants go in scripts/mutants-equivalent.txt, one per line:\n"
               "    src/File.cpp | <change> | <mutated line>  # reason\n"
               "Examples:\n"
               "    scripts/mutants --list src/Buffer.cpp\n"
               "    scripts/mutants --max-per-file 40 --budget 1800 --jobs 2 src/Buffer.cpp")
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
    parser.add_argument("--all-tests", action="store_true",
                        help="run every test on every mutant instead of stopping at the first failure, "
                             "to see which tests kill which mutants")
    parser.add_argument("--json", metavar="FILE", help="also write every mutant and its result to FILE")
    parser.add_argument("--resume", metavar="FILE",
                        help="take the results of the run that wrote FILE with --json for the mutants "
                             "it killed or found not viable, and run only the others: a whole run "
                             "spread over several sittings (rerun from scratch once tests were removed)")
    parser.add_argument("--survivors-of", metavar="FILE",
                        help="run only the mutants that survived in the run that wrote FILE with --json "
                             "(same files, seed and sampling), to check new tests quickly")
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    mutants, texts = select_mutants(arguments.files or default_files(), arguments.max_per_file,
                                    arguments.seed)
    if arguments.survivors_of:
        with open(arguments.survivors_of, encoding="utf-8") as handle:
            survived = {(m["file"], m["change"], m["mutated"]) for m in json.load(handle)
                        if m["status"] == "survived"}
        mutants = [m for m in mutants if m.key() in survived]
    equivalents = read_equivalents(EQUIVALENTS)
    for mutant in mutants:
        if mutant.listed_in(equivalents):
            mutant.status = "equivalent"
    # Results of other files in the resumed file are written back with this run's, so that one file
    # can gather a whole run made file by file.
    kept_results = []
    if arguments.resume and os.path.exists(arguments.resume):
        with open(arguments.resume, encoding="utf-8") as handle:
            earlier = json.load(handle)
        paths = {m.path for m in mutants}
        kept_results = [m for m in earlier if m["file"] not in paths]
        settled = {(m["file"], m["change"], m["mutated"]): m for m in earlier
                   if m["status"].startswith("killed") or m["status"] == "not viable"}
        for mutant in (m for m in mutants if m.status == "not run" and m.key() in settled):
            mutant.status = settled[mutant.key()]["status"]
            mutant.failed_tests = settled[mutant.key()]["failed_tests"]
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
    workers = [Worker(n, max(1, (os.cpu_count() or 1) // jobs)) for n in range(jobs)]
    print(f"mutants: preparing {jobs} private build(s) in {WORK}", flush=True)
    for worker in workers:
        worker.prepare()
    tests = workers[0].list_tests()
    excluded = re.compile(DEFAULT_EXCLUDED_TESTS)
    if not arguments.tests and not any(excluded.search(name) for _, name, _ in tests):
        print(f"mutants: warning: no test matches the excluded pattern {DEFAULT_EXCLUDED_TESTS}: "
              "was the packaging check renamed?", flush=True)
    included = re.compile(arguments.tests) if arguments.tests else None
    tests = [(n, name, programs) for n, name, programs in tests
             if (included.search(name) if included else not excluded.search(name))]
    if not tests:
        raise SystemExit("mutants: no test matches")
    neighbourhood = Neighbourhood(workers[0].build, workers[0].tree,
                                  [NamedTest(name, programs) for _, name, programs in tests])
    near = {path: neighbourhood.near(path) for path in {m.path for m in mutants}}
    baseline_started = time.monotonic()
    passed, _, failed = workers[0].test([n for n, _, _ in tests], 3600, False)
    if not passed:
        raise SystemExit(f"mutants: the unmutated tests fail: {', '.join(failed) or 'see ctest'}")
    baseline = time.monotonic() - baseline_started
    timeout = 3 * baseline + 20
    pending = [m for m in mutants if m.status == "not run"]
    listed = sum(1 for m in mutants if m.status == "equivalent")
    print(f"mutants: {len(tests)} tests pass in {baseline:.1f} s (time limit {timeout:.0f} s); "
          f"{len(pending)} mutants to run, {listed} listed as equivalent, "
          f"{len(mutants) - len(pending) - listed} settled by the resumed run", flush=True)
    for path in sorted({m.path for m in pending}):
        print(f"mutants: near {path}: {len(near[path])} tests", flush=True)

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
            worker.try_mutant(mutant, texts[mutant.path], tests, near[mutant.path], timeout,
                              not arguments.all_tests)
            with lock:
                durations.append(time.monotonic() - began)
                seconds = f"{durations[-1]:.0f} s"
                done = sum(1 for m in mutants if m.status not in ("not run", "equivalent"))
                if mutant.status == "survived":
                    print(f"SURVIVED {mutant.path}:{mutant.line}: {mutant.change}\n"
                          f"    - {mutant.original}\n    + {mutant.mutated}\n"
                          f"    equivalent? {mutant.equivalent_line()}  # reason", flush=True)
                else:
                    print(f"[{done}, {seconds}] {mutant.status}: {mutant.path}:{mutant.line}: {mutant.change}",
                          flush=True)
                if arguments.json:
                    write_json(arguments.json, mutants, kept_results)

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for worker in workers:
        sync_tree(worker.tree)
    report(mutants, equivalents, arguments.max_per_file is not None or arguments.survivors_of is not None,
           time.monotonic() - started)
    if arguments.json:
        write_json(arguments.json, mutants, kept_results)
    return 0

