"""Reads Google Benchmark JSON on stdin and prints each "<op>/ours" beside its "<op>/peer"."""
import json
import sys


def split_name(name):
    parts = name.split("/")
    for side in ("ours", "peer"):
        if side in parts:
            index = parts.index(side)
            return "/".join(parts[:index] + parts[index + 1:]), side
    return None, None


def main():
    text = sys.stdin.read()
    if not text.strip():
        return  # the filter matched nothing in this program
    report = json.loads(text)
    times = {}
    order = []
    for run in report["benchmarks"]:
        if run.get("aggregate_name", "median") != "median":
            continue
        operation, side = split_name(run["run_name"] if "run_name" in run else run["name"])
        if operation is None:
            continue
        if operation not in times:
            times[operation] = {}
            order.append(operation)
        times[operation][side] = (run["real_time"], run["time_unit"])

    width = max([len(op) for op in order] + [9])
    print(f"{'operation':<{width}}  {'ours':>14}  {'peer':>14}  {'ratio':>6}")
    for operation in order:
        pair = times[operation]
        ours, peer = pair.get("ours"), pair.get("peer")
        cell = lambda t: f"{t[0]:10.1f} {t[1]:>3}" if t else f"{'-':>14}"
        ratio = f"{ours[0] / peer[0]:6.2f}" if ours and peer and ours[1] == peer[1] and peer[0] > 0 else f"{'-':>6}"
        print(f"{operation:<{width}}  {cell(ours)}  {cell(peer)}  {ratio}")


if __name__ == "__main__":
    main()
