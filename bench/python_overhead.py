#!/usr/bin/env python3
"""What the Python package adds per call: talvo2.open of one result, and a project's 10,000
members listed and iterated (each opened), against the same operations in C++ measured by the
talvo2_bench program on folders built the same way. Prints a table of per-call times and ratios.

    PYTHONPATH=<build>/python python3 bench/python_overhead.py <build>/bench/talvo2_bench

Run with TMPDIR=/dev/shm to leave the disk out of both sides. Each figure is the median of
five rounds.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import talvo2

MEMBERS = 10_000
ROUNDS = 5


def median_seconds(action, repeat):
    rounds = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for _ in range(repeat):
            action()
        rounds.append((time.perf_counter() - start) / repeat)
    return statistics.median(rounds)


def build_project(root):
    """A project holding MEMBERS results laid out as the C++ benchmark lays them out."""
    project = talvo2.Project.create(os.path.join(root, "p"))
    for i in range(MEMBERS):
        member = os.path.join(project.path, f"r{i}")
        os.mkdir(member)
        with open(os.path.join(member, f"r{i}.talvo"), "w") as marker:
            marker.write("<variant_bag/>")
        with open(os.path.join(member, "data.txt"), "w") as data:
            data.write("x")
    return project


def thread_scaling(folder, threads, opens=2000):
    """Opens per second with `threads` threads opening results: the interpreter lock is
    released around the disk work, so two threads on two cores do nearly twice the work."""
    paths = [talvo2.create(os.path.join(folder, f"t{i}")).path for i in range(threads)]
    time.sleep(2.2)
    workers = [threading.Thread(target=lambda p=p: [talvo2.open(p) for _ in range(opens)])
               for p in paths]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * opens / (time.perf_counter() - start)


def python_side(root):
    result = talvo2.create(os.path.join(root, "one", "r000"))
    folder = os.path.dirname(result.path)
    del result
    time.sleep(2.2)  # a settled folder, as the C++ side measures
    times = {"open": median_seconds(lambda: talvo2.open(os.path.join(folder, "r000")), 2000)}
    project = build_project(root)
    times["list"] = median_seconds(project.member_paths, 3) / MEMBERS
    times["iterate"] = median_seconds(lambda: sum(1 for _ in project), 1) / MEMBERS
    times["scaling"] = (thread_scaling(os.path.join(root, "two"), 2)
                        / thread_scaling(os.path.join(root, "one"), 1))
    return times


def cpp_side(bench):
    names = {"BM_OpenResultSettled": "open", f"BM_GroupMemberPaths/{MEMBERS}": "list",
             f"BM_GroupOpenMembers/{MEMBERS}": "iterate"}
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run(
            [bench, "--benchmark_filter=^(" + "|".join(names) + ")$",
             f"--benchmark_out={out.name}", "--benchmark_out_format=json",
             f"--benchmark_repetitions={ROUNDS}", "--benchmark_min_time=0.2"],
            check=True, capture_output=True)
        report = json.load(out)
    unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    times = {}
    for entry in report["benchmarks"]:
        if entry.get("aggregate_name") == "median" and entry["run_name"] in names:
            key = names[entry["run_name"]]
            per = 1 if key == "open" else MEMBERS
            times[key] = entry["real_time"] * unit[entry["time_unit"]] / per
    return times


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = tempfile.mkdtemp(prefix="talvo2-python-")
    try:
        py = python_side(root)
    finally:
        shutil.rmtree(root)
    cpp = cpp_side(sys.argv[1])
    print(f"{'operation':<40} {'Python':>10} {'C++':>10} {'ratio':>7}   goal")
    goals = {"open": 2.0, "list": 2.0, "iterate": 2.0}
    labels = {"open": "talvo2.open, per call (us)",
              "list": f"member paths of {MEMBERS:,}, per member (us)",
              "iterate": f"members of {MEMBERS:,} opened, per member (us)"}
    for key in ("open", "list", "iterate"):
        ratio = py[key] / cpp[key]
        verdict = "met" if ratio <= goals[key] else "MISSED"
        print(f"{labels[key]:<40} {py[key] * 1e6:>10.2f} {cpp[key] * 1e6:>10.2f} {ratio:>7.2f}"
              f"   {goals[key]:.1f} {verdict}")
    print(f"opens per second, 2 threads / 1 thread: {py['scaling']:.2f} "
          f"({os.cpu_count()} cores)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
