"""The README's Python example runs as documented."""

import os
import subprocess
import sys

import talvo2

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python",
                       "newest_two.py")


def run(*args):
    return subprocess.run([sys.executable, EXAMPLE, *args], capture_output=True, text=True,
                          env=os.environ, timeout=60)


def test_newest_two_compares_the_highest_numbers(tmp):
    talvo2.Project.create("demo")
    for run_number in range(11):
        result = talvo2.create("demo/r@@@")
        result.command = f"collect --run {run_number}"
        result.save()
    shown = run("demo")
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    assert lines[0].split() == ["*", "name", "r010", "r009"]  # by number: r010 beats r009
    assert any(line.startswith("* command") and "--run 10" in line for line in lines)
    assert any(line.startswith("  host") for line in lines)


def test_newest_two_explains_what_is_missing(tmp):
    talvo2.Project.create("demo")
    talvo2.create("demo/r@@@")
    assert run("demo").returncode == 1 and "needs two" in run("demo").stderr
    assert run("missing").returncode == 1 and "missing" in run("missing").stderr
