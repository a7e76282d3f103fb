"""Reading the program's two streams as it writes them, in bounded memory.

A run that changes many fields writes a report for each change: hundreds
of megabytes for a large export. They are counted by kind as they pass;
only the first KEEP of each kind, the last TAIL bytes of each stream and
the text that is not a report are held.
"""

from __future__ import annotations

import os
import re
import threading
from collections import deque
from typing import IO, Callable, Deque, Dict, List, NamedTuple, Optional

# Reports of each kind held on the result; the rest are only counted.
KEEP = 100
# Bytes of one report held: a report quotes its field, which may be long.
REPORT_BYTES = 4096
# The last bytes of each stream held, for the reports a failure ends with.
TAIL = 64 * 1024
# Text that is not a report, held for the failure's message.
OTHER_BYTES = 64 * 1024
READ_SIZE = 1 << 16  # a pipe's size: a larger read only costs its allocation
# Longer than any report's heading or progress line: what is held back
# when a stretch of a field has no line end to cut at.
LONGEST_HEADING = 160

KINDS = ("line_feeds_converted", "line_feeds_removed", "pipes_replaced", "other")

# Standard error: a report for each line feed changed, and nothing else but
# the failures and warnings.
_CONVERTED = b" has embedded carriage return, converted to space"
_REMOVED = b" has embedded carriage return, removed"
_LINE_FEED = re.compile(rb"\nRecord +(\d+) has embedded carriage return, (converted to space|removed)")
_DIGITS_AND_BLANKS = b"0123456789 "
_CONVERTED_LETTERS = len((b"\nRecord" + _CONVERTED).translate(None, _DIGITS_AND_BLANKS))
_REMOVED_LETTERS = len((b"\nRecord" + _REMOVED).translate(None, _DIGITS_AND_BLANKS))

# Standard output: a report for each '|' replaced, the field quoted after
# it; a progress line each 1,000 records; the summary last.
_PIPE_MIDDLE = b" has extra pipe in field no. "
_PIPE = re.compile(rb"\nRecord +(\d+) has extra pipe in field no\. \d+, pipe changed to space:  ")
_PROGRESS = re.compile(rb"\r +(\d+) records")
_SUMMARY = re.compile(rb"\n(\d+) records processed(?=\n)")
_SUMMARY_AT_END = re.compile(rb"\n(\d+) records processed\n\Z")
_OUTPUT_UNIT = re.compile(_PIPE.pattern + b"|" + _PROGRESS.pattern + b"|" + _SUMMARY.pattern)


class Report(NamedTuple):
    """One report: its kind (one of ``KINDS``), the record it names (None
    for a message about no record), and its text as the program wrote it,
    cut at 4096 bytes."""

    kind: str
    record: Optional[int]
    text: bytes


class Tally:
    """What both streams held: counts by kind, the first reports of each
    kind, each stream's last bytes, and the text that is no report.

    Each stream's reader writes only its own stream's fields. ``counts``
    and ``first`` are shared: each report kind comes from one stream only,
    and "other", which both give, is written under ``other_lock``. Read
    when both readers are done."""

    def __init__(self, sink: Optional[IO[bytes]], progress: Optional[Callable[[int], object]]) -> None:
        self.counts: Dict[str, int] = dict.fromkeys(KINDS, 0)
        self.first: Dict[str, List[Report]] = {kind: [] for kind in KINDS}
        self.tails = {"stdout": bytearray(), "stderr": bytearray()}
        self.other = {"stdout": bytearray(), "stderr": bytearray()}
        self.sink = sink
        self.sink_lock = threading.Lock()
        self.other_lock = threading.Lock()
        self.progress = progress
        self.records_done = 0
        self.begun = False  # standard output has shown a report, a progress line or the summary
        self.open_report: Optional[List[bytes]] = None  # standard output's report whose field goes on

    # -- both streams -----------------------------------------------------

    def read(self, name: str, fd: int) -> None:
        """Reads the stream to its end, a block at a time, each cut after
        its last line end so that no report is split between two."""
        carry = b""
        while True:
            data = os.read(fd, READ_SIZE)
            if not data:
                break
            block = carry + data
            cut = block.rfind(b"\n")
            if cut <= 0:
                if len(block) < READ_SIZE:
                    carry = block
                    continue
                cut = len(block) - LONGEST_HEADING  # a long field without a line end
            self._take(name, block[:cut])
            carry = block[cut:]
        if carry:
            self._take(name, carry, last=True)

    def _take(self, name: str, block: bytes, last: bool = False) -> None:
        if self.sink is not None:
            with self.sink_lock:
                self.sink.write(block)
        tail = self.tails[name]
        tail += block[-TAIL:]
        del tail[:-TAIL]
        if last and name == "stderr" and block.startswith(b"\nRecord ") and b"\n" not in block[1:]:
            # A report cut short: the program was stopped while writing it.
            if not _LINE_FEED.fullmatch(block):
                return
        if name == "stderr":
            self._take_errors(block)
        else:
            self._take_output(block)

    def _keep(self, kind: str, record: Optional[int], text: bytes) -> Optional[List[bytes]]:
        self.counts[kind] += 1
        if len(self.first[kind]) >= KEEP:
            return None
        self.first[kind].append(Report(kind, record, bytes(text[:REPORT_BYTES])))
        return [bytes(text[:REPORT_BYTES])]

    def _other_text(self, name: str, text: bytes) -> None:
        with self.other_lock:
            for line in text.split(b"\n"):
                if line.strip():
                    self._keep("other", None, line)
        held = self.other[name]
        held += text[-OTHER_BYTES:]
        del held[:-OTHER_BYTES]

    # -- standard error ---------------------------------------------------

    def _take_errors(self, block: bytes) -> None:
        converted = block.count(_CONVERTED)
        removed = block.count(_REMOVED)
        only_reports = (block.count(b"\nRecord ") == converted + removed
                        and len(block.translate(None, _DIGITS_AND_BLANKS))
                        == converted * _CONVERTED_LETTERS + removed * _REMOVED_LETTERS)
        if (only_reports and (converted == 0 or len(self.first["line_feeds_converted"]) >= KEEP)
                and (removed == 0 or len(self.first["line_feeds_removed"]) >= KEEP)):
            # The common case of a long run: counted, not parsed.
            self.counts["line_feeds_converted"] += converted
            self.counts["line_feeds_removed"] += removed
            return
        at = 0
        for found in _LINE_FEED.finditer(block):
            if found.start() > at:
                self._other_text("stderr", block[at:found.start()])
            kind = "line_feeds_converted" if found.group(2) == b"converted to space" else "line_feeds_removed"
            self._keep(kind, int(found.group(1)), found.group(0))
            at = found.end()
        if at < len(block):
            self._other_text("stderr", block[at:])

    # -- standard output --------------------------------------------------

    def _take_output(self, block: bytes) -> None:
        progress_at = block.rfind(b"\r")
        if progress_at >= 0:
            shown = _PROGRESS.match(block, progress_at)
            if shown:
                self._progress(int(shown.group(1)))
        if self.begun and len(self.first["pipes_replaced"]) >= KEEP:
            # Past the first reports: counted, not parsed. A field that
            # itself holds a report's heading is counted as a report.
            self.counts["pipes_replaced"] += block.count(_PIPE_MIDDLE)
            return
        at = 0
        for found in _OUTPUT_UNIT.finditer(block):
            self._field_goes_on(block[at:found.start()])
            self.open_report = None
            text = found.group(0)
            if text.startswith(b"\nRecord"):
                self.open_report = self._keep("pipes_replaced", int(found.group(1)), text)
                if self.open_report is None:
                    self.open_report = []  # counted, not held: its field is no other text
            self.begun = True
            at = found.end()
        self._field_goes_on(block[at:])

    def _field_goes_on(self, text: bytes) -> None:
        if not text:
            return
        if self.open_report is not None:
            report = self.open_report
            if report and len(report[0]) < REPORT_BYTES:
                report[0] += text[:REPORT_BYTES - len(report[0])]
                kept = self.first["pipes_replaced"][-1]
                self.first["pipes_replaced"][-1] = kept._replace(text=report[0])
        elif not self.begun:
            self._other_text("stdout", text)  # before the conversion: usage, option and settings messages

    def _progress(self, records: int) -> None:
        self.records_done = max(self.records_done, records)
        if self.progress is not None:
            self.progress(records)

    # -- after the run ----------------------------------------------------

    def reports(self) -> "tuple[Report, ...]":
        return tuple(report for kind in KINDS for report in self.first[kind])

    def last_reports(self) -> "tuple[Report, ...]":
        """The reports in each stream's last bytes, up to KEEP of each kind."""
        last: Dict[str, Deque[Report]] = {kind: deque(maxlen=KEEP) for kind in KINDS}
        for found in _LINE_FEED.finditer(self.tails["stderr"]):
            kind = "line_feeds_converted" if found.group(2) == b"converted to space" else "line_feeds_removed"
            last[kind].append(Report(kind, int(found.group(1)), found.group(0)))
        for found in _PIPE.finditer(self.tails["stdout"]):
            last["pipes_replaced"].append(Report("pipes_replaced", int(found.group(1)), found.group(0)))
        return tuple(report for kind in KINDS for report in last[kind])

    def message(self) -> str:
        """The failure's own lines: each stream's text that is no report."""
        parts = (bytes(self.other[name]).strip() for name in ("stdout", "stderr"))
        return "\n".join(part.decode("utf-8", "replace") for part in parts if part)

    def summary(self) -> Optional[int]:
        """The record count of the summary that ends a finished run's output."""
        found = _SUMMARY_AT_END.search(bytes(self.tails["stdout"][-256:]))
        return int(found.group(1)) if found else None
