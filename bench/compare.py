#!/usr/bin/env python3
"""Prints ratios between benchmarks of one run: for each family named on the command line after the
JSON file, its throughput against the first family, argument by argument.

usage: compare.py RESULT.json BASE OTHER [OTHER ...]
  e.g. compare.py json.json BM_Ours BM_RapidJSON BM_Nlohmann
"""
import json
import sys


def main():
    path, base, others = sys.argv[1], sys.argv[2], sys.argv[3:]
    runs = json.load(open(path))["benchmarks"]
    times = {}
    for run in runs:
        if run.get("run_type", "iteration") != "iteration":
            continue
        family, _, arg = run["name"].partition("/")
        times[(family, arg)] = run["real_time"]
    args = sorted({a for (f, a) in times if f == base}, key=lambda a: (len(a), a))
    print("%-8s %12s" % ("arg", base + " ns") + "".join(" %22s" % (o + " x") for o in others))
    for arg in args:
        line = "%-8s %12.0f" % (arg, times[(base, arg)])
        for other in others:
            t = times.get((other, arg))
            line += " %22s" % ("%.2f" % (t / times[(base, arg)]) if t else "-")
        print(line)


if __name__ == "__main__":
    main()
