"""What a run tells: the score per file, and the JSON record of every mutant."""

import json
import os


def report(mutants, equivalents, sampled, elapsed):
    print()
    print(f"{'file':34} {'mutants':>7} {'killed':>6} {'survived':>8} {'equiv':>5} {'notviable':>9} "
          f"{'notrun':>6} {'score':>7}")
    totals = {"all": 0, "killed": 0, "survived": 0, "equivalent": 0, "not viable": 0, "not run": 0}
    for path in sorted({m.path for m in mutants}):
        counts = {k: 0 for k in totals}
        for mutant in (m for m in mutants if m.path == path):
            counts["all"] += 1
            counts["killed" if mutant.status.startswith("killed") else mutant.status] += 1
        for key in totals:
            totals[key] += counts[key]
        print(_report_row(path, counts))
    print(_report_row("total", totals))
    if not sampled:
        found = {m.key() for m in mutants} | {(m.path, m.function, m.change, m.mutated) for m in mutants}
        for key in equivalents:
            if key[0] in {m.path for m in mutants} and key not in found and \
                    (key[0],) + key[2:] not in found:
                print(f"note: equivalents list entry matches no mutant: {' | '.join(key)}")
    print(f"time: {elapsed:.0f} s")


def _report_row(name, counts):
    scored = counts["killed"] + counts["survived"]
    score = f"{100.0 * counts['killed'] / scored:6.1f}%" if scored else "    n/a"
    return (f"{name:34} {counts['all']:7} {counts['killed']:6} {counts['survived']:8} "
            f"{counts['equivalent']:5} {counts['not viable']:9} {counts['not run']:6} {score:>7}")



def write_json(path, mutants, kept_results=()):
    # Written whole to a new file and renamed, so that a run stopped midway leaves a file to resume.
    with open(path + ".new", "w", encoding="utf-8") as handle:
        json.dump(list(kept_results) +
                  [{"file": m.path, "line": m.line, "change": m.change, "original": m.original,
                    "mutated": m.mutated, "status": m.status, "failed_tests": m.failed_tests}
                   for m in mutants], handle, indent=1)
    os.replace(path + ".new", path)

