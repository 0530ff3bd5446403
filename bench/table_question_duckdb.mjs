// The DuckDB side of table_question_bench: one query over the CSV, its rows as a JSON array of
// arrays of texts and the query's own time in seconds (without starting Node and DuckDB) on
// standard output, as {"rows": [...], "seconds": s}. Usage: node table_question_duckdb.mjs <csv> <query> <threads>
import { DuckDBInstance } from '@duckdb/node-api';

const [csv, query, threads] = process.argv.slice(2);
const options = threads === 'default' ? {} : { threads: String(threads) };
const instance = await DuckDBInstance.create(':memory:', options);
const connection = await instance.connect();
const source = `read_csv('${csv.replaceAll("'", "''")}', header = true, delim = ',', quote = '"', columns = {
  'date': 'DATE', 'region': 'VARCHAR', 'product': 'VARCHAR', 'quantity': 'BIGINT',
  'amount': 'DECIMAL(18,2)', 'note': 'VARCHAR'})`;
const sql = {
  count: `SELECT count(*)::VARCHAR FROM ${source}`,
  month: `SELECT strftime(date, '%Y-%m') AS month, sum(amount)::VARCHAR FROM ${source}
          GROUP BY month ORDER BY month`,
  median: `SELECT median(amount)::VARCHAR FROM ${source} WHERE region = 'North'`,
}[query];
const started = process.hrtime.bigint();
const reader = await connection.runAndReadAll(sql);
const seconds = Number(process.hrtime.bigint() - started) / 1e9;
console.log(JSON.stringify({ rows: reader.getRows(), seconds }));
