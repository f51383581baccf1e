"""What a run tells: the score per file, the JSON record of every mutant, and the kill matrix.

The record (--json) holds the tests that ran and, per mutant, its status and every test that failed
with it; `complete` marks a mutant on which every test ran (not stopped at the first failure), whose
list of failed tests is therefore its whole row of the kill matrix. Records written before the
matrix (a bare list of mutants) are still read.
"""

import json
import os

FORMAT = "plinth-mutants 2"


def print_scores(mutants, equivalents, sampled, elapsed):
    print()
    print(f"{'file':44} {'mutants':>7} {'killed':>6} {'survived':>8} {'equiv':>5} {'notviable':>9} "
          f"{'notrun':>6} {'score':>7}")
    totals = {"all": 0, "killed": 0, "survived": 0, "equivalent": 0, "not viable": 0, "not run": 0}
    for path in sorted({m.path for m in mutants}):
        counts = {k: 0 for k in totals}
        for mutant in (m for m in mutants if m.path == path):
            counts["all"] += 1
            counts["killed" if mutant.status.startswith("killed") else mutant.status] += 1
        for key in totals:
            totals[key] += counts[key]
        print(_score_row(path, counts))
    print(_score_row("total", totals))
    if not sampled:
        found = {m.key() for m in mutants} | {(m.path, m.function, m.change, m.mutated) for m in mutants}
        for key in equivalents:
            if key[0] in {m.path for m in mutants} and key not in found and \
                    (key[0],) + key[2:] not in found:
                print(f"note: equivalents list entry matches no mutant: {' | '.join(key)}")
    print(f"time: {elapsed:.0f} s")


def _score_row(name, counts):
    scored = counts["killed"] + counts["survived"]
    score = f"{100.0 * counts['killed'] / scored:6.1f}%" if scored else "    n/a"
    return (f"{name:44} {counts['all']:7} {counts['killed']:6} {counts['survived']:8} "
            f"{counts['equivalent']:5} {counts['not viable']:9} {counts['not run']:6} {score:>7}")


def read_record(path):
    """(test names, mutant entries) from a record written with --json."""
    with open(path, encoding="utf-8") as handle:
        record = json.load(handle)
    if isinstance(record, list):
        # Before the matrix: a survivor ran every test, any other mutant maybe not.
        for entry in record:
            entry.setdefault("complete", entry["status"] == "survived")
        return [], record
    return record["tests"], record["mutants"]


def write_record(path, mutants, tests, kept_entries=(), kept_tests=()):
    # Written whole to a new file and renamed, so that a run stopped midway leaves a file to resume.
    entries = list(kept_entries) + [
        {"file": m.path, "line": m.line, "change": m.change, "original": m.original,
         "mutated": m.mutated, "status": m.status, "failed_tests": m.failed_tests,
         "complete": m.complete, "sanitized": m.sanitized} for m in mutants]
    record = {"format": FORMAT, "tests": sorted(set(tests) | set(kept_tests)), "mutants": entries}
    with open(path + ".new", "w", encoding="utf-8") as handle:
        json.dump(record, handle, indent=1)
    os.replace(path + ".new", path)


def print_matrix(path, files=()):
    """The kill matrix of the run recorded in path (its mutants in files, when given)."""
    tests, entries = read_record(path)
    if files:
        entries = [e for e in entries if e["file"] in files]
    killed = [e for e in entries if e["status"].startswith("killed")]
    rows = [e for e in killed if e.get("complete") and e["failed_tests"]]
    tests = sorted(set(tests) | {t for e in rows for t in e["failed_tests"]})
    kills = {t: [] for t in tests}
    for index, entry in enumerate(rows):
        for test in entry["failed_tests"]:
            kills[test].append(index)
    killers = [len(set(e["failed_tests"])) for e in rows]
    unique = {t: [i for i in kills[t] if killers[i] == 1] for t in tests}

    counts = {s: sum(1 for e in entries if e["status"] == s)
              for s in ("survived", "equivalent", "not viable", "not run")}
    print(f"kill matrix of {path}: {len(rows)} killed mutants with every test run on each, "
          f"{len(tests)} tests; {counts['survived']} survived, {counts['equivalent']} equivalent, "
          f"{counts['not viable']} not viable, {counts['not run']} not run")
    if len(rows) < len(killed):
        print(f"left out: {len(killed) - len(rows)} killed mutants whose run stopped at the first failing "
              f"test (--first-failure, or an older record); rerun them for their whole row")

    print("\nunique kills (mutants that this test alone kills):")
    holders = sorted((t for t in tests if unique[t]), key=lambda t: (-len(unique[t]), t))
    for test in holders:
        print(f"  {test}: {len(unique[test])} unique of {len(kills[test])} kills")
        for index in unique[test]:
            print(f"      {_where(rows[index])}")
    if not holders:
        print("  (none)")

    shared = [t for t in tests if not unique[t] and kills[t]]
    idle = [t for t in tests if not kills[t]]
    print(f"\ntests with no unique kill: {len(shared) + len(idle)}")
    print(f"  whose every kill another test also makes: {len(shared)}")
    for test in sorted(shared, key=lambda t: (-len(kills[t]), t)):
        print(f"    {test}: {len(kills[test])} kill{'s' if len(kills[test]) > 1 else ''}")
    print(f"  that kill nothing: {len(idle)}")
    for test in idle:
        print(f"    {test}")

    chosen = _greedy_cover(kills, len(rows))
    print(f"\na smallest set of tests that keeps every kill (greedy): {len(chosen)} of {len(tests)} tests")
    for test, gained in chosen:
        print(f"  {test}: +{gained}")


def _where(entry):
    return f"{entry['file']}:{entry['line']}: {entry['change']}"


def _greedy_cover(kills, count):
    """Tests picked one by one, each the one killing most mutants not yet killed, until every mutant
    some test kills is killed; as (test, mutants it added)."""
    left = set(range(count))
    chosen = []
    while left:
        test = max(sorted(kills), key=lambda t: len(left.intersection(kills[t])))
        gained = left.intersection(kills[test])
        if not gained:
            break
        chosen.append((test, len(gained)))
        left -= gained
    return chosen
