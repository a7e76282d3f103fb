"""Run trovanex, the CSV to pipe-delimited converter, from Python.

The wheel carries the program itself; this package only finds it and runs
it, so a conversion from Python is byte for byte the one the command line
makes. ``python -m trovanex ARGS`` runs the program with those arguments.

    >>> import trovanex
    >>> done = trovanex.convert("in.csv", "out.txt", line_breaks="space")
    >>> done.records, done.line_feeds_converted
    (5, 1)

The program's reports are read as it writes them and counted; only the
first 100 of each kind are held, so memory stays flat however many there
are. ``messages=PATH`` keeps every byte of them in a file.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path
from typing import IO, Callable, Literal, NamedTuple, Optional, Tuple, Union

from trovanex._streams import KINDS, Report, Tally

__all__ = ["Conversion", "ConversionError", "Report", "convert", "find_program", "__version__"]

# Written when the wheel is made, from the version of the program inside it.
__version__ = "0.0.0"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# What each line_breaks choice asks of the program: its -r and -R options.
_LINE_BREAK_OPTIONS = {"keep": [], "space": ["-r"], "remove": ["-R"]}

_NAME = "trovanex.exe" if os.name == "nt" else "trovanex"


def _source_version() -> str:
    # Run from the source tree the package has no version written into it:
    # the program's is the one its CMakeLists.txt gives.
    try:
        text = (Path(__file__).resolve().parent.parent.parent / "CMakeLists.txt").read_text()
    except OSError:
        return __version__
    found = re.search(r"^project\(trovanex VERSION (\S+)", text, re.M)
    return found.group(1) if found else __version__


if __version__ == "0.0.0":
    __version__ = _source_version()


class Conversion(NamedTuple):
    """A finished conversion.

    ``records`` is the number of records converted. The counts are of the
    program's reports: each line feed turned into a space (``-r``) or
    removed (``-R``), each '|' replaced by a space, and ``other`` for each
    line of any other message (a quoted field not closed, say).
    ``reports`` holds the first 100 reports of each kind, in the order
    written, each cut at 4096 bytes.
    """

    records: int
    line_feeds_converted: int
    line_feeds_removed: int
    pipes_replaced: int
    other: int
    reports: Tuple[Report, ...]


class ConversionError(Exception):
    """The program ended with a status other than 0.

    ``status`` is that status (1 for a failed conversion; a negative number
    is the signal that ended it). ``message`` is the failure's own lines:
    what the program printed that is no report. ``counts`` maps each kind
    of report to how many came, ``reports`` holds the last ones (up to 100
    of each kind), and ``stdout`` and ``stderr`` the last 64 KiB of each
    stream as bytes. The old output, if there was one, is as it was.
    """

    def __init__(self, status: int, message: str, counts: "dict[str, int]", reports: Tuple[Report, ...],
                 stdout: bytes, stderr: bytes) -> None:
        self.status = status
        self.message = message
        self.counts = counts
        self.reports = reports
        self.stdout = stdout
        self.stderr = stderr
        if not message and status < 0:
            message = f"ended by signal {-status}"
        super().__init__(f"trovanex ended with status {status}: {message or '(no message)'}")

    def __reduce__(self):  # a failure crosses process boundaries whole (multiprocessing, Dask)
        return (ConversionError, (self.status, self.message, self.counts, self.reports, self.stdout, self.stderr))


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
    messages: Union[PathLike, IO[bytes], None] = None,
    progress: Optional[Callable[[int], object]] = None,
    durable: bool = False,
    settings: bool = True,
) -> Conversion:
    """Converts the CSV file ``input`` into the pipe-delimited file ``output``.

    ``line_breaks`` says what becomes of line breaks inside quoted fields:
    kept (``"keep"``), turned into spaces (``"space"``, the program's -r) or
    removed (``"remove"``, -R). The output appears whole or not at all.

    ``messages`` (a path, or a file open for writing bytes) receives every
    byte of both of the program's streams, each in its own order.
    ``progress`` is called with the number of records done each time the
    program shows it (every 1,000 records), in this thread. ``durable``
    makes the output survive a power cut once the call returns
    (TROVANEX_SYNC=1); ``settings=False`` skips the settings-file lookup.

    Returns the record count and the reports' counts; raises
    ConversionError when the program fails, and ValueError for an unknown
    ``line_breaks``. If ``progress`` raises, or the call is interrupted,
    the program is stopped, the old output kept, and the exception goes on.
    """
    try:
        options = list(_LINE_BREAK_OPTIONS[line_breaks])
    except (KeyError, TypeError):
        raise ValueError(f"line_breaks must be 'keep', 'space' or 'remove', not {line_breaks!r}") from None
    if not settings:
        options.append("-.ini")
    command = [find_program(), _argument(input), _argument(output), *options]
    environment = None
    if durable:
        environment = dict(os.environ, TROVANEX_SYNC="1")

    if messages is None or hasattr(messages, "write"):
        return _run(command, environment, messages, progress)  # type: ignore[arg-type]
    with open(messages, "wb") as sink:  # type: ignore[arg-type]
        return _run(command, environment, sink, progress)


def _run(command: list, environment: Optional[dict], sink: Optional[IO[bytes]],
         progress: Optional[Callable[[int], object]]) -> Conversion:
    tally = Tally(sink, progress)
    program = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=environment)
    assert program.stdout is not None and program.stderr is not None
    failed: "list[BaseException]" = []

    def read_errors() -> None:
        try:
            tally.read("stderr", program.stderr.fileno())
        except BaseException as error:  # the messages file could not be written, say
            failed.append(error)
            program.terminate()
            while os.read(program.stderr.fileno(), 1 << 16):
                pass  # the program must never wait on a full pipe

    errors = threading.Thread(target=read_errors, daemon=True)
    errors.start()
    try:
        tally.read("stdout", program.stdout.fileno())  # here, so that progress is called in this thread
    except BaseException:
        program.terminate()  # the program gives the old output back as it ends
        raise
    finally:
        status = program.wait()
        errors.join()
        program.stdout.close()
        program.stderr.close()
    if failed:
        raise failed[0]
    if status != 0:
        raise ConversionError(status, tally.message(), dict(tally.counts), tally.last_reports(),
                              bytes(tally.tails["stdout"]), bytes(tally.tails["stderr"]))
    records = tally.summary()
    if records is None:  # status 0 always ends with the summary
        raise RuntimeError(f"{command[0]} ended with status 0 but printed no summary")
    return Conversion(records, *(tally.counts[kind] for kind in KINDS), tally.reports())


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
