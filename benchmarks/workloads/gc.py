"""GC content of BED regions: `get_gc_content` against a per-character loop in Python and against
pysam's fetches alone."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from inputs import write_genome
from harness import Context, Row, race, say


class Region(NamedTuple):
    chrom: str
    start: int
    end: int


def gc_python_loop(regions: list[Region], fasta: str) -> float:
    import pysam

    gc_count, total = 0, 0
    with pysam.FastaFile(fasta) as fa:
        for region in regions:
            seq = fa.fetch(region.chrom, region.start, region.end)
            gc_count += sum([1 for nuc in seq if nuc == "G" or nuc == "g" or nuc == "C" or nuc == "c"])
            total += region.end - region.start
    return gc_count / float(total)


def fetch_only(regions: list[Region], fasta: str) -> None:
    import pysam

    with pysam.FastaFile(fasta) as fa:
        for region in regions:
            fa.fetch(region.chrom, region.start, region.end)


def bench_gc(ctx: Context) -> list[Row]:
    import pysam

    S, rng = ctx.S, ctx.rng
    say("get_gc_content: 10,000 regions of 1 kbp of a 10 Mbp FASTA ...")
    chroms = {"chr1": 4_000_000, "chr2": 3_000_000, "chr3": 2_000_000, "chr4": 1_000_000}
    path = ctx.folder("gc") / "genome.fa"
    write_genome(rng, path, chroms)
    pysam.faidx(str(path))
    names = list(chroms)
    sizes = np.array([chroms[c] for c in names], dtype=np.float64)
    shuffled = []
    for c in rng.choice(len(names), 10_000, p=sizes / sizes.sum()):
        start = int(rng.integers(0, chroms[names[c]] - 1000))
        shuffled.append(Region(names[c], start, start + 1000))
    fasta = str(path)

    # Region lists usually come in coordinate order, as sorted BED files do. In random order almost
    # every fetch makes htslib read a fresh 64 KiB block, and the fetches alone then cap what any
    # implementation can gain over the loop; that case is shown without a target.
    rows = []
    for order, regions in (("in coordinate order", sorted(shuffled)), ("in random order", shuffled)):
        targets = (20.0, 1.5) if order == "in coordinate order" else (None, None)
        label = f"get_gc_content (10k x 1 kbp, {order})"
        row_loop = Row(label, None, "Python per-character loop", None, "faster", targets[0])
        row_fetch = Row(label, None, "pysam fetch alone", None, "time", targets[1])
        row_loop.ours, row_fetch.base, row_loop.base = race(
            (lambda: S.get_gc_content(regions, fasta), 9),
            (lambda: fetch_only(regions, fasta), 9),
            (lambda: gc_python_loop(regions, fasta), 3),
        )
        row_fetch.ours = row_loop.ours
        if S.get_gc_content(regions, fasta) != gc_python_loop(regions, fasta):
            row_loop.checks.append("GC fraction differs from the loop's")
        # Every region has to go through fetch, so nothing can beat the loop by more than this.
        ceiling = row_loop.base / row_fetch.base
        say(f"  {order}: ceiling for any code that fetches each region: loop / fetch alone = {ceiling:.2f}x")
        if row_loop.target is None:
            row_loop.note = f"fetch-bound: at most {ceiling:.1f}x"
        rows += [row_loop, row_fetch]
    return rows


WORKLOADS = {"gc": bench_gc}
