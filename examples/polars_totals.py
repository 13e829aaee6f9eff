import sys, polars as pl, tallyfold  # python examples/polars_totals.py FILE.sta
frame = pl.DataFrame(tallyfold.MT940.from_file(sys.argv[1]))
print(frame.group_by("account", "currency").agg(pl.col("amount").sum()).sort("account").rows())
