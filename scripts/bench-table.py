"""Reads Google Benchmark JSON on stdin and prints each "<op>/ours" beside its peers: "<op>/peer",
or several named ones, "<op>/peer-<name>", each on its own row."""
import json
import sys


def split_name(name):
    parts = name.split("/")
    for index, part in enumerate(parts):
        if part in ("ours", "peer") or part.startswith("peer-"):
            return "/".join(parts[:index] + parts[index + 1:]), part
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

    rows = []
    for operation in order:
        pair = times[operation]
        peers = [side for side in pair if side != "ours"] or ["peer"]
        for peer in peers:
            label = operation if peer == "peer" else f"{operation} vs {peer[len('peer-'):]}"
            rows.append((label, pair.get("ours"), pair.get(peer)))

    width = max([len(row[0]) for row in rows] + [9])
    print(f"{'operation':<{width}}  {'ours':>14}  {'peer':>14}  {'ratio':>6}")
    for label, ours, peer in rows:
        cell = lambda t: f"{t[0]:10.1f} {t[1]:>3}" if t else f"{'-':>14}"
        ratio = f"{ours[0] / peer[0]:6.2f}" if ours and peer and ours[1] == peer[1] and peer[0] > 0 else f"{'-':>6}"
        print(f"{label:<{width}}  {cell(ours)}  {cell(peer)}  {ratio}")


if __name__ == "__main__":
    main()
