"""Run trovanex, the CSV to pipe-delimited converter, from Python.

The wheel carries the program itself; this package only finds it and runs
it, so a conversion from Python is byte for byte the one the command line
makes. ``python -m trovanex ARGS`` runs the program with those arguments.

    >>> import trovanex
    >>> done = trovanex.convert("in.csv", "out.txt", line_breaks="space")
    >>> done.records
    5
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Literal, NamedTuple, Union

__all__ = ["Conversion", "ConversionError", "convert", "find_program", "__version__"]

# Written when the wheel is made, from the version of the program inside it.
__version__ = "0.0.0"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# What each line_breaks choice asks of the program: its -r and -R options.
_LINE_BREAK_OPTIONS = {"keep": [], "space": ["-r"], "remove": ["-R"]}

# The summary the program prints last on standard output after a success.
_SUMMARY = re.compile(rb"\n(\d+) records processed\n\Z")

_NAME = "trovanex.exe" if os.name == "nt" else "trovanex"


class Conversion(NamedTuple):
    """A finished conversion.

    ``records`` is the number of records converted. ``stdout`` and
    ``stderr`` are the program's messages exactly as it wrote them (the
    reports of each change made, with their record numbers, and the
    summary); they are bytes, since a report may quote a field's bytes.
    """

    records: int
    stdout: bytes
    stderr: bytes


class ConversionError(Exception):
    """The program ended with a status other than 0.

    ``status`` is that status (1 for a failed conversion; a negative number
    is the signal that ended it), ``message`` what it printed on standard
    error as text, and ``stdout`` and ``stderr`` both streams as bytes. The
    old output, if there was one, is as it was.
    """

    def __init__(self, status: int, stdout: bytes, stderr: bytes) -> None:
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.message = stderr.decode("utf-8", "replace").strip()
        super().__init__(f"trovanex ended with status {status}: {self.message or '(no message)'}")


def find_program() -> str:
    """The path of the program that came with this package.

    Looked for where pip puts a wheel's programs: the environment's scripts
    folder, the user's (``pip install --user``), and ``bin`` beside the
    package (``pip install --target``); then on PATH. Raises
    FileNotFoundError if it is in none of them.
    """
    folders = [sysconfig.get_path("scripts")]
    user_scheme = f"{os.name}_user"
    if user_scheme in sysconfig.get_scheme_names():
        folders.append(sysconfig.get_path("scripts", user_scheme))
    folders.append(str(Path(__file__).resolve().parent.parent / "bin"))
    for folder in folders:
        candidate = os.path.join(folder, _NAME)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which(_NAME)
    if found is None:
        raise FileNotFoundError("the trovanex program is not installed beside this package, nor on PATH")
    return found


def _argument(path: PathLike) -> Union[str, bytes]:
    # The program reads an argument that begins with '-' or '+' as options,
    # so such a relative path is passed as ./PATH: a name is never an option.
    name = os.fspath(path)
    if isinstance(name, bytes):
        return b"./" + name if name[:1] in (b"-", b"+") else name
    return "./" + name if name[:1] in ("-", "+") else name


def convert(
    input: PathLike,
    output: PathLike,
    *,
    line_breaks: Literal["keep", "space", "remove"] = "keep",
) -> Conversion:
    """Converts the CSV file ``input`` into the pipe-delimited file ``output``.

    ``line_breaks`` says what becomes of line breaks inside quoted fields:
    kept (``"keep"``), turned into spaces (``"space"``, the program's -r) or
    removed (``"remove"``, -R). The output appears whole or not at all.
    Returns the record count and the program's messages; raises
    ConversionError, with the status and the program's message, when the
    program fails, and ValueError for an unknown ``line_breaks``.
    """
    try:
        options = _LINE_BREAK_OPTIONS[line_breaks]
    except (KeyError, TypeError):
        raise ValueError(f"line_breaks must be 'keep', 'space' or 'remove', not {line_breaks!r}") from None
    command = [find_program(), _argument(input), _argument(output), *options]
    ran = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True)
    if ran.returncode != 0:
        raise ConversionError(ran.returncode, ran.stdout, ran.stderr)
    summary = _SUMMARY.search(ran.stdout)
    if summary is None:  # status 0 always ends with the summary
        raise RuntimeError(f"{command[0]} ended with status 0 but printed no summary")
    return Conversion(int(summary.group(1)), ran.stdout, ran.stderr)


def main(arguments: "list[str] | None" = None) -> int:
    """Runs the program with ``arguments`` (default: this process's own),
    on this process's streams, and returns its status."""
    command = [find_program(), *(sys.argv[1:] if arguments is None else arguments)]
    if os.name != "nt" and arguments is None:
        # The program takes this process's place: its streams, its status,
        # and a signal that ends it ends python -m too.
        sys.stdout.flush()
        os.execv(command[0], command)
    status = subprocess.run(command).returncode
    return 128 - status if status < 0 else status
