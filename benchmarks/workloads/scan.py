"""Genome scans against the peers: the 21 Mbp benchmark genome, both strands, p = 1e-4.

Two paths of the library are timed. The bare scanning path (`BareScan`) is `morvane.scan`'s own
job, the genome's chunks and its chunk loop (`Job`, `Fasta.chunks`, `scan_local`) with the thresholds known and
no table: what fetching, coding and the native scanner cost. The whole job is `morvane.scan` itself
from fresh motifs: thresholds, the hits table and every hit's p-value computed from nothing, as in
a user's first scan. The peers run from their own natural input (peers.py).
"""

from __future__ import annotations

import os
import time
from collections.abc import Sequence
from typing import Any

from inputs import Motifs, jaspar_motifs, random_motifs
from harness import Context, Row, fmt_time, race, say
from peers import Peer, memelite, meme_scan, moods, moods_scan

P = 1e-4


class BareScan:
    """The hits of the library's scanning path over a FASTA, counted, without the hits table."""

    def __init__(self, fasta: str, motifs: Sequence[Any], thresholds: Sequence[float], strand: str = "both") -> None:
        from morvane.scan import Job

        self.fasta = fasta
        self.job = Job("pwm", list(motifs), list(thresholds), strand)

    @classmethod
    def at(cls, fasta: str, motifs: Motifs, p: float) -> BareScan:
        fresh = motifs.fresh()
        return cls(fasta, fresh, [m.threshold(p) for m in fresh])

    def _chunks(self, fasta: Any) -> Any:
        from morvane.scan import CHUNK_SIZE

        return fasta.chunks(None, CHUNK_SIZE, max(self.job.widths) - 1)

    def __call__(self, threads: int = 1) -> int:
        import numpy as np
        from morvane.genome import open_genome
        from morvane.scan import scan_local

        with open_genome(self.fasta) as fasta:
            # no p-values: the scanning path alone
            parts = scan_local(self.job, self._chunks(fasta), threads, lambda hits: np.empty(len(hits)))
            return sum(len(part.hits) for part in parts)

    def fetch_only(self) -> None:
        """The same chunks read and coded, not scanned: the floor of any scan from the file."""
        from morvane.genome import open_genome

        with open_genome(self.fasta) as fasta:
            for _ in self._chunks(fasta):
                pass


def peer_entries(peers: list[Peer], fasta: str, motifs: Motifs, repeat: int, hits: dict[str, int]) -> list[tuple]:
    """Timed entries of each available peer; each call leaves its hit count in hits."""
    entries = []
    for p in peers:
        if p.module is None:
            continue
        scan = moods_scan if p.label.startswith("MOODS") else meme_scan

        def run(p: Peer = p, scan: Any = scan) -> None:
            hits[p.label] = scan(p.module, fasta, motifs, P)

        entries.append((run, repeat))
    return entries


def peer_rows(label: str, ours: float, peers: list[Peer], times: list[float], target: float = 0.5,
              floor: float | None = None) -> list[Row]:
    """One row per peer, its time taken from the front of times (available peers only). A bare scan's
    row that misses says how much of the peer's time fetching and coding alone (floor) take."""
    rows = []
    for p in peers:
        row = Row(label, ours, p.label, None, "time", target)
        if p.module is None:
            row.note = p.why
        else:
            row.base = times.pop(0)
            if floor is not None and not row.within:
                row.note = f"fetch + encode alone are {floor / row.base:.2f}x its time"
        rows.append(row)
    return rows


def counted(hits: dict[str, int], name: str, fn: Any) -> Any:
    def run() -> None:
        hits[name] = fn()

    return run


def bench_scan(ctx: Context) -> list[Row]:
    import morvane

    say("genome scan: 21 Mbp FASTA, both strands, p = 1e-4, end to end from the path ...")
    fasta = ctx.genome(21)
    peers = [moods(), memelite()]
    rows, layer_rows = [], []
    floor = None
    for L in (10, 20, 30):
        motifs = random_motifs(ctx.rng, [L])
        bare = BareScan.at(fasta, motifs, P)
        hits: dict[str, int] = {}

        def whole(motifs: Motifs = motifs) -> int:
            return len(morvane.scan(fasta, motifs.fresh(), pvalue=P))

        entries = [(counted(hits, "bare", bare), 5), (counted(hits, "morvane.scan", whole), 3)]
        if floor is None:
            entries.append((bare.fetch_only, 5))
        entries += peer_entries(peers, fasta, motifs, 3, hits)
        times = race(*entries)
        ours, layer = times.pop(0), times.pop(0)
        if floor is None:
            floor = times.pop(0)
            say(f"  floor: pysam fetch + encode alone take {fmt_time(floor)}")
        say(f"  w{L}: hits " + ", ".join(f"{k} {v}" for k, v in hits.items()))
        rows += peer_rows(f"scan 21 Mbp, both strands, p=1e-4, w{L}", ours, peers, list(times), floor=floor)
        layer_rows += peer_rows(f"morvane.scan, fresh motif, p-value per hit, w{L}", layer, peers, times)
    rows += layer_rows

    many, why = jaspar_motifs(100)
    if many is None:
        many = random_motifs(ctx.rng, ctx.rng.integers(8, 31, 100))
        why += f"; {many.source} of widths 8 to 30 instead"
    say(f"genome scan: 100 motifs, {why or many.source} (the peers run once each) ...")
    bare = BareScan.at(fasta, many, P)
    cores = os.cpu_count() or 1
    hits = {}

    def whole_job(threads: int) -> int:
        return len(morvane.scan(fasta, many.fresh(), pvalue=P, threads=threads))

    entries = [(counted(hits, "bare", bare), 2),
               (counted(hits, "morvane.scan threads=1", lambda: whole_job(1)), 2),
               (counted(hits, f"morvane.scan threads={cores}", lambda: whole_job(cores)), 2)]
    entries += peer_entries(peers, fasta, many, 1, hits)
    times = race(*entries, warm=False)
    ours, whole, whole_all = times.pop(0), times.pop(0), times.pop(0)
    say("  hits " + ", ".join(f"{k} {v}" for k, v in hits.items()))
    rows += peer_rows("scan 21 Mbp, both strands, p=1e-4, 100 motifs", ours, peers, list(times), floor=floor)
    # The whole job against each peer as it runs by default: MOODS on one thread, memelite's numba
    # loops on every core.
    rows += peer_rows("morvane.scan, fresh motifs, p-value per hit, 100 motifs, threads=1", whole, peers[:1], times)
    rows += peer_rows(f"morvane.scan, fresh motifs, p-value per hit, 100 motifs, threads={cores}", whole_all,
                      peers[1:], times)

    # The chunk loop reads in the calling thread and scores in the pool, so the more work a chunk
    # holds the nearer two threads come to twice as fast. The target is on the 100-motif scan; 20
    # motifs are shown beside it for information.
    for label, scan, target in (("scan 21 Mbp, 100 motifs, threads=2", bare, 1.7),
                                ("scan 21 Mbp, 20 motifs, threads=2",
                                 BareScan.at(fasta, random_motifs(ctx.rng, ctx.rng.integers(8, 31, 20)), P), None)):
        say(f"genome scan: {label} against threads=1 ...")
        row = Row(label, None, "threads=1", None, "faster", target)
        row.ours, row.base = race((lambda s=scan: s(threads=2), 3), (lambda s=scan: s(threads=1), 3))
        # On a shared machine two threads get two cores only when nobody else wants them.
        wall, cpu = time.perf_counter(), time.process_time()
        scan(threads=2)
        share = (time.process_time() - cpu) / (time.perf_counter() - wall)
        row.note = f"the 2 threads got {share:.2f} CPUs; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
        say("  " + row.note)
        rows.append(row)
    return rows


def bench_scan_layer(ctx: Context) -> list[Row]:
    """morvane.scan, the hits table with p-values included, against the bare chunked scan."""
    import morvane
    import pysam
    from Bio.motifs.matrix import PositionSpecificScoringMatrix
    from Bio.Seq import Seq
    from inputs import write_genome

    say("morvane.scan: 3 motifs of width 20, both strands of a 10 Mbp FASTA ...")
    chroms = {"chr1": 6_000_000, "chr2": 4_000_000}
    path = ctx.folder("layer") / "genome.fa"
    write_genome(ctx.rng, path, chroms)
    pysam.faidx(str(path))
    fasta = str(path)
    motifs = [morvane.Motif.from_counts(ctx.rng.integers(0, 30, (4, 20)) + 0.5, name=f"m{k}") for k in range(3)]
    cuts = [m.threshold(P) for m in motifs]
    bare = BareScan(fasta, motifs, cuts)
    bio = [PositionSpecificScoringMatrix("ACGT", {b: list(m.pwm.pssm[r]) for b, r in zip("ACGT", (0, 2, 3, 1))})
           for m in motifs]

    def biopython() -> int:
        with pysam.FastaFile(fasta) as fa:
            texts = [Seq(fa.fetch(c).upper()) for c in chroms]
        return sum(len(list(p.search(t, threshold=c, both=True))) for p, c in zip(bio, cuts) for t in texts)

    label = "morvane.scan (3 x w20, 10 Mbp, both strands)"
    row_floor = Row(label, None, "chunked Scanner.scan alone (no table)", None, "time", 1.25)
    row_bio = Row(label, None, "Biopython search(both=True) per motif", None, "faster", None)
    row_floor.ours, row_floor.base, row_bio.base = race(
        (lambda: morvane.scan(fasta, motifs, threshold=cuts), 5), (bare, 5), (biopython, 1))
    row_bio.ours = row_floor.ours
    if len(morvane.scan(fasta, motifs, threshold=cuts)) != bare():
        row_floor.checks.append("hit count differs from the bare scan's")
    return [row_floor, row_bio]


WORKLOADS = {"scan": bench_scan, "scan_layer": bench_scan_layer}
