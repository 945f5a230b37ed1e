"""talvo2: analysis results on disk, from Python.

Open and create results (``talvo2.open``, ``talvo2.create``), walk projects and experiments
(``talvo2.Project.open(path).results(newest_first=True)``), hold flags between processes
(``with result.flag("analysing", wait=30): ...``), copy, move and export with progress.
Failures raise talvo2.Error or one of its subclasses (NotFound, AlreadyExists,
FlagOwnedElsewhere, ...). Calls that touch the disk release the interpreter lock.
"""

from ._errors import (AccessDenied, AlreadyExists, Cancelled, Error, FileError, FileLocked,
                      FlagOwnedElsewhere, Holder, InsufficientPermissions, InvalidPath, NotFound,
                      OperationFailed, ParameterError, PatternError, RecordFormatError,
                      Unsupported)
from ._nodes import (Cpu, Experiment, Flag, FlagState, Node, Project, Properties, Result,
                     SystemInfo, create, diff, get, open, open_node, sysinfo)

__all__ = [
    "AccessDenied", "AlreadyExists", "Cancelled", "Cpu", "Error", "Experiment", "FileError",
    "FileLocked", "Flag", "FlagOwnedElsewhere", "FlagState", "Holder", "InsufficientPermissions",
    "InvalidPath", "Node", "NotFound", "OperationFailed", "ParameterError", "PatternError",
    "Project", "Properties", "RecordFormatError", "Result", "SystemInfo", "Unsupported",
    "create", "diff", "get", "open", "open_node", "sysinfo",
]
