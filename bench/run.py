#!/usr/bin/env python3
"""Python-side benchmarks of tallyfold, printed as ratios against targets.

Measures on one generated text (10 MB by default), with runs interleaved round by round:
MT940(text) on a fresh str each time, `transactions` objects per second, each export's
and writer's output rate (the Arrow tables' by their buffers), the camt reading (from_bytes
on the camt that to_camt() writes for the same statements), and the pure-Python `mt940`
package as a peer when it is importable; then two threads each parsing their own copy
against one thread parsing both, the command over many files with --jobs against one
job, the peak
memory of a parsed document against the input size (in a fresh process), and the time
per MB at several sizes. Every figure is the median of several runs, with the spread.

A benchmark, not a test: missed targets are reported, never turned into a failure. The
exit status is non-zero only when a text does not parse as its manifest says.

Usage: run.py [--data DIR] [--main 10M] [--sizes 1M,10M,100M] [--rounds 5] [--batch-files 200] [--smoke]
"""

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402

import tallyfold  # noqa: E402

try:
    import pyarrow  # reads the Arrow tables; tallyfold itself does not need it
except ImportError:
    pyarrow = None

try:
    import mt940 as peer  # the pure-Python parser from PyPI (package "mt-940")
except ImportError:
    peer = None


class Samples:
    def __init__(self):
        self.values = []

    def add(self, seconds):
        self.values.append(seconds)

    @property
    def median(self):
        return statistics.median(self.values)

    @property
    def spread(self):
        """(max - min) / median: 0.05 means all runs lie within a 5 % band."""
        return (max(self.values) - min(self.values)) / self.median if self.median else 0.0

    def row(self, name, amount, unit):
        return (f"  {name:<26} {self.median * 1e3:10.2f} ms {amount / self.median:12.1f} {unit:<9}"
                f" spread {self.spread * 100:5.1f} %  (n={len(self.values)})")


class Measurement:
    """One single-threaded measurement on two clocks: the wall clock, and the thread's
    CPU time, which stands still while the thread waits for a processor and so stays
    meaningful on a busy machine. Verdicts use the CPU time."""

    def __init__(self):
        self.wall = Samples()
        self.cpu = Samples()

    def add(self, function, *args, per=1):
        """Times function(*args) and records the times divided by `per`. The result is
        freed after the clocks stop."""
        cpu = time.thread_time()
        start = time.perf_counter()
        result = function(*args)
        wall = time.perf_counter() - start
        cpu = time.thread_time() - cpu
        del result
        self.wall.add(wall / per)
        self.cpu.add(cpu / per)

    def row(self, name, amount, unit):
        w, c = self.wall.median, self.cpu.median
        return (f"  {name:<26} wall {w * 1e3:9.2f} ms {amount / w:11.1f} {unit:<9} spread {self.wall.spread * 100:5.1f} %"
                f"   cpu {c * 1e3:9.2f} ms {amount / c:11.1f} {unit:<9} (n={len(self.wall.values)})")


def timed(function, *args):
    """Seconds taken by function(*args). The result is freed after the clock stops:
    releasing a document or a list of objects is not part of building it."""
    start = time.perf_counter()
    result = function(*args)
    seconds = time.perf_counter() - start
    del result
    return seconds


def load(data_dir, size_text):
    path = os.path.join(data_dir, f"{size_text}.sta")
    generate.write(path, generate.parse_size(size_text))
    with open(path, "rb") as f:
        data = f.read()
    return path, data, generate.read_manifest(path)


def check(document, manifest, name):
    """The first statement's transactions, and the parse as a whole through the CSV rows."""
    rows = document.to_csv().count("\n") - 1
    if rows != manifest["transactions"]:
        sys.exit(f"check failed: {name}: {rows} CSV rows, manifest says {manifest['transactions']} transactions")


def peer_parse(text):
    transactions = peer.models.Transactions()
    transactions.parse(text)
    return transactions


def peer_count(text):
    return len(peer_parse(text))


# Core figures on the main text --------------------------------------------------------

def bench_main(data, manifest, rounds, use_peer):
    mb = len(data) / 1e6
    document = tallyfold.MT940(data.decode("utf-8"))
    check(document, manifest, "main text")
    first = len(document)
    reads = max(1, 50_000 // max(first, 1))
    sizes = {name: len(getattr(document, name)().encode("utf-8")) / 1e6
             for name in ("to_json", "to_csv", "to_camt053")}
    bank_document = tallyfold.MT940.from_bytes(data)
    # The writers, on the bank-file reading's document as the reference measurement
    # times them; a fixed creation time keeps the camt the same from run to run.
    writers = {"to_camt": lambda: bank_document.to_camt(created=0), "to_mt940": bank_document.to_mt940}
    sizes.update({name: len(write().encode("utf-8")) / 1e6 for name, write in writers.items()})
    if pyarrow is not None:
        pyarrow.table(bank_document)  # pyarrow sets itself up on first use; not ours to time
        # The Arrow tables' buffers are their output.
        sizes["arrow"] = pyarrow.table(document).nbytes / 1e6
        sizes["bank_arrow"] = pyarrow.table(bank_document).nbytes / 1e6
    if use_peer:
        found = peer_count(data.decode("utf-8"))
        if found != manifest["transactions"]:
            print(f"  note: mt940 found {found} transactions, tallyfold {manifest['transactions']}")

    total = manifest["transactions"]
    samples = {name: Measurement() for name in ("construct", "from_bytes", "transactions", "statements",
                                                "json_loads", "to_json", "to_csv", "to_camt053", "peer",
                                                "arrow", "bank_json", "bank_arrow", "camt_reading", *writers)}
    # The camt reading, on the camt the writer makes of the same statements.
    camt = bank_document.to_camt().encode("utf-8")
    check_camt = tallyfold.MT940.from_bytes(camt)
    def entries(doc):
        return sum(len(s.transactions) for s in doc.statements)
    if entries(check_camt) != entries(bank_document):
        raise SystemExit("the camt of the main text reads back with other transactions")
    del check_camt
    for _ in range(rounds):
        text = data.decode("utf-8")  # fresh str: no cached UTF-8 form
        gc.collect()
        samples["construct"].add(tallyfold.MT940, text)
        # The first statement holds a few hundred transactions: read the attribute often
        # enough per sample for the clocks to resolve it.
        samples["from_bytes"].add(tallyfold.MT940.from_bytes, data)
        samples["camt_reading"].add(tallyfold.MT940.from_bytes, camt)
        samples["transactions"].add(lambda: [document.transactions for _ in range(reads)], per=reads)
        # Every statement with its transactions, built on first access of a new document,
        # against the other way to reach them all: loading the JSON export.
        fresh = tallyfold.MT940(text)
        samples["statements"].add(lambda: [s.transactions for s in fresh.statements])
        samples["json_loads"].add(lambda: json.loads(document.to_json()))
        for name in ("to_json", "to_csv", "to_camt053"):
            samples[name].add(getattr(document, name))
        for name, write in writers.items():
            samples[name].add(write)
        if pyarrow is not None:
            # The whole transactions table, as pyarrow.table(doc) takes it, against the
            # JSON export of the same document, for both readings.
            samples["arrow"].add(pyarrow.table, document)
            samples["bank_json"].add(bank_document.to_json)
            samples["bank_arrow"].add(pyarrow.table, bank_document)
        if use_peer:
            text = data.decode("utf-8")
            samples["peer"].add(peer_parse, text)

    print(f"python, main text {mb:.1f} MB, {rounds} interleaved rounds:")
    print(samples["construct"].row("MT940(text)", mb, "MB/s"))
    print(samples["from_bytes"].row("MT940.from_bytes(data)", mb, "MB/s"))
    print(samples["camt_reading"].row(f"from_bytes(camt) {len(camt) / 1e6:.0f} MB", len(camt) / 1e6, "MB/s"))
    print(samples["transactions"].row(f"transactions ({first})", first, "objects/s"))
    print(samples["statements"].row(f"statements ({total})", total, "objects/s"))
    print(samples["json_loads"].row("json.loads(to_json())", total, "objects/s"))
    for name in ("to_json", "to_csv", "to_camt053"):
        print(samples[name].row(f"{name}()", sizes[name], "MB/s out"))
    for name in writers:
        print(samples[name].row(f"{name}() of from_bytes", sizes[name], "MB/s out"))
    if pyarrow is not None:
        print(samples["arrow"].row(f"pyarrow.table(doc) ({total})", total, "rows/s"))
        print(samples["arrow"].row("  its buffers", sizes["arrow"], "MB/s out"))
        print(samples["bank_arrow"].row("  of from_bytes(data)", sizes["bank_arrow"], "MB/s out"))
    cpu = {name: m.cpu.median for name, m in samples.items() if m.cpu.values}
    wall = {name: m.wall.median for name, m in samples.items() if m.wall.values}
    results = {
        "objects_per_s": (first / cpu["transactions"], first / wall["transactions"]),
        "exports": {name: (sizes[name] / cpu[name], sizes[name] / wall[name]) for name in sizes},
        "camt_reading": (len(camt) / 1e6 / cpu["camt_reading"], len(camt) / 1e6 / wall["camt_reading"]),
    }
    if pyarrow is not None:
        results["arrow_ratio"] = {
            reading: (cpu[arrow] / cpu[json_], wall[arrow] / wall[json_])
            for reading, arrow, json_ in [("MT940(text)", "arrow", "to_json"),
                                          ("from_bytes(data)", "bank_arrow", "bank_json")]
        }
    if use_peer:
        print(samples["peer"].row("mt940 (peer)", mb, "MB/s"))
        results["peer_ratio"] = (cpu["peer"] / cpu["construct"], wall["peer"] / wall["construct"])
    return results


def bench_threads(data, rounds):
    """Two threads each parsing their own copy, against one thread parsing both. Both
    sides run on new threads: the allocator gives each thread its own heap, and a new
    thread's heap has to be faulted in afresh, which the main thread's warm heap would
    be spared."""
    def parse_on_threads(groups):
        kept = []
        workers = [threading.Thread(target=lambda texts=texts: kept.extend(tallyfold.MT940(t) for t in texts))
                   for texts in groups]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return kept

    one, two = Samples(), Samples()
    one_cpu, two_cpu = Samples(), Samples()  # process CPU time, all threads together
    for _ in range(rounds):
        for samples, cpu_samples, split in ((one, one_cpu, False), (two, two_cpu, True)):
            a, b = data.decode("utf-8"), data.decode("utf-8")
            gc.collect()
            groups = [[a], [b]] if split else [[a, b]]
            cpu = time.process_time()
            samples.add(timed(parse_on_threads, groups))
            cpu_samples.add(time.process_time() - cpu)
    mb = 2 * len(data) / 1e6
    print("threads, two copies of the main text:")
    print(one.row("one thread, both copies", mb, "MB/s"))
    print(two.row("two threads, one copy each", mb, "MB/s"))
    # Near 1 when the parses do not slow each other down: a missing gain is then
    # processor time the machine did not give.
    print(f"  cpu per parse, two threads / one thread {two_cpu.median / one_cpu.median:.2f}x")
    return one.median / two.median


def installed_command():
    """The tallyfold command installed beside this interpreter, or None."""
    candidate = os.path.join(os.path.dirname(sys.executable), "tallyfold")
    return candidate if os.path.exists(candidate) else None


def bench_jobs(data_dir, files, rounds):
    """`tallyfold convert DIR --to json -o OUT/` over many small files, with --jobs N (one
    per CPU) against --jobs 1: files per second, each run a new process as users run it."""
    command = installed_command()
    if command is None:
        print("batch: not measured (the tallyfold command is not installed beside this interpreter)")
        return None
    folder = os.path.join(data_dir, f"batch-{files}")
    os.makedirs(folder, exist_ok=True)
    for i in range(files):
        generate.write(os.path.join(folder, f"{i:04d}.sta"), generate.parse_size("50K"), seed=i + 1)
    jobs = max(2, os.cpu_count() or 1)
    samples = {1: Samples(), jobs: Samples()}
    out = os.path.join(data_dir, "batch-out") + os.sep
    def convert(run):
        # Status 1: something was left out of a file (the generator's texts end in the
        # middle of an envelope), which is not what is measured.
        if subprocess.run(run, capture_output=True).returncode > 1:
            sys.exit(f"check failed: {' '.join(run)}")

    for _ in range(rounds):
        for n, s in samples.items():
            s.add(timed(convert, [command, "convert", folder, "--to", "json", "-o", out, "--jobs", str(n)]))
    print(f"batch, {files} files of 50 KB converted to JSON by the command (wall clock):")
    for n, s in samples.items():
        print(s.row(f"--jobs {n}", files, "files/s"))
    return jobs, samples[1].median / samples[jobs].median


def fresh_env():
    """The environment for a probe in a fresh process: the allocator at its defaults."""
    env = dict(os.environ)
    env.pop("GLIBC_TUNABLES", None)
    return env


MEMORY_PROBE = r"""
import gc, re, sys, tallyfold
def kib(field):
    with open('/proc/self/status') as f:
        return int(re.search(field + r':\s+(\d+)', f.read()).group(1))
with open(sys.argv[1], 'rb') as f:
    data = f.read()
text = data.decode('utf-8')
# A non-ASCII str gets its UTF-8 form cached by the parse: that belongs to the input.
cached = 0 if text.isascii() else len(data) + 1
del data
gc.collect()
before = kib('VmRSS')
try:
    with open('/proc/self/clear_refs', 'w') as f:
        f.write('5')  # restart the peak count here; without it the peak is the process's
except OSError:
    pass
document = tallyfold.MT940(text)
print(kib('VmHWM') - before - cached // 1024, kib('VmRSS') - before - cached // 1024)
"""


def bench_memory(path, size, rounds):
    """Peak and retained resident memory of a parsed document per input byte."""
    peaks, kept = [], []
    for _ in range(max(1, min(rounds, 3))):
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path], check=True, env=fresh_env(),
                             capture_output=True, text=True).stdout.split()
        peaks.append(int(out[0]) * 1024 / size)
        kept.append(int(out[1]) * 1024 / size)
    peak, retained = statistics.median(peaks), statistics.median(kept)
    print("memory of a parsed document (fresh process, input's cached UTF-8 form excluded):")
    print(f"  peak during MT940(text)    {peak:6.2f}x input   retained afterwards {retained:6.2f}x input")
    return peak


LINEARITY_PROBE = r"""
import sys, time, tallyfold
with open(sys.argv[1], 'rb') as f:
    data = f.read()
reps = int(sys.argv[2])
fresh = [data.decode('utf-8') for _ in range(reps)]
cpu, start = time.thread_time(), time.perf_counter()
documents = [tallyfold.MT940(text) for text in fresh]
wall, cpu = time.perf_counter() - start, time.thread_time() - cpu
mb = reps * len(data) / 1e6
print(cpu / mb, wall / mb)
"""


def bench_linearity(texts, rounds):
    """Time per MB at each size, each run in a fresh process so that every size meets
    the same memory state (a reused heap saves page faults a new one pays); small texts
    are parsed several times per run, keeping every document."""
    samples = {name: Measurement() for name in texts}
    for _ in range(rounds):
        for name, (path, size) in texts.items():
            reps = max(1, int(20e6 // size))
            out = subprocess.run([sys.executable, "-c", LINEARITY_PROBE, path, str(reps)], check=True,
                                 env=fresh_env(), capture_output=True, text=True).stdout.split()
            samples[name].cpu.add(float(out[0]))
            samples[name].wall.add(float(out[1]))
    print("linearity, MT940(text) time per MB (fresh process per run):")
    for name, m in samples.items():
        print(f"  {name:<8} wall {m.wall.median * 1e3:8.3f} ms/MB  spread {m.wall.spread * 100:5.1f} %"
              f"   cpu {m.cpu.median * 1e3:8.3f} ms/MB  (n={len(m.wall.values)})")
    names = list(texts)
    first, last = samples[names[0]], samples[names[-1]]
    return (last.cpu.median / first.cpu.median, last.wall.median / first.wall.median), names[0], names[-1]


def verdict(ok):
    return "met" if ok else "NOT met"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--data", default=os.path.join(here, "..", "build", "bench", "data"))
    parser.add_argument("--main", default="10M", help="size of the main text")
    parser.add_argument("--sizes", default="1M,10M,100M", help="sizes for time per MB")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--batch-files", type=int, default=200, help="files for the --jobs measurement")
    parser.add_argument("--no-peer", action="store_true", help="skip mt940 even when installed")
    parser.add_argument("--smoke", action="store_true", help="one quick pass over small texts")
    args = parser.parse_args(argv)
    if args.smoke:
        args.main, args.sizes, args.rounds, args.no_peer, args.batch_files = "200K", "100K,200K", 1, True, 4
    use_peer = peer is not None and not args.no_peer

    path, data, manifest = load(args.data, args.main)
    main_results = bench_main(data, manifest, args.rounds, use_peer)
    thread_gain = bench_threads(data, args.rounds)
    batch = bench_jobs(args.data, args.batch_files, args.rounds)
    memory = bench_memory(path, len(data), args.rounds)
    texts = {}
    for size in args.sizes.split(","):
        sized_path, sized, sized_manifest = load(args.data, size)
        check(tallyfold.MT940(sized.decode("utf-8")), sized_manifest, size)
        texts[size] = (sized_path, len(sized))
        del sized
    growth, small, large = bench_linearity(texts, args.rounds)

    print(f"targets (python {sys.version.split()[0]}, {os.cpu_count()} CPUs; cpu time, wall clock in brackets):")
    if "peer_ratio" in main_results:
        r, rw = main_results["peer_ratio"]
        print(f"  MT940(text) vs mt940        {r:8.0f}x  [{rw:6.0f}x]   faster      (target >= 150x)   {verdict(r >= 150)}")
    else:
        print("  MT940(text) vs mt940        not measured (mt940 not installed)")
    rate, rate_wall = main_results["objects_per_s"]
    print(f"  transactions                {rate / 1e6:8.2f}   [{rate_wall / 1e6:6.2f}]    M objects/s (target >= 1)     {verdict(rate >= 1e6)}")
    labels = {"arrow": "Arrow, MT940(text)", "bank_arrow": "Arrow, from_bytes(data)"}
    for name, (rate, rate_wall) in main_results["exports"].items():
        label = labels.get(name, name + "()")
        print(f"  {label:<27} {rate:8.0f}   [{rate_wall:6.0f}]    MB/s out    (target >= 200)   {verdict(rate >= 200)}")
    rate, rate_wall = main_results["camt_reading"]
    print(f"  camt reading (from_bytes)   {rate:8.0f}   [{rate_wall:6.0f}]    MB/s in     (target >= 100)   {verdict(rate >= 100)}")
    for reading, (r, rw) in main_results.get("arrow_ratio", {}).items():
        print(f"  {'Arrow / JSON, ' + reading:<27} {r:8.2f}x  [{rw:6.2f}x]   the time    (target <= 1x)     {verdict(r <= 1)}")
    if "arrow_ratio" not in main_results:
        print("  Arrow / JSON                not measured (pyarrow not installed)")
    print(f"  two threads / one thread               [{thread_gain:6.2f}x]              (target >= 1.80x) {verdict(thread_gain >= 1.8)}")
    if batch is not None:
        jobs, gain = batch
        print(f"  batch --jobs {jobs} / --jobs 1               [{gain:6.2f}x]   files/s    (reported, not judged)")
    print(f"  document peak memory        {memory:8.2f}x input                (target <= 3x)     {verdict(memory <= 3)}")
    growth, growth_wall = growth
    print(f"  time per MB {large} / {small:<10} {growth:8.2f}x  [{growth_wall:6.2f}x]              (target <= 1.15x)  {verdict(growth <= 1.15)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
