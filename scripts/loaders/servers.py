"""The four tested loaders: each started from a folder of its own, with no
network port and no password, run with its recipe from doc/loaders/, read
back as one line per row (each field in hex, NULL as N, joined by ','),
and stopped. Stopping twice is harmless."""

import glob
import os
import re
import shutil
import subprocess
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
DUCKDB_PACKAGE = '@duckdb/node-api@1.5.6-r.1'


def recipe_of(name, language):
    with open(os.path.join(ROOT, 'doc', 'loaders', name + '.md'), encoding='utf-8') as recipe:
        return re.search(r'^```' + language + r'\n(.*?)^```', recipe.read(), re.S | re.M).group(1)


def run_recipe(recipe, folder, env, command=None):
    """None if the recipe ran and said nothing, else what it said. A shell
    recipe runs in bash unless another command is given."""
    run = subprocess.run(command or ['bash', '-e', '-o', 'pipefail', '-c', recipe], cwd=folder, env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    said = run.stdout.decode(errors='replace')
    if run.returncode != 0:
        return said + f'(status {run.returncode})'
    return said or None


def lines_of(command, env=None):
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE) as reader:
        for line in reader.stdout:
            yield line.rstrip(b'\n')
    if reader.returncode != 0:
        raise RuntimeError(f'{command[0]} failed with status {reader.returncode} reading the rows back')


def row_query(columns, hex_of, join):
    return join([f"coalesce({hex_of(f'c{n}')}, 'N')" for n in range(1, columns + 1)])


def is_utf8(fields):
    try:
        for field in fields:
            field.decode('utf-8')
    except UnicodeDecodeError:
        return False
    return True


def output_of(command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout.strip()


class PostgreSQL:
    def __init__(self, folder):
        self.folder = folder
        self.recipe = recipe_of('postgresql', 'sh')
        found = sorted(glob.glob('/usr/lib/postgresql/*/bin/initdb'), key=lambda p: int(p.split('/')[4]))
        self.bin = os.path.dirname(found[-1])
        self.title = 'PostgreSQL ' + output_of([os.path.join(self.bin, 'postgres'), '--version']).split()[2]
        # psql as a script runs it: quiet, stopping at the first error;
        # the server's notices (a table not there to drop) unsaid
        self.env = dict(os.environ, PGHOST=folder, PGUSER='loader', PGDATABASE='postgres',
                        PSQLRC=os.path.join(folder, 'psqlrc'), PGOPTIONS='-c client_min_messages=warning')
        self.running = False

    def as_server(self, command):
        # the server will not run as root
        return (['runuser', '-u', 'postgres', '--'] if os.geteuid() == 0 else []) + command

    def start(self):
        os.mkdir(self.folder)
        if os.geteuid() == 0:
            shutil.chown(self.folder, 'postgres')
        with open(self.env['PSQLRC'], 'w') as settings:
            settings.write('\\set QUIET on\n\\set ON_ERROR_STOP on\n')
        data = os.path.join(self.folder, 'data')
        subprocess.run(self.as_server([os.path.join(self.bin, 'initdb'), '-D', data, '-A', 'trust', '-E', 'UTF8',
                                       '--locale=C.UTF-8', '-U', 'loader']), check=True, stdout=subprocess.DEVNULL)
        settings = f"-c listen_addresses='' -k {self.folder} -c fsync=off -c full_page_writes=off"
        self.running = True
        subprocess.run(self.as_server([os.path.join(self.bin, 'pg_ctl'), '-D', data, '-o', settings, '-w', '-l',
                                       os.path.join(self.folder, 'log'), 'start']),
                       check=True, stdout=subprocess.DEVNULL, start_new_session=True)

    def stop(self):
        if self.running:
            self.running = False
            subprocess.run(self.as_server([os.path.join(self.bin, 'pg_ctl'), '-D', os.path.join(self.folder, 'data'),
                                           '-m', 'immediate', '-w', 'stop']), stdout=subprocess.DEVNULL)

    def reset(self, folder):
        subprocess.run(['psql', '-X', '-q', '-c', 'DROP TABLE IF EXISTS loaded'], env=self.env, check=True)

    def load(self, recipe, folder):
        return run_recipe(recipe, folder, self.env)

    def rows(self, columns, folder):
        query = row_query(columns, lambda c: f"encode(textsend({c}), 'hex')", " || ',' || ".join)
        return lines_of(['psql', '-X', '-q', '-c', f'COPY (SELECT {query} FROM loaded ORDER BY n) TO STDOUT'],
                        self.env)

    @staticmethod
    def cannot_carry(fields):
        if any(b'\r\n' in field for field in fields):
            return 'a CR LF kept in a field'
        if any(b'\0' in field for field in fields):
            return 'a zero byte, which text cannot hold'
        if not is_utf8(fields):
            return "bytes that are not UTF-8, the database's encoding"
        return None


class MariaDB:
    def __init__(self, folder):
        self.folder = folder
        self.recipe = recipe_of('mariadb', 'sh')
        self.title = 'MariaDB ' + output_of(['mariadbd', '--version']).split()[2].split('-')[0]
        self.socket = os.path.join(folder, 'socket')
        self.env = dict(os.environ, HOME=os.path.join(folder, 'home'))
        self.server = None

    def start(self):
        os.makedirs(self.env['HOME'])
        with open(os.path.join(self.env['HOME'], '.my.cnf'), 'w') as options:
            options.write(f'[client]\nsocket={self.socket}\nuser=root\ndatabase=loaders\n')
        data = os.path.join(self.folder, 'data')
        user = ['--user=root'] if os.geteuid() == 0 else []
        subprocess.run(['mariadb-install-db', '--no-defaults', '--datadir=' + data, '--skip-test-db',
                        '--auth-root-authentication-method=normal'] + user,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.server = subprocess.Popen(
            ['mariadbd', '--no-defaults', '--datadir=' + data, '--socket=' + self.socket, '--skip-networking',
             '--pid-file=' + os.path.join(self.folder, 'pid'), '--log-error=' + os.path.join(self.folder, 'log'),
             '--tmpdir=' + self.folder, '--skip-log-bin', '--local-infile=1', '--innodb-buffer-pool-size=256M',
             '--innodb-flush-log-at-trx-commit=0', '--max-allowed-packet=64M'] + user,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        ping = ['mariadb-admin', '--no-defaults', '--socket=' + self.socket, '--user=root', 'ping']
        for _ in range(300):
            if self.server.poll() is not None:
                raise RuntimeError('the MariaDB server did not start: see ' + os.path.join(self.folder, 'log'))
            if subprocess.run(ping, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        else:
            raise RuntimeError('the MariaDB server did not answer in 30 s: see ' + os.path.join(self.folder, 'log'))
        subprocess.run(['mariadb', '-D', 'mysql', '-e', 'CREATE DATABASE loaders'], env=self.env, check=True)

    def stop(self):
        if self.server:
            self.server.terminate()
            try:
                self.server.wait(60)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
            self.server = None

    def reset(self, folder):
        subprocess.run(['mariadb', '-e', 'DROP TABLE IF EXISTS loaded'], env=self.env, check=True)

    def load(self, recipe, folder):
        return run_recipe(recipe, folder, self.env)

    def rows(self, columns, folder):
        query = row_query(columns, lambda c: f'hex({c})', lambda parts: "concat_ws(',', " + ', '.join(parts) + ')')
        return lines_of(['mariadb', '--quick', '-N', '-B', '-e', f'SELECT {query} FROM loaded'], self.env)

    @staticmethod
    def cannot_carry(fields):
        if any(b'\r\n' in field for field in fields):
            return 'a CR LF kept in a field'
        if not is_utf8(fields):
            return 'bytes that are not UTF-8, the columns\' character set'
        return None


class SQLite:
    def __init__(self, folder):
        self.folder = folder
        self.recipe = recipe_of('sqlite', 'sh')
        self.title = 'SQLite ' + output_of(['sqlite3', '--version']).split()[0]

    def start(self):
        os.mkdir(self.folder)

    def stop(self):
        pass

    def reset(self, folder):
        pass  # each input has a folder, and so a database, of its own

    def load(self, recipe, folder):
        return run_recipe(recipe, folder, os.environ)

    def rows(self, columns, folder):
        query = row_query(columns, lambda c: f"iif({c} IS NULL, NULL, hex({c}))", " || ',' || ".join)
        return lines_of(['sqlite3', '-batch', '-noheader', os.path.join(folder, 'loaded.db'),
                         f'SELECT {query} FROM loaded ORDER BY rowid'])

    @staticmethod
    def cannot_carry(fields):
        if any(b'\n' in field for field in fields):
            return 'a line feed kept in a field'
        if any(b'\0' in field for field in fields):
            return 'a zero byte, which ends a field'
        return None


class DuckDB:
    def __init__(self, folder):
        self.folder = folder
        self.recipe = recipe_of('duckdb', 'sql')
        self.modules = os.path.join(ROOT, 'build', 'loaders', 'node_modules')
        self.env = dict(os.environ, DUCKDB_NODE_MODULES=self.modules)
        self.title = 'DuckDB'

    def client(self, folder, *arguments):
        return ['node', os.path.join(ROOT, 'scripts', 'loaders', 'duckdb.cjs'),
                os.path.join(folder, 'loaded.duckdb')] + list(arguments)

    def start(self):
        if not os.path.isdir(os.path.join(self.modules, '@duckdb', 'node-api')):
            subprocess.run(['npm', 'install', '--prefix', os.path.dirname(self.modules), '--no-audit', '--no-fund',
                            '--no-save', '--loglevel=error', DUCKDB_PACKAGE], check=True, stdout=subprocess.DEVNULL)
        os.mkdir(self.folder)
        self.title = 'DuckDB ' + next(lines_of(self.client(self.folder, 'rows', 'SELECT version()'),
                                               self.env)).decode().lstrip('v')
        os.remove(os.path.join(self.folder, 'loaded.duckdb'))

    def stop(self):
        pass

    def reset(self, folder):
        pass

    def load(self, recipe, folder):
        with open(os.path.join(folder, 'recipe.sql'), 'w', encoding='utf-8') as out:
            out.write(recipe)
        return run_recipe(recipe, folder, self.env, self.client(folder, 'run', 'recipe.sql'))

    def rows(self, columns, folder):
        query = row_query(columns, lambda c: f'hex({c})', " || ',' || ".join)
        return lines_of(self.client(folder, 'rows', f'SELECT {query} FROM loaded ORDER BY rowid'), self.env)

    @staticmethod
    def cannot_carry(fields):
        if any(b'\r' in field or b'\n' in field for field in fields):
            return 'a line break kept in a field'
        if not is_utf8(fields):
            return 'bytes that are not UTF-8'
        return None


LOADERS = {'postgresql': PostgreSQL, 'mariadb': MariaDB, 'sqlite': SQLite, 'duckdb': DuckDB}
