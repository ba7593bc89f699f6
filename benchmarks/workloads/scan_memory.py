"""Peak resident memory of scans in child processes (harness.run_child): the bare scanning path and
the whole `morvane scan` command on a 100 Mbp FASTA, and the command streaming the hits of a
generated genome of 500 Mbp to a file."""

from __future__ import annotations

import os
import shutil
import time
from pathlib import Path

import numpy as np
from inputs import random_motifs, scan_genome
from harness import SEED, Command, Context, Row, fmt_time, hit_lines, run_child, say

# The bare scanning path of workloads/scan.py in a child: 100 random motifs of widths 8 to 30.
BARE_CHILD = """
import numpy as np
from inputs import random_motifs
from workloads.scan import BareScan
rng = np.random.default_rng(int(sys.argv[2]))
print(BareScan.at(sys.argv[1], random_motifs(rng, rng.integers(8, 31, 100)), 1e-4)())
"""


def command_row(label: str, budget: float, fasta: str, motifs_file: str, out: Path, *options: str) -> Row:
    """The peak RSS of one run of `morvane scan FASTA MOTIFS -o OUT --quiet OPTIONS` against a budget."""
    command = Command(fasta, motifs_file, str(out), *options)
    command()
    row = command.memory_row(label, budget)
    if not command.error:
        row.note = f"{hit_lines(str(out)):,} hits in {fmt_time(command.runs[0].seconds)}"
    say(f"  {label}: {row.status_text()}, peak RSS {(row.ours or 0) / 1e6:.0f} MB")
    return row


def bench_scan_memory(ctx: Context) -> list[Row]:
    say("genome scan: peak memory, 100 Mbp FASTA, 100 motifs (child processes) ...")
    fasta = ctx.genome(100)
    rows = []
    label = "peak RSS, scan 100 Mbp FASTA, 100 motifs"
    row = Row.budget(label, 500e6, "B")
    t0 = time.perf_counter()
    run = run_child(BARE_CHILD, fasta, str(SEED))
    if run.peak is None:
        row.note = f"child failed: {run.error}"
    else:
        row.ours = run.peak
        say(f"  {label}: {run.stdout.strip()} hits in {time.perf_counter() - t0:.1f} s, peak RSS {run.peak / 1e6:.0f} MB")
    rows.append(row)

    folder = ctx.folder("memory")
    motifs = random_motifs(np.random.default_rng(SEED), np.random.default_rng(SEED).integers(8, 31, 100))
    motifs_file = motifs.write_jaspar(folder / "motifs.jaspar")
    rows.append(command_row("peak RSS, morvane scan 100 Mbp FASTA, 100 motifs, p-values, BED out", 500e6, fasta,
                            motifs_file, folder / "hits.bed", "--threads", str(os.cpu_count() or 1)))
    (folder / "hits.bed").unlink(missing_ok=True)
    return rows


def bench_scan_memory_500(ctx: Context) -> list[Row]:
    """A genome too large for memory as text or hits: generated here, deleted after."""
    folder = ctx.folder("genome500")
    try:
        say("genome scan: peak memory, generated 500 Mbp FASTA, 100 motifs, p = 1e-4, BED out ...")
        t0 = time.perf_counter()
        fasta = scan_genome(np.random.default_rng(SEED + 500), folder, 500, records=5)
        say(f"  500 Mbp FASTA written and indexed in {time.perf_counter() - t0:.0f} s")
        rng = np.random.default_rng(SEED + 1)
        motifs_file = random_motifs(rng, rng.integers(8, 31, 100)).write_jaspar(folder / "motifs.jaspar")
        return [command_row("peak RSS, morvane scan 500 Mbp FASTA, 100 motifs, p=1e-4, BED out", 1e9, fasta,
                            motifs_file, folder / "hits.bed", "--pvalue", "1e-4")]
    finally:
        shutil.rmtree(folder, ignore_errors=True)


WORKLOADS = {"scan_memory": bench_scan_memory, "scan_memory_500": bench_scan_memory_500}
