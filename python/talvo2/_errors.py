"""The exceptions of talvo2: one class per kind of failure, all under talvo2.Error."""

from __future__ import annotations

import datetime
from dataclasses import dataclass
from typing import Dict, Optional, Tuple, Type


@dataclass(frozen=True)
class Holder:
    """Who holds a flag: the owner record its holder wrote."""

    user: str
    host: str
    pid: Optional[int]
    since: Optional[datetime.datetime]

    def __str__(self) -> str:
        # The names come from someone else's file: control characters would reach a terminal.
        who = f"{self.user}@{self.host}" if self.user else self.host
        who = "".join("?" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in who)
        if self.pid:
            who += f" (pid {self.pid})"
        if self.since:
            who += f" since {self.since:%Y-%m-%d %H:%M:%S %Z}"
        return who


def _holder(record: Optional[Tuple[str, str, int, int]]) -> Optional[Holder]:
    if record is None:
        return None
    user, host, pid, since = record
    try:
        when = datetime.datetime.fromtimestamp(since, datetime.timezone.utc) if since else None
    except (OverflowError, OSError, ValueError):
        when = None  # the record is someone else's file: a time beyond reason is no time
    return Holder(user, host, pid or None, when)


class Error(Exception):
    """A talvo2 operation failed.

    ``code`` is the library's error name (for example ``"NotFound"``), ``message`` says what was
    attempted and why it failed.
    """

    code = "OperationFailed"

    def __init__(self, message: str, code: Optional[str] = None) -> None:
        super().__init__(message)
        self.message = message
        if code is not None:
            self.code = code


class Unsupported(Error):
    """The node does not offer this operation."""

    code = "NotImplemented"


class InsufficientPermissions(Error, PermissionError):
    """Access was denied, or the file system is read-only."""

    code = "InsufficientPermissions"


class AlreadyExists(Error, FileExistsError):
    """The directory or file to be created is already there."""

    code = "AlreadyExists"


class NotFound(Error, FileNotFoundError):
    """No node, marker file, parent directory or match was found."""

    code = "NotFound"


class ParameterError(Error, ValueError):
    """Contradicting arguments, or a pattern that cannot be parsed."""

    code = "ParameterError"


class InvalidPath(Error, ValueError):
    """A path that is not usable."""

    code = "InvalidPath"


class PatternError(Error, ValueError):
    """A result-name pattern that cannot be used; ``code`` says how it is wrong."""


class AccessDenied(Error, PermissionError):
    """The system refused to open a lock file."""

    code = "AccessDenied"


class FileLocked(Error):
    """A lock file is held by someone else."""

    code = "FileLocked"


class FileError(Error, OSError):
    """Another file-system failure."""

    code = "FileError"


class RecordFormatError(Error):
    """A flag's owner record is missing or unreadable (its holder may have died)."""

    code = "RecordFormatError"


class FlagOwnedElsewhere(Error):
    """The flag is held by another process; ``holder`` says who, when its record is readable."""

    code = "FlagOwnedElsewhere"

    def __init__(self, message: str, code: Optional[str] = None,
                 holder: Optional[Holder] = None) -> None:
        super().__init__(message, code)
        self.holder = holder


class OperationFailed(Error):
    """A property bag could not be loaded or saved, or another failure."""

    code = "OperationFailed"


class Cancelled(Error):
    """A copy, move or export was stopped by its progress callback; nothing of it is left."""

    code = "Cancelled"


# The library's error codes, by number.
_NAMES: Dict[int, str] = {
    1: "NotImplemented", 2: "InsufficientPermissions", 3: "AlreadyExists", 4: "NotFound",
    5: "ParameterError", 6: "InvalidPath", 7: "TooManyPlaceholderGroups",
    8: "TooLongPlaceholder", 9: "ReservedCharacters", 10: "ReservedDeviceName",
    11: "InvalidLastCharacter", 12: "EmptyPattern", 13: "AccessDenied", 15: "FileLocked",
    16: "FileError", 17: "RecordFormatError", 18: "FlagOwnedElsewhere", 21: "OperationFailed",
}

_CLASSES: Dict[str, Type[Error]] = {
    cls.code: cls
    for cls in (Unsupported, InsufficientPermissions, AlreadyExists, NotFound, ParameterError,
                InvalidPath, AccessDenied, FileLocked, FileError, RecordFormatError,
                FlagOwnedElsewhere, OperationFailed)
}
for _pattern in ("TooManyPlaceholderGroups", "TooLongPlaceholder", "ReservedCharacters",
                 "ReservedDeviceName", "InvalidLastCharacter", "EmptyPattern"):
    _CLASSES[_pattern] = PatternError


def _from_core(code: int, message: str, holder: Optional[Tuple[str, str, int, int]]) -> Error:
    """The exception for a failure of the native module (called by it)."""
    name = _NAMES.get(code, "OperationFailed")
    cls = _CLASSES[name]
    if cls is FlagOwnedElsewhere:
        return FlagOwnedElsewhere(message, name, _holder(holder))
    return cls(message, name)
