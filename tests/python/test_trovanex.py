"""The Python face against the real program: the one on PATH under CTest,
the wheel's own in scripts/try-downloads. TROVANEX_EXPECTED_VERSION is the
version the program must print."""

import os
import pickle
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import trovanex

SAMPLES = Path(__file__).resolve().parent.parent.parent / "samples"
LINE_BREAK_REPORT = b"\nRecord    4 has embedded carriage return, converted to space"


class Convert(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.folder)

    def test_converts_with_an_option_in_awkward_names(self):
        # Spaces, non-ASCII, and a name the program would take for options.
        for name in ("people.csv", "å folder/ø in.csv", "-r.csv"):
            with self.subTest(name=name):
                source = self.folder / name
                source.parent.mkdir(exist_ok=True)
                source.write_bytes((SAMPLES / "people.csv").read_bytes())
                target = source.parent / ("-out.txt" if name.startswith("-") else "ü out.txt")
                cwd = os.getcwd()
                os.chdir(source.parent)
                try:
                    done = trovanex.convert(source.name, target.name, line_breaks="space")
                finally:
                    os.chdir(cwd)
                self.assertEqual(target.read_bytes(), (SAMPLES / "people-r.txt").read_bytes())
                self.assertEqual(done.records, 5)
                self.assertEqual((done.line_feeds_converted, done.pipes_replaced), (1, 1))
                self.assertIn(trovanex.Report("line_feeds_converted", 4, LINE_BREAK_REPORT), done.reports)

    def test_line_breaks_choices(self):
        source = self.folder / "in.csv"
        source.write_bytes(b'a,"x\r\ny"\r\n')
        for choice, line in (("keep", b"a|x\r\ny\r\n"), ("space", b"a|x  y\r\n"), ("remove", b"a|xy\r\n")):
            with self.subTest(choice=choice):
                trovanex.convert(source, self.folder / "out.txt", line_breaks=choice)
                self.assertEqual((self.folder / "out.txt").read_bytes(), line)
        # Never pasted into a command line: anything else is refused here.
        with self.assertRaises(ValueError):
            trovanex.convert(source, self.folder / "out.txt", line_breaks="-R")  # type: ignore[arg-type]

    def test_a_failure_carries_status_and_message_and_keeps_the_old_output(self):
        old = self.folder / "out.txt"
        old.write_bytes(b"old")
        with self.assertRaises(trovanex.ConversionError) as caught:
            trovanex.convert(self.folder / "missing.csv", old)
        self.assertEqual(caught.exception.status, 1)
        self.assertEqual(caught.exception.message,
                         f"Failed to open file {self.folder / 'missing.csv'}: No such file or directory")
        self.assertIn("status 1", str(caught.exception))
        self.assertEqual(old.read_bytes(), b"old")
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["out.txt"])
        # It crosses a process boundary whole, as a pool's or a cluster's result.
        again = pickle.loads(pickle.dumps(caught.exception))
        self.assertEqual((again.status, again.message, str(again)),
                         (1, caught.exception.message, str(caught.exception)))


class Reports(unittest.TestCase):
    """Many reports: counted as the program writes them, a bounded number
    held, every byte kept in the messages file when one is asked for."""

    RECORDS = 2500

    def setUp(self):
        self.folder = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.folder)
        # Every record has a '|' and a line break; some fields are long,
        # with no line end for 200 KiB, and one quotes a report's words.
        rows = []
        for i in range(self.RECORDS):
            field = b"y" * 200_000 if i % 1000 == 7 else b"Record 1 has embedded carriage return" if i == 3 else b"v"
            rows.append(b'%d,"x|%s\r\nz",w\r\n' % (i, field))
        self.source = self.folder / "in.csv"
        self.source.write_bytes(b"".join(rows))

    def streams(self, *options):
        ran = subprocess.run([trovanex.find_program(), str(self.source), str(self.folder / "cli.txt"), *options],
                             capture_output=True, stdin=subprocess.DEVNULL)
        return ran.stdout, ran.stderr

    def test_counts_first_reports_progress_and_messages_file(self):
        for choice, option, kind in (("space", "-r", "line_feeds_converted"), ("remove", "-R", "line_feeds_removed")):
            with self.subTest(choice=choice):
                out, err = self.streams(option)
                shown = []
                log = self.folder / "messages.log"
                done = trovanex.convert(self.source, self.folder / "out.txt", line_breaks=choice,
                                        messages=log, progress=shown.append)
                self.assertEqual(done.records, self.RECORDS)
                self.assertEqual(getattr(done, kind), err.count(b" has embedded carriage return"))
                self.assertEqual(done.pipes_replaced, out.count(b" has extra pipe in field no. "))
                self.assertEqual((done.line_feeds_converted + done.line_feeds_removed, done.other),
                                 (self.RECORDS, 0))
                self.assertEqual(shown, [1000, 2000])
                self.assertEqual((self.folder / "out.txt").read_bytes(), (self.folder / "cli.txt").read_bytes())
                held = [r for r in done.reports if r.kind == kind]
                self.assertEqual([r.record for r in held], list(range(1, 101)))
                self.assertEqual(held[0].text, err[:len(held[0].text)])
                pipes = [r for r in done.reports if r.kind == "pipes_replaced"]
                self.assertEqual(len(pipes), 100)
                self.assertEqual(len(pipes[7].text), 4096)  # the long field, cut
                self.assertTrue(out.startswith(pipes[0].text))
                # Every byte of both streams, each in its own order.
                kept = log.read_bytes()
                self.assertEqual(len(kept), len(out) + len(err))
                self.assertEqual(sorted(kept), sorted(out + err))

    def test_an_open_file_takes_the_messages(self):
        out, err = self.streams()
        with open(self.folder / "messages.log", "wb") as log:
            done = trovanex.convert(self.source, self.folder / "out.txt", messages=log)
        self.assertEqual(err, b"")
        self.assertEqual((self.folder / "messages.log").read_bytes(), out)
        self.assertEqual((done.line_feeds_converted, done.pipes_replaced), (0, self.RECORDS))

    def test_a_failing_callback_stops_the_program_and_keeps_the_old_output(self):
        old = self.folder / "out.txt"
        old.write_bytes(b"old")

        def stop(records):
            raise KeyboardInterrupt

        with self.assertRaises(KeyboardInterrupt):
            trovanex.convert(self.source, old, line_breaks="space", progress=stop, settings=False)
        self.assertEqual(old.read_bytes(), b"old")
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["in.csv", "out.txt"])

    @unittest.skipUnless(sys.platform.startswith("linux"), "finds its child in /proc")
    def test_a_run_ended_by_a_signal_has_a_short_message_and_the_last_reports(self):
        self.source.write_bytes(b"".join(b'%d,"x|v\r\nz",w\r\n' % i for i in range(100_000)))  # still running at 1,000

        def terminate(records):
            me = os.getpid()
            with open(f"/proc/{me}/task/{me}/children") as children:
                for child in children.read().split():
                    os.kill(int(child), signal.SIGTERM)

        with self.assertRaises(trovanex.ConversionError) as caught:
            trovanex.convert(self.source, self.folder / "out.txt", line_breaks="space", progress=terminate,
                             durable=True)
        failed = caught.exception
        self.assertEqual(failed.status, -signal.SIGTERM)
        self.assertEqual(failed.message, "")
        self.assertIn(f"ended by signal {signal.SIGTERM}", str(failed))
        # Standard output had come as far as the first progress line.
        self.assertGreaterEqual(failed.counts["pipes_replaced"], 1000)
        last = [r.record for r in failed.reports if r.kind == "pipes_replaced"]
        self.assertEqual(len(last), 100)
        self.assertEqual(last, sorted(last))
        self.assertLessEqual(len(failed.stdout), 64 * 1024)
        self.assertFalse((self.folder / "out.txt").exists())


class Module(unittest.TestCase):
    def run_module(self, *arguments):
        return subprocess.run([sys.executable, "-m", "trovanex", *arguments], capture_output=True)

    def test_version_is_the_expected_one(self):
        self.assertEqual(trovanex.__version__, os.environ["TROVANEX_EXPECTED_VERSION"])
        ran = self.run_module("--version")
        self.assertEqual(ran.returncode, 0)
        self.assertEqual(ran.stdout.splitlines()[0],
                         f"trovanex {os.environ['TROVANEX_EXPECTED_VERSION']}".encode())

    def test_status_and_streams_are_the_program_s(self):
        ran = self.run_module("in.csv", "out.txt", "-q")
        self.assertEqual(ran.returncode, 5)
        self.assertEqual(ran.stdout, b"\nIllegal option q\n")
        self.assertTrue(ran.stderr.startswith(b"Usage: programname"))


if __name__ == "__main__":
    unittest.main()
