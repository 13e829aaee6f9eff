#!/usr/bin/env python3
"""Seeded generator of realistic MT940 statement texts for the benchmarks.

The same seed and size always give the same bytes. The text holds several statements
with a few hundred transactions each; the :86: details mix the four layouts a parser
meets in practice (slash segments, German "?nn" subfields, angular "<nn"/"^nn"
subfields, prose), many split over several lines, and the :61: lines mix entry dates,
reversals, funds codes, bank references and supplementary details. Balances add up.

Beside the text, `<output>.manifest` records what was generated (key=value lines), so
the benchmark programs can check a parse before timing it.

Usage: generate.py --size 10M --seed 1 --output build/bench/data/10M.sta
"""

import argparse
import datetime
import os
import random
import sys

LAYOUTS = ("swift", "gvc", "angular", "prose")

FIRST_NAMES = ["Anna", "Jonas", "Marie", "Lukas", "Sofia", "Elias", "Emma", "Noah", "Lea",
               "Felix", "Jörg", "Zoë", "Björn", "Ana Lucía", "Łukasz", "Søren"]
LAST_NAMES = ["Müller", "Schmidt", "Weber", "Fischer", "Becker", "Hoffmann", "Schäfer",
              "Koch", "Richter", "Wagner", "Dubois", "García", "Nowak", "Jensen"]
COMPANIES = ["Stadtwerke Nordhafen GmbH", "ACME Bürobedarf AG", "Lindenhof Immobilien KG",
             "Kraftstrom Versorgung", "Bäckerei Sonnenkorn", "Telekabel Nord GmbH",
             "Versicherung Alte Mühle", "Fahrradhaus Rückenwind", "Grünblatt Gartenbau",
             "NORDLICHT LOGISTIK SE", "Café Milchbart", "Orion Software Ltd"]
PURPOSES = ["Rechnung {n} vom {d}", "Invoice {n} dated {d}", "Abschlag Strom {m}",
            "Miete {m} Whg. {k}", "Beitrag Mitgliedschaft {m}", "Gehalt {m}",
            "Lastschrift Vertrag {n}", "Kundennummer {k} Auftrag {n}", "Erstattung {n}",
            "Order {n} thank you for your purchase", "Überweisung Nachzahlung {d}"]
PROSE = ["CARD PAYMENT {d} COFFEE SHOP HARBOUR STREET", "Bargeldauszahlung Automat {k}",
         "Kontoführungsgebühr {m}", "Zinsen für den Zeitraum bis {d}",
         "STANDING ORDER {n} RENT {m}", "Payment received with thanks, ref. {n}",
         "Gutschrift aus Rückbuchung vom {d}", "SALARY {m} EMPLOYER {k}",
         "Transfer between own accounts {n}", "Entgelt für Überweisungen {m}"]
GVC_TEXTS = [("166", "GUTSCHRIFT"), ("105", "BASISLASTSCHRIFT"), ("116", "SEPA-UEBERWEISUNG"),
             ("152", "DAUERAUFTRAG"), ("177", "ONLINE-UEBERWEISUNG"), ("835", "ENTGELT")]
ANGULAR_CODES = [("020", "TRANSFER"), ("051", "DIRECT DEBIT"), ("071", "CARD PAYMENT"),
                 ("105", "STANDING ORDER")]
BICS = ["COBADEFFXXX", "DEUTDEFF500", "BYLADEM1001", "NWBKGB2LXXX", "INGDDEFFXXX", "GENODEF1S04"]
MONTHS = ["Januar", "Februar", "März", "April", "Mai", "Juni", "Juli", "August", "September",
          "Oktober", "November", "Dezember"]
LINE = 65  # the usual width of an MT940 text line


def parse_size(text):
    """'10M' -> 10_000_000, '256K' -> 256_000, '1234' -> 1234."""
    units = {"K": 10**3, "M": 10**6, "G": 10**9}
    text = text.strip().upper().rstrip("B")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def amount_text(cents):
    """Decimal-comma amount; some written with one or no fraction digit."""
    whole, frac = divmod(cents, 100)
    if frac == 0:
        return f"{whole},"
    if frac % 10 == 0:
        return f"{whole},{frac // 10}"
    return f"{whole},{frac:02d}"


def split_lines(text, width):
    return [text[i:i + width] for i in range(0, len(text), width)] or [""]


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.counts = {"statements": 0, "transactions": 0, "details": 0}
        for layout in LAYOUTS:
            self.counts[layout] = 0

    # Small pieces -------------------------------------------------------------------

    def iban(self):
        r = self.rng
        country = r.choice(["DE", "DE", "DE", "AT", "NL", "GB"])
        return f"{country}{r.randint(10, 99)}" + "".join(str(r.randint(0, 9)) for _ in range(18))

    def person(self):
        return f"{self.rng.choice(FIRST_NAMES)} {self.rng.choice(LAST_NAMES)}"

    def party(self):
        return self.rng.choice(COMPANIES) if self.rng.random() < 0.6 else self.person()

    def fill(self, template, day):
        r = self.rng
        return template.format(n=r.randint(1000, 999999), d=day.strftime("%d.%m.%Y"),
                               m=f"{r.choice(MONTHS)} {day.year}", k=r.randint(10, 9999))

    # Details layouts ----------------------------------------------------------------

    def swift_details(self, day):
        r = self.rng
        parts = [f"/EREF/{r.choice(['NOTPROVIDED', f'E2E-{r.randint(10**6, 10**9)}'])}"]
        if r.random() < 0.4:
            parts.append(f"/MREF/M-{day.year}-{r.randint(1, 99999):05d}")
        if r.random() < 0.3:
            parts.append(f"/CRED/DE{r.randint(10, 99)}ZZZ{r.randint(10**7, 10**8 - 1)}")
        parts.append(f"/NAME/{self.party()}")
        parts.append(f"/IBAN/{self.iban()}")
        if r.random() < 0.7:
            parts.append(f"/BIC/{r.choice(BICS)}")
        parts.append(f"/REMI/{self.fill(r.choice(PURPOSES), day)}")
        # Segments on their own lines, long ones wrapped at the usual width.
        lines = []
        for part in parts:
            lines.extend(split_lines(part, LINE))
        return lines

    def gvc_details(self, day):
        r = self.rng
        code, label = r.choice(GVC_TEXTS)
        fields = [f"?00{label}", f"?10{r.randint(1000, 9999)}"]
        purpose = f"EREF+{r.randint(10**8, 10**9)} SVWZ+{self.fill(r.choice(PURPOSES), day)}"
        pieces = split_lines(purpose, 27)[:6]
        fields += [f"?{20 + i}{piece}" for i, piece in enumerate(pieces)]
        fields += [f"?30{r.choice(BICS)}", f"?31{self.iban()}"]
        name = self.party()
        fields.append(f"?32{name[:27]}")
        if len(name) > 27:
            fields.append(f"?33{name[27:]}")
        fields.append(f"?34{r.randint(0, 999):03d}")
        # Banks break these either between subfields or at a fixed width.
        text = code + "".join(fields)
        if r.random() < 0.5:
            lines, current = [], ""
            for field in [code] + fields:
                if current and len(current) + len(field) > LINE:
                    lines.append(current)
                    current = ""
                current += field
            return lines + [current]
        return split_lines(text, LINE)

    def angular_details(self, day):
        r = self.rng
        code, label = r.choice(ANGULAR_CODES)
        mark = "<" if r.random() < 0.6 else "^"
        fields = [f"{mark}00{label}", f"{mark}20{self.fill(r.choice(PURPOSES), day)}"[:30]]
        if r.random() < 0.5:
            fields.append(f"{mark}21REF {r.randint(10**5, 10**6)}")
        fields += [f"{mark}27{self.party()}", f"{mark}30{r.choice(BICS)}",
                   f"{mark}31{self.iban()}"]
        return split_lines(code + "".join(fields), LINE)

    def prose_details(self, day):
        text = self.fill(self.rng.choice(PROSE), day)
        if self.rng.random() < 0.4:
            text += " " + self.fill(self.rng.choice(PROSE), day)
        return split_lines(text, LINE)

    # Records --------------------------------------------------------------------------

    def statement_line(self, day, value_cents):
        """One :61: field (possibly two lines) and its signed amount in cents."""
        r = self.rng
        roll = r.random()
        if roll < 0.03:
            mark, sign = "RC", -1
        elif roll < 0.06:
            mark, sign = "RD", 1
        elif roll < 0.55:
            mark, sign = "D", -1
        else:
            mark, sign = "C", 1
        funds = r.choice("RDC") if mark in ("C", "D") and r.random() < 0.1 else ""
        entry = ""
        if r.random() < 0.7:
            booked = day + datetime.timedelta(days=r.choice([0, 0, 0, 1, 2]))
            entry = booked.strftime("%m%d")
        ttype = r.choice(["NTRF", "NTRF", "NDDT", "NMSC", "NCHG", "FTRF", "NSTO"])
        reference = r.choice(["NONREF", "NONREF", f"{r.randint(10**7, 10**9)}", f"INV{r.randint(1, 99999)}"])
        bank = f"//{r.randint(10**9, 10**12)}" if r.random() < 0.6 else ""
        first = f"{day.strftime('%y%m%d')}{entry}{mark}{funds}{amount_text(value_cents)}{ttype}{reference}{bank}"
        lines = [first]
        if r.random() < 0.15:
            lines.append(r.choice(["SEPA CREDIT TRANSFER", "CARD 1234XXXX5678", f"BATCH {r.randint(1, 9999)}"]))
        return lines, sign * value_cents

    def details(self, day):
        layout = self.rng.choices(LAYOUTS, weights=(35, 30, 15, 20))[0]
        self.counts[layout] += 1
        return getattr(self, f"{layout}_details")(day)

    def balance(self, tag, cents, day, currency):
        mark = "C" if cents >= 0 else "D"
        return f"{tag}{mark}{day.strftime('%y%m%d')}{currency}{abs(cents) // 100},{abs(cents) % 100:02d}"

    def statement(self, number, day):
        r = self.rng
        currency = r.choice(["EUR", "EUR", "EUR", "USD", "CHF"])
        account = r.choice([self.iban(), f"{r.randint(10**7, 10**8 - 1)}/{r.randint(10**9, 10**10 - 1)}"])
        balance = r.randint(-500000, 5000000)
        out = []
        if number == 1:
            # A block header line before the first field is skipped by readers; anywhere
            # else it would continue the previous statement's last field.
            out.append(f"{{1:F01{r.choice(BICS)[:8]}AXXX{r.randint(10**9, 10**10 - 1)}}}"
                       "{2:O940}{4:")
        out.append(f":20:STMT{day.strftime('%Y%m%d')}{number:05d}")
        if r.random() < 0.3:
            out.append(f":21:REL{r.randint(1000, 9999)}")
        out.append(f":25:{account}")
        out.append(f":28C:{number % 1000:05d}/{r.randint(1, 3):03d}")
        out.append(self.balance(":60F:", balance, day, currency))
        count = r.randint(150, 450)
        for _ in range(count):
            if r.random() < 0.08:
                day += datetime.timedelta(days=1)
            lines, signed = self.statement_line(day, r.choice([r.randint(1, 10000), r.randint(1, 5000000)]))
            balance += signed
            out.append(":61:" + lines[0])
            out.extend(lines[1:])
            if r.random() < 0.95:
                self.counts["details"] += 1
                details = self.details(day)
                out.append(":86:" + details[0])
                out.extend(details[1:])
        out.append(self.balance(":62F:", balance, day, currency))
        if r.random() < 0.7:
            out.append(self.balance(":64:", balance, day, currency))
        if r.random() < 0.4:
            out.append(self.balance(":65:", balance, day + datetime.timedelta(days=1), currency))
        if r.random() < 0.2:
            out.append(":86:" + self.fill(r.choice(PROSE), day))
        self.counts["statements"] += 1
        self.counts["transactions"] += count
        return out, day

    def text(self, size):
        parts, total, day, number = [], 0, datetime.date(2023, 1, 2), 1
        newline = "\r\n" if self.rng.random() < 0.5 else "\n"
        while total < size:
            lines, day = self.statement(number, day)
            block = newline.join(lines) + newline
            parts.append(block)
            total += len(block.encode("utf-8"))
            number += 1
            day += datetime.timedelta(days=1)
            if day.year > 2025:  # two-digit years: stay clear of the century pivot
                day = datetime.date(2023, 1, 2)
        return "".join(parts)


def generate(size, seed=1):
    """Returns (text, counts) for a text of at least `size` UTF-8 bytes."""
    gen = Generator(seed)
    text = gen.text(size)
    counts = dict(gen.counts)
    counts["bytes"] = len(text.encode("utf-8"))
    return text, counts


def write(path, size, seed=1):
    """Writes the text and its manifest unless an identical pair exists already."""
    manifest = path + ".manifest"
    wanted = f"size={size}\nseed={seed}\n"
    if os.path.exists(path) and os.path.exists(manifest):
        with open(manifest, encoding="utf-8") as f:
            if f.read().startswith(wanted):
                return
    text, counts = generate(size, seed)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text.encode("utf-8"))
    with open(manifest, "w", encoding="utf-8") as f:
        f.write(wanted + "".join(f"{k}={v}\n" for k, v in counts.items()))


def read_manifest(path):
    with open(path + ".manifest", encoding="utf-8") as f:
        return {k: int(v) for k, v in (line.strip().split("=", 1) for line in f if "=" in line)}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="10M", help="at least this many bytes (K, M, G suffixes)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", "-o", required=True)
    args = parser.parse_args(argv)
    write(args.output, parse_size(args.size), args.seed)
    print(" ".join(f"{k}={v}" for k, v in read_manifest(args.output).items()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
