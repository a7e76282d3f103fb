#!/usr/bin/env python3
"""Converts many CSV files on a Dask cluster, one task per file.

    python3 convert_many.py [--scheduler ADDRESS] [--line-breaks keep|space|remove] FILE.csv...

Each FILE.csv becomes FILE.txt beside it. Without --scheduler, a cluster
of this machine's cores is started for the run. Every worker needs the
trovanex package (and so the program) and the files at the same paths: a
shared file system, as on any cluster.

A file that fails is named with the program's status and message, and the
others go on; the exit status is 1 if any failed. A worker that dies is
replaced, and Dask runs its conversions again elsewhere: the output a
killed conversion was writing is the old one or none until a conversion
finishes, since the program replaces it whole or not at all.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from typing import Dict, Iterable, List, Tuple, Union

import trovanex
from dask.distributed import Client, LocalCluster, as_completed

Outcome = Union[trovanex.Conversion, trovanex.ConversionError]


def convert_many(client: Client, pairs: Iterable[Tuple[str, str]], line_breaks: str = "keep") -> Dict[str, Outcome]:
    """Each (input, output) pair converted by one task; returns each
    input's Conversion, or its ConversionError."""
    pairs = list(pairs)
    # pure=False: converting is a side effect, never to be taken from a cache.
    futures = client.map(trovanex.convert, [i for i, _ in pairs], [o for _, o in pairs],
                         line_breaks=line_breaks, pure=False)
    inputs = {future.key: source for future, (source, _) in zip(futures, pairs)}
    outcomes: Dict[str, Outcome] = {}
    for future in as_completed(futures):
        error = future.exception()
        if error is not None and not isinstance(error, trovanex.ConversionError):
            raise error  # not the program's failure: the cluster's, or a missing program
        outcomes[inputs[future.key]] = error if error is not None else future.result()
    return outcomes


def main(arguments: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", help="a running scheduler's address (default: a cluster on this machine)")
    parser.add_argument("--line-breaks", default="keep", choices=["keep", "space", "remove"])
    parser.add_argument("files", nargs="+")
    options = parser.parse_args(arguments)
    pairs = [(os.path.abspath(f), os.path.abspath(os.path.splitext(f)[0] + ".txt")) for f in options.files]

    # The workers' own log of a failed task is left out: each failure is printed below.
    cluster = None if options.scheduler else LocalCluster(threads_per_worker=1, silence_logs=logging.ERROR)
    with Client(options.scheduler or cluster) as client:
        outcomes = convert_many(client, pairs, options.line_breaks)
    if cluster is not None:
        cluster.close()
    failed = 0
    for source, _ in pairs:
        outcome = outcomes[source]
        if isinstance(outcome, trovanex.ConversionError):
            failed += 1
            print(f"{source}: status {outcome.status}: {outcome.message}")
        else:
            print(f"{source}: {outcome.records} records")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
