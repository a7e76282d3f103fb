"""Loads trovanex's output into each tested database with the recipe in
doc/loaders/, reads every row back and compares every field, byte for
byte, with the field trovanex wrote. See scripts/test-loaders."""

import argparse
import collections
import os
import re
import signal
import shutil
import subprocess
import sys
import tempfile
import time

from servers import LOADERS

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
BUILD = os.path.join(ROOT, 'build', 'test')
MARK = b'\xef\xbb\xbf'
SHOWN = 5  # records listed per reason, and differences per file

# What one loader made of one input: records compared, those left out by
# reason, the load's seconds, and what became of the byte-order mark.
Result = collections.namedtuple('Result', 'converted compared left_out seconds mark')


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog='scripts/test-loaders',
        description="Load trovanex's output into each tested database and compare every field.")
    option = parser.add_mutually_exclusive_group()
    option.add_argument('-r', dest='option', action='store_const', const='-r', help='convert with -r (the default)')
    option.add_argument('-R', dest='option', action='store_const', const='-R', help='convert with -R')
    option.add_argument('--no-option', dest='option', action='store_const', const='-', help='convert with neither')
    parser.add_argument('--loaders', default=','.join(LOADERS),
                        help='which, comma-separated (default: %(default)s)')
    parser.add_argument('csv', nargs='*', help='inputs (default: the traps in tests/loaders and a long field)')
    arguments = parser.parse_args()
    arguments.option = arguments.option or '-r'
    unknown = set(arguments.loaders.split(',')) - set(LOADERS)
    if unknown:
        parser.error('no such loader: ' + ', '.join(sorted(unknown)))
    return arguments


def build(targets):
    subprocess.run(['cmake', '-S', ROOT, '-B', BUILD, '-DCMAKE_BUILD_TYPE=RelWithDebInfo'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', BUILD, '-j', str(os.cpu_count() or 1), '--target'] + targets,
                   check=True, stdout=subprocess.DEVNULL)


def default_corpus(folder):
    """The traps (tests/loaders/traps.csv: every one in each column, so at
    a line's start, middle and end), a one-column file for traps that only
    a whole line shows, and one field of a bit over a MiB, so that it also
    goes through trovanex's reading of fields longer than it holds whole."""
    long_csv = os.path.join(folder, 'long-field.csv')
    piece = '\\N,\t"q"" \\. NULL Grüße\r x\n'
    with open(long_csv, 'wb') as out:
        out.write(b'first,long,last\r\nx,"' + (piece * 40000).replace('"', '""').encode() + b'",z\r\n')
    traps = os.path.join(ROOT, 'tests', 'loaders')
    return [os.path.join(traps, 'traps.csv'), os.path.join(traps, 'one-column.csv'), long_csv]


class Converted:
    """One input, converted: where trovanex's output is, and each record's
    fields as trovanex wrote them, in hex, one record per line."""

    def __init__(self, csv, folder, trovanex, option):
        self.name = os.path.basename(csv)
        self.output = os.path.join(folder, 'output.txt')
        self.fields = os.path.join(folder, 'fields')
        started = time.monotonic()
        run = subprocess.run([trovanex, os.path.abspath(csv), self.output, option, '-.ini'], cwd=folder,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.seconds = time.monotonic() - started
        if run.returncode != 0:
            sys.exit(f'trovanex {option} {csv} failed with status {run.returncode}: '
                     + run.stderr.decode(errors='replace'))
        with open(self.fields, 'wb') as out:
            subprocess.run([os.path.join(BUILD, 'tests', 'loader_fields'), option, os.path.abspath(csv), self.output],
                           stdout=out, check=True)
        with open(self.output, 'rb') as output:
            self.marked = output.read(3) == MARK
        with open(self.fields, 'rb') as fields:
            first = fields.readline()
        self.columns = first.count(b',') + 1 if first else 0

    def lines(self):
        """(number, hex line) for each record."""
        with open(self.fields, 'rb') as lines:
            for number, line in enumerate(lines, 1):
                yield number, line.rstrip(b'\n')

    def records(self):
        """(number, hex line, fields) for each record."""
        for number, line in self.lines():
            yield number, line, [bytes.fromhex(field.decode()) for field in line.split(b',')]


def left_out_reason(loader, converted, fields):
    if any(b'|' in field for field in fields):
        return 'a second | in a field'
    if len(fields) != converted.columns:
        return f'{len(fields)} fields, the table {converted.columns}'
    return loader.cannot_carry(fields)


def check(loader, converted, folder, summary):
    """Loads the records the output can carry, compares them, and adds the
    result to summary. Returns the number of differences."""
    left_out = {}
    expected = []
    load_file = os.path.join(folder, 'out.txt')
    with open(load_file, 'wb') as out:
        if converted.marked:
            out.write(MARK)
        for number, line, fields in converted.records():
            reason = left_out_reason(loader, converted, fields)
            if reason:
                left_out.setdefault(reason, []).append(number)
            else:
                out.write(b'|'.join(fields) + b'\r\n')
                expected.append(number)
    recipe = widen(loader.recipe, converted.columns)
    started = time.monotonic()
    said = loader.load(recipe, folder)
    seconds = time.monotonic() - started
    if said is not None:
        summary.append(Result(converted, 0, left_out, seconds, None))
        print(f'{loader.title}: {converted.name}: the recipe failed:\n{said.rstrip()}')
        return 1
    differences = 0
    wanted = iter(expected)
    lines = converted.lines()
    rows = 0
    mark = None
    for row in loader.rows(converted.columns, folder):
        rows += 1
        number = next(wanted, None)
        if number is None:
            continue
        for record, line in lines:
            if record == number:
                break
        loaded = row.lower()
        if number == 1 and converted.marked:
            # the mark is not data: a loader may keep it in the first field or drop it
            marked = MARK.hex().encode() + line
            mark = 'kept in field 1' if loaded == marked else 'dropped' if loaded == line else None
            line = marked if loaded == marked else line
        if loaded != line:
            differences += 1
            if differences <= SHOWN:
                print(f'{loader.title}: {converted.name} record {number}: ' + describe(line, loaded))
    if rows != len(expected):
        differences += 1
        print(f'{loader.title}: {converted.name}: {rows} rows loaded, {len(expected)} expected')
    summary.append(Result(converted, len(expected), left_out, seconds, mark))
    return differences


def describe(wrote, loaded):
    for column, (a, b) in enumerate(zip(wrote.split(b','), loaded.split(b',')), 1):
        if a != b:
            value = 'NULL' if b == b'n' else short(bytes.fromhex(b.decode()))
            return f'field {column}: wrote {short(bytes.fromhex(a.decode()))}, loaded {value}'
    return f'wrote {wrote.count(b",") + 1} fields, loaded {loaded.count(b",") + 1}'


def short(value):
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + '...'


def widen(recipe, columns):
    """The recipes are written for columns c1, c2, c3: every such list is
    written out for as many columns as the file has."""
    def names(match):
        between = match.group(1)
        return between.join(f'c{n}' for n in range(1, columns + 1))
    return re.sub(r'\bc1\b(.+?)\bc2\b\1\bc3\b', names, recipe)


def report(loader, summary, differences):
    records = sum(result.compared for result in summary)
    fields = sum(result.compared * result.converted.columns for result in summary)
    left = sum(len(numbers) for result in summary for numbers in result.left_out.values())
    seconds = sum(result.seconds for result in summary)
    verdict = 'every field exact' if differences == 0 else f'{differences} differences'
    print(f'{loader.title}: {records} records ({fields} fields) compared, {left} left out, '
          f'loaded in {seconds:.2f} s: {verdict}')
    for result in summary:
        for reason, numbers in result.left_out.items():
            listed = ', '.join(str(n) for n in numbers[:SHOWN]) + (' ...' if len(numbers) > SHOWN else '')
            print(f'  left out of {result.converted.name}: {len(numbers)} with {reason}: record {listed}')
        if result.mark:
            print(f'  {result.converted.name}: the byte-order mark was {result.mark}')


def main():
    arguments = parse_arguments()
    option = arguments.option
    trovanex = os.environ.get('TROVANEX_BIN')
    build(['loader_fields'] if trovanex else ['trovanex', 'loader_fields'])
    trovanex = trovanex or os.path.join(BUILD, 'trovanex')
    work = tempfile.mkdtemp(prefix='trovanex-loaders-')
    os.chmod(work, 0o755)  # the PostgreSQL server runs as its own user
    started = []
    # however the script ends, the servers stop and the folder goes
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda number, frame: sys.exit(128 + number))
    try:
        inputs = arguments.csv or default_corpus(work)
        converted = []
        for n, csv in enumerate(inputs):
            folder = os.path.join(work, f'input-{n}')
            os.mkdir(folder)
            converted.append(Converted(csv, folder, trovanex, option))
            print(f'trovanex {option if option != "-" else "(no option)"}: {csv}: {converted[-1].seconds:.2f} s')
        failed = False
        for name in arguments.loaders.split(','):
            loader = LOADERS[name](os.path.join(work, name))
            started.append(loader)
            loader.start()
            summary = []
            differences = 0
            for n, one in enumerate(converted):
                if one.columns == 0:
                    continue  # no records: nothing to load
                folder = os.path.join(loader.folder, f'input-{n}')
                os.mkdir(folder)
                loader.reset(folder)
                differences += check(loader, one, folder, summary)
                os.remove(os.path.join(folder, 'out.txt'))
            report(loader, summary, differences)
            failed = failed or differences > 0
            loader.stop()
        return 1 if failed else 0
    finally:
        for loader in started:
            loader.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit('interrupted: the servers are stopped and their folder removed')
    except (subprocess.CalledProcessError, RuntimeError) as error:
        sys.exit(f'scripts/test-loaders: {error}')
