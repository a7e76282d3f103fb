"""The Dask recipe (recipes/dask/convert_many.py) on a real cluster of
separate worker processes: many files convert exactly, a failing one comes
back as its ConversionError, and a worker killed mid-conversion leaves no
partial output and its file is converted again elsewhere."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "recipes" / "dask"))

import trovanex  # noqa: E402
from convert_many import convert_many  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402


def conversions_of(name):
    """The pids of running conversions of a file of this name, with the
    pid of the process that started each."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            command = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
            parent = int(Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()[1])
        except OSError:
            continue
        if os.path.basename(command[0]) == b"trovanex" and len(command) > 1 and command[1].endswith(name.encode()):
            found.append((int(entry), parent))
    return found


class DaskRecipe(unittest.TestCase):
    FILES = 20

    def setUp(self):
        self.folder = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.folder, True)
        # The workers' current folder, where each conversion's TEMPCSV goes.
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.folder)
        self.cluster = LocalCluster(n_workers=3, threads_per_worker=1, processes=True,
                                    dashboard_address=None, silence_logs=50)
        self.addCleanup(self.cluster.close)
        self.client = Client(self.cluster)
        self.addCleanup(self.client.close)

    def expected(self, source):
        # The command line's own conversion is the reference.
        reference = self.folder / "reference.txt"
        subprocess.run([trovanex.find_program(), source, reference, "-r"], check=True, capture_output=True)
        return reference.read_bytes()

    def test_many_files_one_failure_one_killed_worker(self):
        pairs = []
        for i in range(self.FILES):
            source = self.folder / f"f{i:02}.csv"
            source.write_bytes(b"".join(b'%d,"a|b\r\nc",%d\r\n' % (r, i) for r in range(1000 * (i + 1))))
            pairs.append((str(source), str(self.folder / f"f{i:02}.txt")))
        # A corrupt export: a gzip stream cut short.
        broken = self.folder / "broken.csv.gz"
        whole = subprocess.run(["gzip", "-c"], input=b"a,b\r\n" * 100000, capture_output=True, check=True).stdout
        broken.write_bytes(whole[:len(whole) // 2])
        pairs.append((str(broken), str(self.folder / "broken.txt")))
        # Long enough to be caught while it runs; its old output must survive the kill.
        big = self.folder / "big.csv"
        big.write_bytes(b"".join(b'%d,"x|y\r\nz",w\r\n' % r for r in range(500_000)))
        big_output = self.folder / "big.txt"
        big_output.write_bytes(b"old")
        pairs.insert(0, (str(big), str(big_output)))

        outcome = {}

        def run():
            outcome.update(convert_many(self.client, pairs, "space"))

        runner = threading.Thread(target=run)
        runner.start()
        deadline = time.monotonic() + 60
        while not conversions_of("big.csv"):
            self.assertLess(time.monotonic(), deadline, "the big file's conversion never started")
            time.sleep(0.005)
        program, worker = conversions_of("big.csv")[0]
        # Stopped first, the worker no longer reads the program's reports, so
        # the program waits on a full pipe: it is caught mid-conversion.
        os.kill(worker, signal.SIGSTOP)
        time.sleep(0.5)
        self.assertIn(program, [p for p, _ in conversions_of("big.csv")], "the conversion ended before the kill")
        os.kill(worker, signal.SIGKILL)
        after_kill = big_output.read_bytes() if big_output.exists() else None
        runner.join(300)
        self.assertFalse(runner.is_alive())

        expected_big = self.expected(big)
        # The old output, none, or whole: never part of one.
        self.assertIn(after_kill, (b"old", None, expected_big))
        for source, output in pairs:
            result = outcome[source]
            if source == str(broken):
                self.assertIsInstance(result, trovanex.ConversionError)
                self.assertEqual(result.status, 1)
                self.assertTrue(result.message.startswith(f"Failed to read file {broken}: "), result.message)
                self.assertFalse(Path(output).exists())
                continue
            self.assertIsInstance(result, trovanex.Conversion, source)
            self.assertEqual(Path(output).read_bytes(), expected_big if source == str(big) else self.expected(source))
            self.assertEqual(result.line_feeds_converted, result.records)

        # The killed worker's own conversion (a separate process) runs to its
        # end; once it has, nothing of it is left behind.
        deadline = time.monotonic() + 60
        while conversions_of("big.csv") and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(big_output.read_bytes(), expected_big)
        self.assertEqual(sorted(p.name for p in self.folder.iterdir() if p.name.startswith("TEMPCSV")), [])


if __name__ == "__main__":
    unittest.main()
