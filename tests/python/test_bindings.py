"""What the Python package adds to the library: idiom, types, exceptions, flags, progress."""

import concurrent.futures
import multiprocessing
import os
import pathlib
import subprocess
import sys
from datetime import datetime, timedelta, timezone

import pytest
import talvo2
from conftest import fill


def test_results_round_trip_metadata_and_properties(tmp):
    project = talvo2.Project.create("résultats")
    first = talvo2.create("r@@@", base=project.path, variables={"note": "first"})
    second = talvo2.create("résultats/r@@@")
    assert (first.name, second.name) == ("r000", "r001")
    talvo2.Experiment.create("résultats/r009")  # named like a result, but none
    assert talvo2.open("résultats/r@@@") == second  # a pattern opens its newest
    assert [r.name for r in talvo2.diff("résultats/r@@@")] == ["r001", "r000"]
    made = talvo2.get("résultats/結果")
    assert talvo2.get("résultats/結果") == made and made.name == "結果"  # get opens what is there

    assert isinstance(first, talvo2.Result) and first.parent == project
    assert abs(first.created - datetime.now(timezone.utc)) < timedelta(minutes=5)
    assert (first.os, first.mpi_rank, first.finalized, first.valid, first.command,
            first.collection) == ("linux", None, False, True, None, (None, None))
    info = talvo2.sysinfo()  # what new results record
    assert first.host == first.properties["talvo"]["hostname"] and first.cpu == info.cpu
    assert info.cpu.logical_cpus == os.cpu_count() and len(info.isa) == 3 and info.mpi_rank is None

    begin = datetime(2026, 1, 2, 3, 4, 5, tzinfo=timezone.utc)
    end = begin + timedelta(hours=1)
    first.command = "collect -x ./app"
    first.collection = (begin, end)
    first.finalization = (end, None)
    first.properties["huge"] = 2 ** 64 - 1  # beyond int64: stored unsigned
    first.properties.section("extra", create=True)["ratio"] = 0.5
    first.save()
    first.finalized = True
    path = first.path
    del first
    again = talvo2.open(path)
    assert again.command == "collect -x ./app"
    assert again.collection == (begin, end) and again.finalization == (end, None)
    assert again.properties["huge"] == 2 ** 64 - 1 and again.properties["extra"]["ratio"] == 0.5
    again.invalidate()  # moved aside; results opened afterwards say so
    assert again.path == path + "-bad" and again.finalized
    del again
    assert not talvo2.open(path + "-bad").valid
    assert talvo2.open(path + "-bad").properties["talvo"]["hostname"]  # a temporary node's bag


# Each failure raises its own class (which the built-in kinds catch too) and changes nothing.
@pytest.mark.parametrize("attempt, error, code", [
    (lambda: talvo2.open("missing"), FileNotFoundError, "NotFound"),
    (lambda: talvo2.Project.open("r000"), talvo2.NotFound, "NotFound"),
    (lambda: talvo2.create("r000"), FileExistsError, "AlreadyExists"),
    (lambda: talvo2.create("a@@@b@@"), talvo2.PatternError, "TooManyPlaceholderGroups"),
    (lambda: talvo2.create("r@@@@@@@@@"), talvo2.PatternError, "TooLongPlaceholder"),
    (lambda: talvo2.open("r000").copy("r000"), talvo2.AlreadyExists, "AlreadyExists"),
    (lambda: talvo2.diff("r@@@"), talvo2.NotFound, "NotFound"),
    (lambda: talvo2.open("r000").clear_flag("none"), talvo2.NotFound, "NotFound"),
    (lambda: talvo2.create("bad\0name"), talvo2.InvalidPath, "InvalidPath"),
    (lambda: talvo2.open("r000\0junk"), talvo2.InvalidPath, "InvalidPath"),
    (lambda: talvo2.open("r000").flag("a\0b").acquire(), talvo2.InvalidPath, "InvalidPath"),
    (lambda: talvo2.open("r000").copy("c\0d"), talvo2.InvalidPath, "InvalidPath"),
    (lambda: talvo2.create("\udcff"), talvo2.InvalidPath, "InvalidPath"),
    (lambda: talvo2.create("r@@@", variables={"n": 2 ** 64}), talvo2.ParameterError,
     "ParameterError"),  # beyond 64 bits
    (lambda: talvo2.get("p"), talvo2.AlreadyExists, "AlreadyExists"),  # a project is no result
    (lambda: talvo2.Project.open("p").find("r@@@", max=-1), ValueError, None),
    (lambda: setattr(talvo2.open("r000"), "collection", (datetime(2026, 1, 1), None)), ValueError,
     None),  # naive: ambiguous
    (lambda: talvo2.open("r000").properties["no such key"], KeyError, None),
])
def test_each_failure_raises_its_exception_and_changes_nothing(tmp, attempt, error, code):
    talvo2.create("r000")
    talvo2.Project.create("p")
    before = sorted(os.listdir("."))
    with pytest.raises(error) as raised:
        attempt()
    if code:
        assert isinstance(raised.value, talvo2.Error) and raised.value.code == code
        assert raised.value.message  # says what was attempted and why
    assert sorted(os.listdir(".")) == before and not os.path.exists("p/p.talvo")


def test_groups_iterate_choose_by_number_and_compare(tmp):
    project = talvo2.Project.create("p")
    for _ in range(12):
        talvo2.create("p/r@@@")
    talvo2.Experiment.create("p/baseline")
    assert len(project) == len(list(project)) == 13
    assert len(project.members(kind=talvo2.Result)) == 12
    assert [type(m) for m in project.members(kind=talvo2.Experiment)] == [talvo2.Experiment]
    newest = [r.name for r in project.results(newest_first=True)]
    assert newest == [f"r{n:03}" for n in range(11, -1, -1)]
    assert [r.name for r in project.find("r@@@", max=2)] == newest[:2]
    assert [r.name for r in talvo2.diff("p/r@@@")] == newest[:2]
    assert isinstance(talvo2.open_node("p/baseline"), talvo2.Experiment)
    assert talvo2.Experiment.open("baseline", base="p").path == os.path.abspath("p/baseline")


def _hold(path, held, done):
    with talvo2.open(path).flag("analysing"):
        held.set()
        done.wait(30)


def test_flags_name_their_holder_from_its_record_and_are_released_whatever_happens(tmp):
    result = talvo2.create("r000")
    with pytest.raises(RuntimeError), result.flag("busy"):
        with pytest.raises(talvo2.AlreadyExists):  # held here: no waiting on itself
            result.flag("busy", wait=5).acquire()
        raise RuntimeError("analysis failed")
    assert result.who("busy").state == "free" and result.flags() == []

    context = multiprocessing.get_context("spawn")
    held, done = context.Event(), context.Event()
    other = context.Process(target=_hold, args=(result.path, held, done))
    other.start()
    try:
        assert held.wait(30)
        state = result.who("analysing")
        assert (state.state, state.holder.pid, result.flags()) == ("held", other.pid, ["analysing"])
        with pytest.raises(talvo2.FlagOwnedElsewhere) as raised, result.flag("analysing"):
            pass
        assert raised.value.holder.pid == other.pid and raised.value.holder.since.tzinfo

        # A forged record and a planted look-alike are read as data, never as orders.
        record = next(n for n in os.listdir(result.path) if n.startswith("analysing.info"))
        pathlib.Path(result.path, record).write_text(
            '<?xml version="1.0"?><variant_bag version="1">'
            '<!-- <value key="pid" type="uint32" data="1" /> -->'
            '<value key="user" type="string" data="\x1b[31mx" />'
            '<value key="timestamp" type="uint64" data="99999999999999999" /></variant_bag>')
        pathlib.Path(result.path, record + "0").write_text(
            '<variant_bag><value key="pid" data="1" /></variant_bag>')
        state = result.who("analysing")
        assert state.state == "held" and state.holder.pid is None  # not the comment's, not 1
        assert state.holder.since is None and "\x1b" not in str(state.holder)

        done.set()
        with result.flag("analysing", wait=30) as flag:  # taken once the other lets go
            assert flag.held and result.who("analysing").state == "owned"
    finally:
        done.set()
        other.join(30)
    assert result.who("analysing").state == "free"


def test_transfers_report_progress_and_cancel_cleanly(tmp):
    fill(talvo2.create("r000").path)
    files = talvo2.open("r000").files
    calls = []
    talvo2.open("r000").copy("copied", progress=lambda *call: calls.append(call))
    assert talvo2.open("copied").files == files
    assert calls[-1][0] == calls[-1][1] > 0 and any(item for _, _, item in calls)
    assert [done for done, _, _ in calls] == sorted(done for done, _, _ in calls)

    def interrupt(done, total, item):
        if done > total / 2:
            raise KeyboardInterrupt

    # Stopped by the callback's answer, by its exception, or by its reaching into the node.
    for stop, raised in [(lambda done, total, _: done < total / 2, talvo2.Cancelled),
                         (interrupt, KeyboardInterrupt),
                         (lambda *_: talvo2.open("r000").flag("f").acquire(), talvo2.FileLocked)]:
        for operation in ("copy", "export"):
            with pytest.raises(raised):
                getattr(talvo2.open("r000"), operation)("target", progress=stop)
            assert sorted(os.listdir(".")) == ["copied", "r000"]  # nothing of it is left
    assert talvo2.open("r000").files == files

    node = talvo2.open("copied")
    node.move("moved")  # the object follows its directory
    assert node.path == os.path.abspath("moved") and not os.path.exists("copied")
    exported = talvo2.open("r000").export("exported", progress=lambda *_: True)
    assert isinstance(exported, talvo2.Result) and exported.files == files


def test_threads_sharing_a_node_take_turns(tmp):
    path = talvo2.create("r000").path

    def work(index):
        for i in range(200):
            node = talvo2.open(path)  # the same node for every thread
            node.properties[f"t{index}"] = i
            if i % 20 == 0:
                node.save()
            del node.properties[f"t{index}"]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(work, range(4)))  # raises what a thread raised


def test_the_interpreter_exits_cleanly_while_a_daemon_thread_copies(tmp):
    fill(talvo2.create("r000").path, files=200, size=5_000)
    script = """
import atexit, threading
atexit.register(lambda: talvo2.open("r000").name)  # runs after the package's own handler
import talvo2
started = threading.Event()
def work():
    talvo2.open("r000").copy("c1", progress=lambda *_: started.set())
threading.Thread(target=work, daemon=True).start()
started.wait(30)
"""
    for _ in range(3):
        ended = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               timeout=120)
        assert ended.returncode == 0, ended.stderr
