import sys, duckdb, tallyfold  # python examples/duckdb_totals.py FILE.sta
doc = tallyfold.MT940.from_file(sys.argv[1])
print(duckdb.sql("select account, currency, sum(amount) from doc group by all order by all").fetchall())
