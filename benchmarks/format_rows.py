"""Nanoseconds a row of `morvane._scan.format_rows` takes, each kind of piece alone and whole BED
rows as `morvane scan` writes them, best of several rounds on 65,536 rows; and a table of 65,536
hits (bytes columns, as the command has them) written as BED through the command's writer (`HitWriter`, which makes rows a slice at a time).

`--against PYTHON` times another installed build too (another worktree's .venv/bin/python), the
two taking turns round by round in fresh interpreters, and prints each row's ratio:

    .venv/bin/python benchmarks/format_rows.py --against /work/main/.venv/bin/python
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

N = 1 << 16
REPEATS = 10


def measure() -> dict[str, float]:
    import numpy as np

    from morvane._scan import format_rows
    from morvane.output import HitWriter
    from morvane.scan import Columns
    from workloads.hits import writer_table

    rng = np.random.default_rng(0)
    starts = rng.integers(0, 2 * 10 ** 8, N)
    ends = starts + rng.integers(8, 31, N)
    bed_score = rng.integers(0, 1001, N)
    scores = rng.normal(10, 3, N)                     # 17-digit log-odds scores
    pvalues = 10 ** rng.uniform(-7, -3, N)
    gff_scores = -10 * np.log10(pvalues)
    names = np.array([b"MA0001.1"] * N, "S10")
    chrom = np.array([b"chr1"] * N, "S5")
    strand = np.array([b"+"] * N, "S1")
    seq = np.array([b"ACGTACGTACGTAC"] * N, "S30")
    tab = b"\t"
    bed = [(chrom, 1), tab, (starts, 0), tab, (ends, 0), tab, (names, 3), tab, (bed_score, 0), tab, (strand, 0), tab,
           (starts, 0), tab, (ends, 0), b"\t0\t", (names, 3), tab, (scores, 0), tab, (pvalues, 6), tab, (seq, 0),
           b"\n"]
    cases = {
        "int (start)": [(starts, 0), b"\n"],
        "repr (score)": [(scores, 0), b"\n"],
        "%.6g (p-value)": [(pvalues, 6), b"\n"],
        "%.3g (GFF score)": [(gff_scores, 3), b"\n"],
        "word (BED name)": [(names, 3), b"\n"],
        "field (FIMO name)": [(names, 1), b"\n"],
        "raw (sequence)": [(seq, 0), b"\n"],
        "BED row": bed,
    }
    calls = {label: (lambda pieces=pieces: format_rows(pieces, N)) for label, pieces in cases.items()}
    hits = writer_table(rng, N)        # as the command hands them on: text as UTF-8 bytes
    table = Columns({name: np.char.encode(hits[name]) if hits[name].dtype.kind == "U" else hits[name]
                     for name in hits.dtype.names}, N)
    sink = open(os.devnull, "wb")
    calls["BED writer"] = lambda: HitWriter(sink, "bed", False).write(table)
    out = {}
    for label, call in calls.items():
        call()
        best = float("inf")
        for _ in range(REPEATS):
            t0 = time.perf_counter()
            call()
            best = min(best, time.perf_counter() - t0)
        out[label] = best / N * 1e9
    sink.close()
    return out


def child(python: str) -> dict[str, float]:
    text = subprocess.run([python, __file__, "--child"], check=True, capture_output=True, text=True).stdout
    return dict(json.loads(text))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--against", metavar="PYTHON", help="another build's interpreter, timed in turn")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure()))
        return
    sides = [sys.executable] + ([args.against] if args.against else [])
    best: list[dict[str, float]] = [{} for _ in sides]
    for _ in range(args.rounds):
        for side, python in enumerate(sides):
            for label, ns in child(python).items():
                best[side][label] = min(ns, best[side].get(label, ns))
    head = f"{'ns/row':20s} {'this':>8s}" + (f" {'against':>8s} {'ratio':>7s}" if args.against else "")
    print(head)
    for label, ns in best[0].items():
        line = f"{label:20s} {ns:8.1f}"
        if args.against:
            base = best[1][label]
            line += f" {base:8.1f} {base / ns:6.2f}x"
        print(line)


if __name__ == "__main__":
    main()
