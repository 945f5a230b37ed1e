"""What the Python package adds to the library: idiom, types, exceptions, flags, progress."""

import contextlib
import datetime
import multiprocessing
import os
import subprocess
import sys
import threading

import pytest
import talvo2
from conftest import fill

UTC = datetime.timezone.utc


def test_results_round_trip_metadata_and_properties(tmp):
    project = talvo2.Project.create("résultats")
    first = talvo2.create("r@@@", base=project.path, variables={"note": "first"})
    second = talvo2.create("résultats/r@@@")
    assert (first.name, second.name) == ("r000", "r001")
    assert talvo2.open("résultats/r@@@") == second  # a pattern opens its newest
    made = talvo2.get("résultats/結果")
    assert talvo2.get("résultats/結果") == made and made.name == "結果"  # get opens what is there

    assert isinstance(first, talvo2.Result) and first.parent == project
    assert first.created.tzinfo is not None
    assert abs(first.created - datetime.datetime.now(UTC)) < datetime.timedelta(minutes=5)
    assert first.host and first.os == "linux" and first.mpi_rank is None
    assert isinstance(first.cpu, talvo2.Cpu) and first.cpu.logical_cpus >= 1
    assert first.properties["talvo"]["hostname"] == first.host
    assert (first.finalized, first.valid, first.command) == (False, True, None)
    assert first.collection == (None, None)

    begin = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=UTC)
    end = begin + datetime.timedelta(hours=1)
    first.command = "collect -x ./app"
    first.collection = (begin, end)
    first.finalization = (end, None)
    first.properties["mine"] = 42
    first.properties.section("extra", create=True)["ratio"] = 0.5
    first.save()
    first.finalized = True
    path = first.path
    del first
    again = talvo2.open(path)
    assert again.command == "collect -x ./app"
    assert again.collection == (begin, end) and again.finalization == (end, None)
    assert again.properties["mine"] == 42 and again.properties["extra"]["ratio"] == 0.5
    again.invalidate()  # moved aside; results opened afterwards say so
    assert again.path == path + "-bad" and again.finalized
    del again
    assert not talvo2.open(path + "-bad").valid
    with pytest.raises(ValueError):
        second.collection = (datetime.datetime(2026, 1, 1), None)  # naive: ambiguous
    with pytest.raises(KeyError):
        second.properties["no such key"]


@pytest.mark.parametrize("attempt, error, code", [
    (lambda: talvo2.open("missing"), talvo2.NotFound, "NotFound"),
    (lambda: talvo2.Project.open("r000"), talvo2.NotFound, "NotFound"),
    (lambda: talvo2.create("r000"), talvo2.AlreadyExists, "AlreadyExists"),
    (lambda: talvo2.create("a@@@b@@"), talvo2.PatternError, "TooManyPlaceholderGroups"),
    (lambda: talvo2.create("r@@@@@@@@@"), talvo2.PatternError, "TooLongPlaceholder"),
    (lambda: talvo2.open("r000").copy("r000"), talvo2.AlreadyExists, "AlreadyExists"),
    (lambda: talvo2.diff("r@@@"), talvo2.NotFound, "NotFound"),
    (lambda: talvo2.open("r000").clear_flag("none"), talvo2.NotFound, "NotFound"),
])
def test_each_failure_raises_its_exception(tmp, attempt, error, code):
    talvo2.create("r000")
    with pytest.raises(error) as raised:
        attempt()
    assert isinstance(raised.value, talvo2.Error) and raised.value.code == code
    assert raised.value.message  # says what was attempted and why


def test_builtin_exception_kinds_catch_them_too(tmp):
    with pytest.raises(FileNotFoundError):
        talvo2.open("missing")
    talvo2.create("r000")
    with pytest.raises(FileExistsError):
        talvo2.create("r000")


def test_groups_iterate_choose_by_number_and_compare(tmp):
    project = talvo2.Project.create("p")
    for _ in range(12):
        talvo2.create("p/r@@@")
    talvo2.Experiment.create("p/baseline")
    assert len(project) == 13
    assert len(project.members(kind=talvo2.Result)) == 12
    assert [type(m) for m in project.members(kind=talvo2.Experiment)] == [talvo2.Experiment]
    newest = [r.name for r in project.results(newest_first=True)]
    assert newest[0] == "r011" and sorted(newest) == newest[::-1]
    assert [r.name for r in project.find("r@@@", max=2)] == ["r011", "r010"]
    assert sum(1 for _ in project) == 13
    a, b = talvo2.diff("p/r@@@")
    assert (a.name, b.name) == ("r011", "r010")
    assert isinstance(talvo2.open_node("p/baseline"), talvo2.Experiment)
    assert talvo2.Experiment.open("baseline", base="p").path == os.path.abspath("p/baseline")


def _hold(path, held, done):
    with talvo2.open(path).flag("analysing"):
        held.set()
        done.wait(30)


@contextlib.contextmanager
def held_elsewhere(result):
    """Another process holding the flag "analysing" on `result` for the block."""
    context = multiprocessing.get_context("spawn")
    held, done = context.Event(), context.Event()
    other = context.Process(target=_hold, args=(result.path, held, done))
    other.start()
    try:
        assert held.wait(30)
        yield other, done
    finally:
        done.set()
        other.join(30)


def test_a_flag_held_by_another_process_names_its_holder(tmp):
    result = talvo2.create("r000")
    with held_elsewhere(result) as (other, done):
        state = result.who("analysing")
        assert state.state == "held" and state.holder.pid == other.pid
        assert result.flags() == ["analysing"]
        with pytest.raises(talvo2.FlagOwnedElsewhere) as raised:
            with result.flag("analysing"):
                pass
        assert raised.value.holder.pid == other.pid and raised.value.holder.since.tzinfo
        done.set()
        with result.flag("analysing", wait=30) as flag:  # taken once the other lets go
            assert flag.held and result.who("analysing").state == "owned"
    assert result.who("analysing").state == "free"


def test_a_flag_is_released_when_its_block_raises(tmp):
    result = talvo2.create("r000")
    with pytest.raises(RuntimeError):
        with result.flag("busy"):
            raise RuntimeError("analysis failed")
    assert result.who("busy").state == "free" and result.flags() == []


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

    halfway = lambda done, total, item: done < total / 2  # noqa: E731
    for stop, raised in [(halfway, talvo2.Cancelled), (interrupt, KeyboardInterrupt)]:
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


def test_sysinfo_describes_this_machine():
    info = talvo2.sysinfo()
    assert info.cpu.logical_cpus == os.cpu_count() and info.mpi_rank is None
    assert len(info.isa) == 3 and info.max_vector_bits >= 0


def test_threads_sharing_a_node_take_turns(tmp):
    path = talvo2.create("r000").path
    failures = []

    def work(index):
        try:
            for i in range(200):
                node = talvo2.open(path)  # the same node for every thread
                node.properties[f"t{index}"] = i
                if i % 20 == 0:
                    node.save()
                del node.properties[f"t{index}"]
        except Exception as error:  # pragma: no cover - reported below
            failures.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


@pytest.mark.parametrize("attempt, error", [
    (lambda: talvo2.create("bad\0name"), talvo2.InvalidPath),
    (lambda: talvo2.open("r000\0junk"), talvo2.InvalidPath),
    (lambda: talvo2.open("r000").flag("a\0b").acquire(), talvo2.InvalidPath),
    (lambda: talvo2.open("r000").copy("c\0d"), talvo2.InvalidPath),
    (lambda: talvo2.create("\udcff"), talvo2.InvalidPath),
    (lambda: talvo2.create("r@@@", variables={"big": 2 ** 64}), talvo2.ParameterError),
    (lambda: talvo2.get("p"), talvo2.AlreadyExists),  # a project is no result
    (lambda: talvo2.Project.open("p").find("r@@@", max=-1), ValueError),
])
def test_bad_input_is_refused_and_changes_nothing(tmp, attempt, error):
    talvo2.create("r000")
    talvo2.Project.create("p")
    before = sorted(os.listdir("."))
    with pytest.raises(error):
        attempt()
    assert sorted(os.listdir(".")) == before and not os.path.exists("p/p.talvo")


def test_values_and_choices_hold_at_the_edges(tmp):
    result = talvo2.create("p/r@@@")
    result.properties["huge"] = 2 ** 64 - 1  # beyond int64: stored unsigned
    result.save()
    path = result.path
    del result
    assert talvo2.open(path).properties["huge"] == 2 ** 64 - 1
    assert talvo2.open(path).properties["talvo"]["hostname"]  # a temporary node's bag lives on
    talvo2.create("p/r@@@")
    talvo2.Experiment.create("p/r009")  # named like a result, but none
    assert talvo2.open("p/r@@@").name == "r001"
    assert [r.name for r in talvo2.diff("p/r@@@")] == ["r001", "r000"]


def test_a_flag_this_process_holds_is_not_taken_twice(tmp):
    result = talvo2.create("r000")
    with result.flag("busy"):
        with pytest.raises(talvo2.AlreadyExists):
            result.flag("busy", wait=5).acquire()
    assert result.who("busy").state == "free"


def test_an_owner_record_is_data_not_orders(tmp):
    result = talvo2.create("r000")
    with held_elsewhere(result):
        record = next(n for n in os.listdir(result.path) if n.startswith("analysing.info"))
        with open(os.path.join(result.path, record), "w") as forged:
            forged.write('<?xml version="1.0"?><variant_bag version="1">'
                         '<!-- <value key="pid" type="uint32" data="1" /> -->'
                         '<value key="user" type="string" data="\x1b[31mx" />'
                         '<value key="timestamp" type="uint64" data="99999999999999999" />'
                         '</variant_bag>')
        with open(os.path.join(result.path, record + "0"), "w") as planted:
            planted.write('<variant_bag><value key="pid" data="1" /></variant_bag>')
        state = result.who("analysing")
        assert state.state == "held" and state.holder.pid is None  # not the comment's, not 1
        assert state.holder.since is None and "\x1b" not in str(state.holder)


def test_a_progress_callback_may_not_reach_into_the_node_it_moves(tmp):
    fill(talvo2.create("r000").path)

    def reach(done, total, item):
        talvo2.open("r000").flag("f").acquire()

    with pytest.raises(talvo2.FileLocked):
        talvo2.open("r000").copy("target", progress=reach)
    assert sorted(os.listdir(".")) == ["r000"]


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
