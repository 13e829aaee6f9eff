"""Whole-system robustness at the Python boundary: threads, memory, and inputs at the
edges of size and encoding."""

import gc
import os
import threading
from pathlib import Path

import pytest

from conftest import statement
from tallyfold import MT940


# ---------------------------------------------------------------------------------------
# Threads


def generated_statement(seed, transactions):
    """A statement whose details mix every layout, different for every seed."""
    layouts = [
        "/EREF/E2E-{i}/REMI/Invoice {i} of {seed}/NAME/Party {seed}/IBAN/NL{i:016d}",
        "166?00GUTSCHRIFT?20Rechnung {i}?21Kunde {seed}?32Name {i}?33Zusatz?31DE{i:020d}",
        "020~00<00PRZELEW<20Zapłata {i}<32Firma {seed}<31PL{i:026d}",
        "Plain text payment {i} for account {seed}, with a comma",
    ]
    lines = [(f"2301{i % 28 + 1:02d}{['C', 'D', 'RC', 'RD'][(i + seed) % 4]}{i % 997},{i % 100:02d}NTRFREF{i}//B{seed}",
              layouts[(i + seed) % 4].format(i=i, seed=seed)) for i in range(transactions)]
    return statement(f"T{seed}", f"ACC{seed}", "C230101EUR1000,00", "C230131EUR1000,00", lines, f"{seed}/1")


def outcome(text, resolver, bank_file):
    try:
        if bank_file:  # the bank-file reading, whose resolver names are checked
            document = MT940.from_bytes(text.encode(), resolver=resolver if resolver != "other" else None)
            return (len(document), document.to_json(), [repr(d) for d in document.diagnostics])
        document = MT940(text, resolver)
    except ValueError as error:
        return ("error", error.args)
    return (len(document), document.to_json(), document.to_csv(), document.to_camt053())


# Threads reading at once, half of them through each reading, read what one thread reads.
def test_eight_threads_parse_like_one():
    resolvers = ["auto", "swift", "gvc", "angular", None, "other", "auto", "gvc"]
    texts = [generated_statement(seed, 3000 + 200 * seed) for seed in range(8)]
    texts[6] = texts[6].replace(":62F:", ":62F:X")  # one of them fails, late in the text
    expected = [outcome(t, r, k % 2 == 1) for k, (t, r) in enumerate(zip(texts, resolvers))]
    assert [e[0] == "error" for e in expected] == [k == 6 for k in range(8)]

    start = threading.Barrier(8)
    results = [[] for _ in range(8)]

    def work(k):
        start.wait()
        for _ in range(4):
            results[k].append(outcome(texts[k], resolvers[k], k % 2 == 1))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(8):
        assert len(results[k]) == 4
        assert all(r == expected[k] for r in results[k]), f"thread {k}"


# ---------------------------------------------------------------------------------------
# Memory


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


MEMORY_TEXT = generated_statement(1, 4)
BROKEN_TEXT = MEMORY_TEXT.replace(":60F:C", ":60F:R")
# Two statements in an envelope, so that the bank-file reading has notes to give.
MEMORY_BYTES = ("{4:\n" + MEMORY_TEXT + generated_statement(2, 3) + "-}").encode()


def churn(rounds):
    for i in range(rounds):
        document = MT940(MEMORY_TEXT, "auto" if i % 2 else None)
        (document.account, document.currency, document.opening_balance)
        (document.closing_balance, document.resolver_used, len(document))
        for t in document.transactions:
            (t.value_date, t.entry_date, t.debit_credit, t.amount, t.signed_amount())
            (t.is_credit, t.is_debit, t.is_reversal, t.transaction_type, t.customer_reference)
            (t.bank_reference, t.details, t.structured_details)
            (t.counterparty, t.counter_iban, t.purpose)
        document.to_json(), document.to_csv(), document.to_camt053()
        if i % 2:
            churn_bank_file(i)
        if i % 10 == 0:  # the error paths must free what they built, too
            with pytest.raises(ValueError):
                MT940(BROKEN_TEXT)
            with pytest.raises(TypeError):
                MT940(MEMORY_TEXT, 5)
            with pytest.raises(TypeError):
                MT940(MEMORY_TEXT, resolver="auto", other=1)


def churn_bank_file(i):
    if i % 8 == 7:  # the exact reading does not unwrap
        document = MT940.from_bytes(MEMORY_TEXT.encode(), strict=True)
    else:
        document = MT940.from_bytes(MEMORY_BYTES if i % 4 == 1 else memoryview(MEMORY_BYTES))
    for d in document.diagnostics:
        (d.line, d.severity, d.message, repr(d))
    for s in document.statements:
        (s.reference, s.related_reference, s.account, s.number, s.currency, s.information)
        (s.difference, s.balanced, s.follows_previous, repr(s))
        for b in (s.opening_balance, s.closing_balance, s.available_balance, *s.forward_balances):
            if b is not None:
                (b.mark, b.intermediate, b.date, b.currency, b.amount, repr(b))
        for t in s.transactions:
            (t.exact_amount, t.value_day, t.entry_day, t.purpose, t.counterparty_bic)
            (t.end_to_end_reference, t.mandate_reference, t.creditor_id)
    if i % 10 == 1:
        with pytest.raises(ValueError):
            MT940.from_bytes(b"%PDF\x00")
        with pytest.raises(TypeError):
            MT940.from_bytes("text")
        with pytest.raises(ValueError):
            MT940.from_bytes(MEMORY_BYTES, resolver="other")


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer holds freed memory"
)
def test_memory_stays_flat():
    churn(10_000)
    gc.collect()
    after_warm_up = resident_bytes()
    churn(190_000)
    gc.collect()
    growth = resident_bytes() - after_warm_up
    # A leak of even one small object per round would add several megabytes.
    assert growth < 2 * 1024 * 1024, f"resident size grew by {growth} bytes"


# Runs in a child whose address space ends just above what it holds before the call.
OUT_OF_MEMORY = """
import resource, sys, tallyfold
one = ":20:A\\n:25:ACC\\n:28C:1\\n:60F:C230101EUR1,00\\n" + ":61:2301010101C1,00NTRFREF\\n:86:details\\n" * 50
text = (one + ":62F:C230101EUR51,00\\n") * 20000
data = text.encode()
size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
limit = size + len(text) // 2
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    tallyfold.{call}
except Exception as error:
    print(type(error).__name__)
"""


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "") or not Path("/proc/self/status").exists(),
    reason="needs a plain allocator and /proc",
)
@pytest.mark.parametrize("call", ["MT940(text)", "MT940.from_bytes(data)"])
def test_running_out_of_memory_raises_memory_error(call):
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY.replace("{call}", call)],
                         capture_output=True, text=True, timeout=120)
    assert (run.stdout, run.returncode) == ("MemoryError\n", 0), run.stderr


# ---------------------------------------------------------------------------------------
# Encoding and size edges

HEADER = ":20:REF\n:25:ACC\n:28C:1\n:60F:C230101EUR10,00\n"
CLOSING = ":62F:C230131EUR11,00\n"


@pytest.mark.parametrize(
    "text, resolver",
    [("\ud800", None), (HEADER + ":86:\udfff\n" + CLOSING, None), (HEADER + CLOSING, "\udc80")],
    ids=["text-alone", "text-inside-details", "resolver"],
)
def test_lone_surrogate_raises_unicode_encode_error(text, resolver):
    with pytest.raises(UnicodeEncodeError):
        MT940(text, resolver)


def test_nul_characters_are_ordinary_text():
    text = (
        ":20:R\x00F\n:25:A\x00B\n:28C:1\n:60F:C230101EUR10,00\n"
        ":61:230101C1,00NTRFX\x00Y\n:86:a\x00b\n" + CLOSING
    )
    document = MT940(text)
    (t,) = document.transactions
    assert (document.account, t.customer_reference, t.details) == ("A\x00B", "X\x00Y", "a\x00b")
    assert (t.purpose, t.structured_details) == ("a\x00b", {"detail": "a\x00b"})
    assert ",X\x00Y," in document.to_csv()  # how each export writes it is the core's to test


# A module with an initial-exec thread-local, as this one has for the decoders' working
# storage, gets its whole thread-local segment placed in the static TLS block that glibc
# keeps spare for modules loaded later: a few hundred bytes shared by every such module.
# A large segment makes `import tallyfold` fail in a process where others took that room
# ("cannot allocate memory in static TLS block"), so thread-local objects stay on the heap.
def test_thread_local_segment_stays_small():
    import struct
    import sys

    import tallyfold

    with open(tallyfold.__file__, "rb") as f:
        image = f.read()
    if sys.platform != "linux" or image[:4] != b"\x7fELF" or image[4] != 2:
        pytest.skip("an ELF64 module only")
    order = "<" if image[5] == 1 else ">"
    (phoff,) = struct.unpack_from(order + "Q", image, 0x20)
    phentsize, phnum = struct.unpack_from(order + "HH", image, 0x36)
    sizes = []
    for i in range(phnum):
        p_type, *_ = struct.unpack_from(order + "I", image, phoff + i * phentsize)
        if p_type == 7:  # PT_TLS
            (memsz,) = struct.unpack_from(order + "Q", image, phoff + i * phentsize + 0x28)
            sizes.append(memsz)
    assert sum(sizes) <= 128, f"thread-local segment of {sum(sizes)} bytes"
