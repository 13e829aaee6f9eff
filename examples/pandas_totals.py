import sys, pandas as pd, pyarrow as pa, tallyfold  # python examples/pandas_totals.py FILE.sta
frame = pa.table(tallyfold.MT940.from_file(sys.argv[1])).to_pandas(types_mapper=pd.ArrowDtype)
print(frame.groupby(["account", "currency"])["amount"].sum().to_string())
