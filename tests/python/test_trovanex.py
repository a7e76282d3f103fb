"""The Python face against the real program: the one on PATH under CTest,
the wheel's own in scripts/try-downloads. TROVANEX_EXPECTED_VERSION is the
version the program must print."""

import os
import shutil
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
                self.assertEqual(done.stderr, LINE_BREAK_REPORT)
                self.assertTrue(done.stdout.endswith(b"\n\n5 records processed\n"))

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


class Module(unittest.TestCase):
    def run_module(self, *arguments):
        return subprocess.run([sys.executable, "-m", "trovanex", *arguments], capture_output=True)

    def test_version_is_the_expected_one(self):
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
