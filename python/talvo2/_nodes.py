"""Results, projects and experiments as Python objects over the native module."""

from __future__ import annotations

import datetime
import os
import time
from dataclasses import dataclass
from typing import (Any, Callable, Dict, Iterator, List, Mapping, MutableMapping, Optional,
                    Tuple, Union)

from . import _core
from ._errors import Cancelled, Error, FlagOwnedElsewhere, Holder, InvalidPath, NotFound, _holder

PathLike = Union[str, "os.PathLike[str]"]
Progress = Callable[[float, float, str], Optional[bool]]

_UTC = datetime.timezone.utc


def _path(path: PathLike) -> str:
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"a path is a str or an os.PathLike of str, not {type(text).__name__}")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise InvalidPath(f"{text!r}: not a path talvo2 can store (it is not valid UTF-8)") from None
    return text


def _time(seconds: int) -> Optional[datetime.datetime]:
    """A time read from a marker or record; None when unset or beyond what datetime holds (the
    file is someone else's)."""
    if seconds <= 0:
        return None
    try:
        return datetime.datetime.fromtimestamp(seconds, _UTC)
    except (OverflowError, OSError, ValueError):
        return None


def _seconds(when: Optional[datetime.datetime]) -> int:
    if when is None:
        return 0
    if when.tzinfo is None:
        raise ValueError("a naive datetime is ambiguous; give it a timezone")
    return int(when.timestamp())


@dataclass(frozen=True)
class Cpu:
    """The processor a result was collected on (or this machine's, in SystemInfo)."""

    brand: str
    family: int
    model: int
    stepping: int
    type: int
    frequency_hz: int
    logical_cpus: int
    cores: int
    packages: int


@dataclass(frozen=True)
class SystemInfo:
    """What new results record about this machine."""

    cpu: Cpu
    isa: Tuple[str, str, str]
    max_vector_bits: int
    mpi_rank: Optional[int]


class Properties(MutableMapping[str, Any]):
    """A node's property bag, or one section of it, as a mapping.

    Values are bool, int, float or str. A section is reached by its name too
    (``node.properties["talvo"]["hostname"]``); iteration lists the values only, since the bag
    does not list its sections. Changes are written by the node's ``save()``.
    """

    def __init__(self, storage: "_core.Storage") -> None:
        self._storage = storage

    def __getitem__(self, name: str) -> Any:
        try:
            return self._storage.get(name)
        except KeyError:
            section = self._storage.section(name, False)
            if section is None:
                raise
            return Properties(section)

    def __setitem__(self, name: str, value: Any) -> None:
        self._storage.set(name, value)

    def __delitem__(self, name: str) -> None:
        self._storage.remove(name)

    def __iter__(self) -> Iterator[str]:
        return iter(self._storage.names())

    def __len__(self) -> int:
        return len(self._storage.names())

    def section(self, name: str, create: bool = False) -> Optional["Properties"]:
        """The section ``name``; made when missing if ``create``, else None when missing."""
        section = self._storage.section(name, create)
        return None if section is None else Properties(section)

    def __repr__(self) -> str:
        return f"Properties({dict(self)!r})"


class Flag:
    """A flag on a node, held for a ``with`` block (see Node.flag)."""

    def __init__(self, node: "Node", name: str, wait: Optional[float], take_over: bool) -> None:
        self.node = node
        self.name = name
        self._wait = wait
        self._take_over = take_over
        self._held = False

    def acquire(self) -> "Flag":
        """Takes the flag, waiting up to ``wait`` seconds (None: not at all, a negative value:
        for as long as it takes); raises FlagOwnedElsewhere naming the holder when it stays
        held."""
        deadline = None if self._wait is None or self._wait < 0 else time.monotonic() + self._wait
        while True:
            try:
                self.node._core.take_flag(self.name, False, self._take_over)
                self._held = True
                return self
            except FlagOwnedElsewhere:
                if self._wait is None or (deadline is not None and time.monotonic() >= deadline):
                    raise
            time.sleep(0.1)

    def release(self) -> None:
        """Gives the flag back; nothing when it is not held."""
        if self._held:
            self._held = False
            self.node._core.release_flag(self.name, False)

    @property
    def held(self) -> bool:
        """Whether this object holds the flag now."""
        return self._held

    def __enter__(self) -> "Flag":
        return self.acquire()

    def __exit__(self, *exc: object) -> None:
        self.release()

    def __repr__(self) -> str:
        return f"Flag({self.name!r} on {self.node.path!r}, held={self._held})"


@dataclass(frozen=True)
class FlagState:
    """What is known about a flag: ``state`` is "free", "owned" (by this process), "held" (by
    another; see ``holder``), "leftover" (a holder that ended left its files) or "unknown" (a
    lock file without a readable owner record)."""

    name: str
    state: str
    holder: Optional[Holder]


class Node:
    """A node on disk: a result, a project or an experiment. Open one with talvo2.open,
    talvo2.Project.open, talvo2.Experiment.open or through a group's members."""

    def __init__(self, core: "_core.Node") -> None:
        self._core = core

    @staticmethod
    def _wrap(core: Optional["_core.Node"]) -> Optional["Node"]:
        if core is None:
            return None
        kind = {"result": Result, "project": Project, "experiment": Experiment}.get(core.kind, Node)
        return kind(core)

    @property
    def path(self) -> str:
        """The node's directory."""
        return self._core.path

    @property
    def name(self) -> str:
        """The name shown to users."""
        return self._core.name

    @name.setter
    def name(self, value: str) -> None:
        self._core.rename(value)

    @property
    def marker(self) -> str:
        """The marker file's path."""
        return self._core.marker

    @property
    def parent(self) -> Optional["Node"]:
        """The project or experiment this node belongs to, or None."""
        return Node._wrap(self._core.parent())

    @property
    def created(self) -> Optional[datetime.datetime]:
        """When the node was created (UTC), or None when unknown."""
        return _time(self._core.created())

    @property
    def size(self) -> int:
        """Bytes of the files below the node's directory."""
        return self._core.size()

    @property
    def files(self) -> int:
        """Number of files below the node's directory."""
        return self._core.files()

    @property
    def linked(self) -> bool:
        """Whether the node was reached through a link file."""
        return self._core.linked()

    @property
    def link_stale(self) -> bool:
        """Whether the node a link file names has changed since the link was made."""
        return self._core.link_stale()

    @property
    def properties(self) -> Properties:
        """The property bag (see Properties); ``save()`` writes changes."""
        return Properties(self._core.properties())

    def save(self) -> None:
        """Writes the marker (atomically). Raises Error on failure."""
        self._core.save()

    def remove(self) -> None:
        """Deletes the node from disk. Raises Error on failure."""
        self._core.remove()

    def flag(self, name: str, wait: Optional[float] = None, take_over: bool = False) -> Flag:
        """A flag to hold with ``with``: taken on entry (waiting up to ``wait`` seconds while
        another process holds it), given back on exit, exceptions included. ``take_over`` takes
        a flag whose holder died."""
        return Flag(self, name, wait, take_over)

    def flags(self) -> List[str]:
        """The names of the flags with files on this node."""
        return self._core.flag_names()

    def who(self, name: str) -> FlagState:
        """Who holds flag ``name``."""
        state, record = self._core.flag_status(name)
        return FlagState(name, state, _holder(record))

    def clear_flag(self, name: str, force: bool = False) -> None:
        """Deletes flag ``name``; ``force`` deletes one whose holder is gone. Raises
        FlagOwnedElsewhere while a live process holds it."""
        self._core.release_flag(name, force)

    def copy(self, destination: PathLike, rename_marker: bool = False,
             progress: Optional[Progress] = None) -> None:
        """Copies the node's directory to ``destination`` (which must not exist); this object
        then stands for the copy (open the original again to keep working on it).
        ``progress(done, total, item)`` is called as bytes are copied; returning False, or
        raising (Ctrl-C included), stops the copy and leaves nothing of it: False raises
        Cancelled. A stop asked at the very last step can come too late: the copy then
        completes (and an exception raised by the callback is raised all the same)."""
        if not self._core.copy(_path(destination), rename_marker, progress):
            raise Cancelled(f"copy to {_path(destination)}: cancelled")

    def move(self, destination: PathLike, rename_marker: bool = False,
             progress: Optional[Progress] = None) -> None:
        """Moves the node to ``destination``; the object then stands for it there. Within one
        file system a move is a rename, which no callback stops; across file systems it is a
        copy and a removal, stopped as copy is."""
        if not self._core.move(_path(destination), rename_marker, progress):
            raise Cancelled(f"move to {_path(destination)}: cancelled")

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Node) and other.path == self.path

    def __hash__(self) -> int:
        return hash(self.path)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.path!r})"

    def __fspath__(self) -> str:
        return self.path


class Result(Node):
    """A result directory: one collection's data and its metadata.

    Metadata properties (``host``, ``os``, ``cpu``, ``mpi_rank``, ``collection``,
    ``finalization``) are read from the marker; ``command``, ``collection`` and ``finalization``
    can be set, and ``save()`` writes them.
    """

    @property
    def finalized(self) -> bool:
        """Whether the result has been finalized; setting it writes the marker."""
        return self._core.finalized()

    @finalized.setter
    def finalized(self, value: bool) -> None:
        self._core.set_finalized(value)

    @property
    def valid(self) -> bool:
        """False for a result marked invalid before it was opened."""
        return self._core.valid()

    def invalidate(self) -> None:
        """Marks the result invalid: a ".bad" file in it, and its directory moved to its path
        followed by "-bad" (this object follows). ``valid`` answers for the state the result
        was opened in: results opened afterwards say False."""
        self._core.set_invalid()

    @property
    def host(self) -> str:
        """The host the result was created on."""
        return self._core.host()

    @property
    def os(self) -> str:
        """The operating system the result was created on."""
        return self._core.os()

    @property
    def cpu(self) -> Cpu:
        """The processor the result was created on."""
        return Cpu(*self._core.cpu())

    @property
    def mpi_rank(self) -> Optional[int]:
        """The MPI rank of the creating process, or None outside MPI."""
        rank = self._core.mpi_rank()
        return rank if rank >= 0 else None

    @property
    def command(self) -> Optional[str]:
        """The collector's command line, or None."""
        return self._core.command()

    @command.setter
    def command(self, value: str) -> None:
        self._core.set_command(value)

    def _times(self) -> Tuple[int, int, int, int]:
        return self._core.times()

    @property
    def collection(self) -> Tuple[Optional[datetime.datetime], Optional[datetime.datetime]]:
        """(begin, end) of the collection, UTC; None where unset."""
        begin, end, _, _ = self._times()
        return _time(begin), _time(end)

    @collection.setter
    def collection(self, span: Tuple[Optional[datetime.datetime],
                                     Optional[datetime.datetime]]) -> None:
        _, _, fb, fe = self._times()
        self._core.set_times(_seconds(span[0]), _seconds(span[1]), fb, fe)

    @property
    def finalization(self) -> Tuple[Optional[datetime.datetime], Optional[datetime.datetime]]:
        """(begin, end) of the finalization, UTC; None where unset."""
        _, _, begin, end = self._times()
        return _time(begin), _time(end)

    @finalization.setter
    def finalization(self, span: Tuple[Optional[datetime.datetime],
                                       Optional[datetime.datetime]]) -> None:
        b, e, _, _ = self._times()
        self._core.set_times(b, e, _seconds(span[0]), _seconds(span[1]))

    def export(self, destination: PathLike, excludes: Optional[str] = None,
               progress: Optional[Progress] = None) -> "Result":
        """Exports the result to ``destination`` (data directories matching ``excludes`` left
        out) and returns the exported result; ``progress`` as for copy."""
        exported = self._core.export(_path(destination), excludes, progress)
        if exported is None:
            raise Cancelled(f"export to {_path(destination)}: cancelled")
        return Result(exported)


class _Group(Node):
    """A project or an experiment: a node whose members are nodes."""

    def members(self, kind: Optional[type] = None) -> List[Node]:
        """The members, opened, in the group's order; only those of ``kind`` (Result, Project
        or Experiment) when given."""
        opened = [Node._wrap(self._core.open_member(p)) for p in self._core.member_paths()]
        return [n for n in opened if n is not None and (kind is None or isinstance(n, kind))]

    def member_paths(self) -> List[str]:
        """The members' paths, without opening them."""
        return self._core.member_paths()

    def results(self, newest_first: bool = False) -> List[Result]:
        """The member results, oldest first by creation time (newest first if asked)."""
        results = [r for r in self.members(Result) if isinstance(r, Result)]
        epoch = datetime.datetime.fromtimestamp(0, _UTC)
        results.sort(key=lambda r: (r.created or epoch, r.path), reverse=newest_first)
        return results

    def find(self, pattern: str, max: Optional[int] = None) -> List[Result]:
        """The results in this group's folder that the numbered name ``pattern`` (like
        "r@@@") matches, newest (highest number) first, at most ``max``."""
        if max is not None and max < 0:
            raise ValueError(f"max must be 0 or more, not {max}")
        count = 2 ** 31 if max is None else max
        paths = _core.newest_matches(os.path.join(self.path, _path(pattern)), count, "result")
        return [Result(_core.open_result(p, None, True)) for p in paths]

    def __iter__(self) -> Iterator[Node]:
        return iter(self.members())

    def __len__(self) -> int:
        return len(self._core.member_paths())


class Project(_Group):
    """A project: results and experiments under one folder."""

    @staticmethod
    def create(path: PathLike, base: Optional[PathLike] = None) -> "Project":
        """Creates a project at ``path`` (relative to ``base`` when given)."""
        return Project(_core.create_project(_path(path), None if base is None else _path(base)))

    @staticmethod
    def open(path: PathLike, base: Optional[PathLike] = None) -> "Project":
        """Opens the project at ``path``; raises NotFound when there is none."""
        return Project(_core.open_project(_path(path), None if base is None else _path(base)))


class Experiment(_Group):
    """An experiment: a named set of results, possibly linked from elsewhere."""

    @staticmethod
    def create(path: PathLike, base: Optional[PathLike] = None) -> "Experiment":
        """Creates an experiment at ``path`` (relative to ``base`` when given)."""
        return Experiment(
            _core.create_experiment(_path(path), None if base is None else _path(base)))

    @staticmethod
    def open(path: PathLike, base: Optional[PathLike] = None) -> "Experiment":
        """Opens the experiment at ``path``; raises NotFound when there is none."""
        return Experiment(
            _core.open_experiment(_path(path), None if base is None else _path(base)))


def create(path: PathLike, variables: Optional[Mapping[str, Any]] = None,
           base: Optional[PathLike] = None, overwrite: bool = False,
           literal: bool = False) -> Result:
    """Creates a result directory. ``path`` may be a pattern ("r@@@" takes the next number,
    "{hostname}" and other variables are filled from ``variables``); ``overwrite`` replaces an
    existing result; ``literal`` takes "@" and braces as ordinary characters."""
    return Result(_core.create_result(_path(path), None if variables is None else dict(variables),
                                      None if base is None else _path(base), overwrite, literal))


def open(path: PathLike, base: Optional[PathLike] = None, literal: bool = False) -> Result:
    """Opens a result. A path that exists is taken as it is; a pattern opens its newest match
    (highest number, then latest). Raises NotFound when there is none."""
    return Result(_core.open_result(_path(path), None if base is None else _path(base), literal))


def get(path: PathLike, variables: Optional[Mapping[str, Any]] = None,
        literal: bool = False) -> Result:
    """Opens the result at ``path``, creating it when it is not there."""
    return Result(_core.get_result(_path(path), None if variables is None else dict(variables),
                                   literal))


def open_node(path: PathLike) -> Node:
    """Opens whatever node is at ``path``: a Project, an Experiment or a Result."""
    node = Node._wrap(_core.open_any(_path(path)))
    if node is None:
        raise NotFound(f"{_path(path)}: no node")
    return node


def diff(first: PathLike, second: Optional[PathLike] = None) -> Tuple[Result, Result]:
    """The two results to compare: the two newest matches of the pattern ``first`` (newest
    first), or ``first`` and ``second``. Raises NotFound when fewer than two match."""
    a, b = _core.diff(_path(first), None if second is None else _path(second))
    return Result(a), Result(b)


def sysinfo() -> SystemInfo:
    """What new results record about this machine."""
    facts: Dict[str, Any] = _core.system_info()
    cpu = Cpu(facts["brand"], facts["family"], facts["model"], facts["stepping"], facts["type"],
              facts["frequency_hz"], facts["logical_cpus"], facts["cores"], facts["packages"])
    rank = facts["mpi_rank"]
    return SystemInfo(cpu, tuple(facts["isa"]), facts["max_vector_bits"],
                      rank if rank >= 0 else None)


__all__ = ["Cpu", "SystemInfo", "Properties", "Flag", "FlagState", "Node", "Result", "Project",
           "Experiment", "create", "open", "get", "open_node", "diff", "sysinfo", "Error"]
