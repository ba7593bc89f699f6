"""The hits-heavy job: 10 motifs of widths 8 to 20 at p = 1e-2 on the 21 Mbp benchmark genome (some
4 million hits). The whole `morvane scan` command against the bare native scan, its peak resident
memory; and the lines per second of the command's BED writer."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from inputs import random_motifs
from harness import Command, Context, Row, fmt_time, hit_lines, race, say
from workloads.scan import BareScan

P = 1e-2
WIDTHS = (8, 9, 10, 12, 13, 14, 16, 17, 18, 20)


def bench_scan_hits(ctx: Context) -> list[Row]:
    say("hits-heavy job: 10 motifs of widths 8 to 20, p = 1e-2, 21 Mbp, both strands ...")
    fasta = ctx.genome(21)
    folder = ctx.folder("hits")
    motifs = random_motifs(ctx.rng, WIDTHS)
    motifs_file = motifs.write_jaspar(folder / "motifs.jaspar")
    out = str(folder / "hits.bed")
    command = Command(fasta, motifs_file, out, "--pvalue", f"{P:g}")
    # the bare scan of the motifs as the command reads them back from the file (its text rounds counts)
    from morvane import read_motifs

    read = read_motifs(motifs_file)
    bare = BareScan(fasta, read, [m.threshold(P) for m in read])
    label = "morvane scan, 10 motifs w8-20, 21 Mbp, p=1e-2, BED out, 1 thread"
    row = Row(label, None, "bare native scan (Scanner over the chunks)", None, "time", 10.0)
    row.ours, row.base = race((command, 2), (bare, 3), warm=False)
    rows = [row, command.memory_row(f"peak RSS, {label.removeprefix('morvane ')}")]
    if command.settle(row):
        hits = hit_lines(out)
        if hits != bare():
            row.checks.append("hit count differs from the bare scan's")
        row.note = f"{hits:,} hits"
        say(f"  {hits:,} hits: the command {fmt_time(row.ours)}, the bare scan {fmt_time(row.base)}")
    else:
        say(f"  the command failed: {command.error}")
    return rows + [bench_writer(ctx, fasta, folder)]


def bench_writer(ctx: Context, fasta: str, folder: Path) -> Row:
    """The command's writer (`morvane.output.HitWriter`) alone, on one core: a million hits as a scan
    gives them (17-digit scores, p-values, windows of 8 to 30 bases) written to /dev/null a table of
    65,536 at a time, as `morvane scan` writes them; beside it, for information, the loop the
    command wrote with before (an f-string per row over columns turned into lists)."""
    hits = writer_table(ctx.rng, WRITER_ROWS)
    with open(os.devnull, "wb") as sink, open(os.devnull, "w") as text:
        ours, before = race((lambda: write_batches(hits, sink), 3), (lambda: old_loop(hits, text), 3))
    row = Row.budget("BED writer of morvane scan (HitWriter), 1 core, per million lines", 1.0)
    row.baseline = "budget of 1 s (1M lines/s)"
    row.ours = ours / WRITER_ROWS * 1e6
    row.note = f"{WRITER_ROWS / ours:,.0f} lines/s; the loop before: {WRITER_ROWS / before:,.0f} lines/s"
    say(f"  writer: {row.note}")
    return row


WRITER_ROWS = 1_000_000


def writer_table(rng: Any, n: int) -> Any:
    import numpy as np
    from morvane.scan import Hits, hits_dtype

    t = np.empty(n, hits_dtype(5, 8, 30, alt_len=8))
    t["chrom"] = np.array(["chr1", "chr2", "chr10"])[rng.integers(0, 3, n)]
    t["start"] = np.sort(rng.integers(0, 250_000_000, n))
    t["end"] = t["start"] + rng.integers(8, 31, n)
    t["motif"] = np.array([f"MA{i:04d}.1" for i in range(100)])[rng.integers(0, 100, n)]
    t["motif_alt"] = np.array([f"TF{i}" for i in range(100)])[rng.integers(0, 100, n)]
    t["score"] = rng.normal(12, 3, n)
    t["strand"] = np.where(rng.random(n) < 0.5, "+", "-")
    t["pvalue"] = 10.0 ** -rng.uniform(3, 9, n)
    t["sequence"] = np.frombuffer(b"ACGT", np.uint8)[rng.integers(0, 4, (n, 30))].view("S30").ravel()
    return t.view(Hits)


def write_batches(hits: Any, sink: Any, batch: int = 1 << 16) -> None:
    from morvane.output import HitWriter

    writer = HitWriter(sink, "bed", False)
    for lo in range(0, len(hits), batch):
        writer.write(hits[lo:lo + batch])


def old_loop(hits: Any, out: Any) -> None:
    rows = zip(*(hits[name].tolist() for name in ("chrom", "start", "end", "motif", "score", "strand", "pvalue",
                                                  "sequence")))
    out.writelines(f"{chrom}\t{start}\t{end}\t{motif}\t{score!r}\t{strand}\t{p:.6g}\t{sequence}\n"
                   for chrom, start, end, motif, score, strand, p, sequence in rows)


WORKLOADS = {"scan_hits": bench_scan_hits}
