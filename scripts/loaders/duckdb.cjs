// DuckDB has no server and its command-line shell is not packaged, so
// scripts/test-loaders drives it through the Node.js client:
//   node duckdb.cjs DATABASE run FILE   runs the SQL statements in FILE
//   node duckdb.cjs DATABASE rows SQL   prints each row's first column on a line
// The client is found in the folder DUCKDB_NODE_MODULES names.
const path = require('path');
const { DuckDBInstance } = require(path.join(process.env.DUCKDB_NODE_MODULES, '@duckdb/node-api'));
const fs = require('fs');

async function main() {
    const [database, verb, argument] = process.argv.slice(2);
    const connection = await (await DuckDBInstance.create(database)).connect();
    if (verb === 'run') {
        await connection.run(fs.readFileSync(argument, 'utf8'));
        return;
    }
    const result = await connection.stream(argument);
    for await (const rows of result.yieldRows()) {
        process.stdout.write(rows.map((row) => String(row[0]) + '\n').join(''));
    }
}

main().catch((error) => {
    process.stderr.write(String(error.message || error) + '\n');
    process.exit(1);
});
