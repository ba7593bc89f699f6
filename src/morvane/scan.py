"""Scan a genome for motif hits: `morvane.scan(genome, motifs, ...)`.

This module is itself callable: `morvane.scan(...)` is `morvane.scan.scan(...)`.

Every record (or every given region) is read in chunks that overlap by
width - 1 bases, so memory depends on the chunk size, not on the genome; each
chunk is scored for all motifs on both strands in one native call
(`morvane._scan.Scanner`), which releases the GIL, and only the hits come back.

Coordinates are BED: 0-based, half-open, forward-strand for both strands. A hit
on '-' at start 100, end 117 is the reverse complement of forward bases
100 to 116; its `sequence` is that reverse complement, as read on '-'.
"""

import os
import sys
import types
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from .genome import chunk_intervals, genome_background, open_genome, read_regions, whole_records
from .motifs import Background, Motif, as_background
from .stats import bh_qvalues, prepare_all

DEFAULT_PVALUE = 1e-4
CHUNK_SIZE = 1 << 20            # bases owned by one chunk: about 1 MiB of codes
STRANDS = {"+": (1,), "-": (-1,), "both": (1, -1)}
MODELS = ("pwm", "dwm")


class Hits(np.ndarray[Any, np.dtype[np.void]]):
    """Scan hits: a NumPy structured array with the columns chrom, start, end,
    motif, score, strand, pvalue, sequence, in genome order."""

    def to_dataframe(self) -> Any:
        """The hits as a pandas DataFrame (needs pandas)."""
        import pandas as pd
        return pd.DataFrame({name: np.asarray(self[name]) for name in self.dtype.names or ()})


def hits_dtype(chrom_len: int = 1, motif_len: int = 1, width: int = 1,
               qvalue: bool = False) -> np.dtype[np.void]:
    return np.dtype([("chrom", f"U{max(chrom_len, 1)}"), ("start", np.int64), ("end", np.int64),
                     ("motif", f"U{max(motif_len, 1)}"), ("score", np.float64),
                     ("strand", "U1"), ("pvalue", np.float64), ("sequence", f"U{max(width, 1)}")]
                    + ([("qvalue", np.float64)] if qvalue else []))


def scan(genome: str | os.PathLike[str] | Any, motifs: Motif | Iterable[Motif], *,
         pvalue: float | None = None, threshold: float | Sequence[float] | None = None,
         regions: str | os.PathLike[str] | Iterable[Any] | None = None, strand: str = "both",
         model: str = "pwm", background: Background = None, threads: int = 1,
         client: Any = None, chunk_size: int = CHUNK_SIZE, progress: bool = False,
         qvalue: bool = False) -> Hits:
    """Every window of `genome` scoring at or above each motif's threshold.

    genome: a FASTA path (plain, bgzip or gzip; a pipe or FIFO too), "-" for standard input, or
        an open pysam.FastaFile (see docs/inputs.md for how each is read).
    motifs: a Motif or a list of them (see morvane.read_motifs).
    pvalue / threshold: the cut-off, as a p-value (per motif, through its exact
        score distribution) or as a score (one number, or one per motif). With
        neither, pvalue=1e-4. Giving both is an error.
    regions: a BED path or a list of intervals (objects with chrom, start, end, or
        (chrom, start, end) tuples). Regions past a record's end are clipped to it;
        overlapping or touching regions are merged: windows must lie inside their union. An
        unknown chromosome is an error.
    strand: "+", "-" or "both". model: "pwm", or "dwm" (motifs built from sites).
    background: None keeps each motif's own; "uniform", four probabilities (A, C,
        G, T) or "genome" (measured once over every record, both strands) replaces it.
    threads: chunks scored by that many threads. client: a dask.distributed Client
        to spread the chunks over (same hits, same order).
    progress: a tqdm bar on stderr.
    qvalue: add a `qvalue` column: Benjamini-Hochberg over every window tested for
        that motif in this scan (each strand's N-free windows), by `stats.bh_qvalues`.

    Returns `Hits`, ordered by record (or region), start, motif, then '+' before '-'.
    Scores are exactly the doubles `score_sequence` of the module gives for each window
    on its strand. A window holding anything but A, C, G, T (any case) is never a hit.
    """
    (table,) = _run(genome, motifs, pvalue, threshold, regions, strand, model, background, threads,
                    client, chunk_size, progress, qvalue, None)
    return table


def iter_hits(genome: str | os.PathLike[str] | Any, motifs: Motif | Iterable[Motif], *,
              pvalue: float | None = None, threshold: float | Sequence[float] | None = None,
              regions: str | os.PathLike[str] | Iterable[Any] | None = None, strand: str = "both",
              model: str = "pwm", background: Background = None, threads: int = 1,
              client: Any = None, chunk_size: int = CHUNK_SIZE, progress: bool = False,
              qvalue: bool = False, batch: int = 1 << 16) -> Iterator[Hits]:
    """The hits of `scan` with the same arguments, in its order, as tables of `batch` rows (the
    last may hold fewer; none when nothing is found). The hits are kept compact meanwhile (some 60
    bytes each, against some 100 to 200 in a table), so a genome's worth of them fits where its
    table would not. The scan itself runs when the first table is asked for."""
    if batch < 1:
        raise ValueError("batch must be at least 1")
    return _run(genome, motifs, pvalue, threshold, regions, strand, model, background, threads,
                client, chunk_size, progress, qvalue, batch)


def _run(genome, motifs, pvalue, threshold, regions, strand, model, background, threads, client,
         chunk_size, progress, qvalue, batch):
    """Tables of hits: all in one when batch is None, else of at least `batch` hits each."""
    motifs = [motifs] if isinstance(motifs, Motif) else list(motifs)
    if not motifs:
        raise ValueError("no motifs to scan")
    if pvalue is not None and threshold is not None:
        raise ValueError("give pvalue or threshold, not both")
    if strand not in STRANDS:
        raise ValueError(f"strand must be '+', '-' or 'both', got {strand!r}")
    if model not in MODELS:
        raise ValueError(f"model must be 'pwm' or 'dwm', got {model!r}")
    if model == "dwm":
        for motif in motifs:
            motif._needs_dwm()
    if chunk_size < 1 or threads < 1:
        raise ValueError("chunk_size and threads must be at least 1")
    if pvalue is None and threshold is None:
        pvalue = DEFAULT_PVALUE

    with open_genome(genome) as fasta:
        if client is not None and fasta.path is None:
            raise ValueError(f"{fasta.filename} is read in one pass ({fasta.reason}), so Dask workers "
                             "cannot read its chunks by position: give a plain or bgzip FASTA file")
        intervals = read_regions(regions, fasta) if regions is not None else None
        if background is not None:
            if isinstance(background, str) and background == "genome":
                background = genome_background(fasta)
            background = as_background(background)
            motifs = [motif.with_background(background) for motif in motifs]
        job = Job(model, motifs, cutoffs(motifs, model, pvalue, threshold, threads), strand)
        prepared = prepare_pvalues(motifs, job.thresholds) if model == "pwm" else None
        overlap = max(job.widths) - 1
        bar = _progress(progress, fasta.total_bases(intervals))
        try:
            if client is not None:
                chunks = list(chunk_intervals(whole_records(fasta) if intervals is None else intervals,
                                              chunk_size, overlap))
                parts = scan_dask(job, fasta.path, chunks, client, bar)
            else:
                parts = scan_local(job, fasta.chunks(intervals, chunk_size, overlap), threads, bar)
            found = Found(parts, job, motifs, model, qvalue, prepared, threads)
            if batch is None:
                yield found.table()
                return
            for lo in range(0, len(found), batch):
                yield found.table(lo, lo + batch)
        finally:
            bar.close()


def cutoffs(motifs, model, pvalue, threshold, threads=1):
    """One score threshold per motif; p-values are turned into scores on `threads` threads."""
    if threshold is not None:
        values = np.asarray(threshold, dtype=np.float64)
        if values.ndim > 1 or values.size not in (1, len(motifs)):
            raise ValueError(f"give one threshold, or one per motif ({len(motifs)}); "
                             f"got {values.size}")
        values = np.broadcast_to(values, (len(motifs),))
        if np.isnan(values).any():
            raise ValueError("a threshold is NaN")
        return [float(v) for v in values]
    if not 0 < pvalue <= 1:
        raise ValueError(f"pvalue must be in (0, 1], got {pvalue!r}")
    def cutoff(motif):
        return float(motif.threshold(pvalue) if model == "pwm" else motif.dwm_threshold(pvalue).value)

    if threads == 1 or len(motifs) == 1:
        return [cutoff(motif) for motif in motifs]
    # the lattices and listings behind a threshold run without the GIL
    with ThreadPoolExecutor(threads) as pool:
        return list(pool.map(cutoff, motifs))


class Job:
    """What every chunk needs. It pickles (for Dask workers) without its native
    scanner, which is rebuilt on arrival; one scanner serves all threads."""

    def __init__(self, model, motifs, thresholds, strand):
        self.model = model
        self.strand = strand
        self.widths = [motif.width for motif in motifs]
        self.thresholds = thresholds
        self.matrices = [motif.pwm.pssm if model == "pwm" else motif.dwm for motif in motifs]
        self._build()

    def _build(self):
        self.scanner = None
        if self.model == "pwm":
            from ._scan import Scanner
            self.scanner = Scanner(self.matrices, self.thresholds, self.strand)
            self.dtype = self.scanner.dtype
        else:
            self.dtype = np.dtype([("motif", np.int32), ("start", np.int64), ("strand", np.int8),
                                   ("score", np.float64), ("window", f"S{max(self.widths)}")])

    def __getstate__(self):
        return {**self.__dict__, "scanner": None}

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._build()

    def scan(self, codes, limit, offset):
        """The hits among the windows of `codes` starting before `limit`, as one array of
        `dtype` (starts plus `offset`), and the windows tested for each motif (N-free ones,
        every strand scanned counted)."""
        if self.scanner is not None:
            return self.scanner.scan(codes, limit, offset)
        return self._dwm_windows(codes, limit, offset)

    def _dwm_windows(self, codes, limit, offset):
        # The module's own scorer on int64 codes of both strands: its exact doubles.
        forward = codes.astype(np.int64)
        reverse = forward[::-1].copy()
        reverse[reverse < 4] ^= 1
        n = len(codes)
        found = []
        tested = np.zeros(len(self.matrices), np.int64)
        for k, (dwm, width, cut) in enumerate(zip(self.matrices, self.widths, self.thresholds)):
            count = min(n - width + 1, limit)
            if count <= 0:
                continue
            half = width // 2
            for sign in STRANDS[self.strand]:
                if sign > 0:
                    scores = dwm.score_sequence(forward)[half:half + count]
                else:
                    # Reverse window r starts at forward n - width - r.
                    scores = dwm.score_sequence(reverse)[half:half + n - width + 1][::-1][:count]
                tested[k] += np.count_nonzero(~np.isnan(scores))
                starts = np.flatnonzero(scores >= cut)
                part = np.zeros(starts.size, self.dtype)
                part["motif"], part["start"], part["strand"], part["score"] = k, starts + offset, sign, scores[starts]
                # each window as read on its strand, upper case (a hit holds no N)
                window = codes[starts[:, None] + np.arange(width)]
                if sign < 0:
                    window = window[:, ::-1] ^ 1
                part["window"] = np.frombuffer(b"ATCG", np.uint8)[window].view(f"S{width}").ravel()
                found.append(part)
        hits = np.concatenate(found) if found else np.empty(0, self.dtype)
        return hits[np.lexsort((-hits["strand"], hits["motif"], hits["start"]))], tested


def groups(labels, n):
    """(label, rows holding it) for each label 0..n-1 of an integer array, rows ascending."""
    # few labels: as 16-bit keys they take NumPy's radix sort
    order = np.argsort(labels.astype(np.uint16) if n <= 1 << 16 else labels, kind="stable")
    counts = np.bincount(labels, minlength=n)
    return ((k, order[end - count:end]) for k, (end, count) in enumerate(zip(np.cumsum(counts), counts)))


def scan_local(job, chunks, threads, bar):
    """(chunk, hits) in chunk order, from (chunk, codes); with threads, a few chunks are scored at once."""
    if threads == 1:
        for chunk, codes in chunks:
            part = job.scan(codes, chunk.limit, chunk.start)
            bar.update(chunk.limit)
            yield chunk, part
        return
    # this thread reads, the pool scores, and at most 2 chunks per thread wait in memory
    with ThreadPoolExecutor(threads) as pool:
        pending = deque()
        for chunk, codes in chunks:
            pending.append((chunk, pool.submit(job.scan, codes, chunk.limit, chunk.start)))
            if len(pending) >= 2 * threads:
                done, future = pending.popleft()
                bar.update(done.limit)
                yield done, future.result()
        while pending:
            done, future = pending.popleft()
            bar.update(done.limit)
            yield done, future.result()


def fetch_and_scan(job, path, chunk):
    """One chunk on a worker: readers do not pickle, so each task opens the file by path."""
    with open_genome(path) as fasta:
        codes = fasta.codes(chunk.chrom, chunk.start, chunk.end)
    return job.scan(codes, chunk.limit, chunk.start)


def scan_dask(job, path, chunks, client, bar):
    if not chunks:
        return
    shared = client.scatter(job, broadcast=True)
    futures = client.map(fetch_and_scan, [shared] * len(chunks), [path] * len(chunks), chunks,
                         pure=False)
    for chunk, future in zip(chunks, futures):
        part = future.result()
        bar.update(chunk.limit)
        yield chunk, part


def prepare_pvalues(motifs, thresholds):
    """Starts, beside the scan, the work the hits' p-values will need (every hit scores at or above
    its motif's threshold), so that they are read off once the scan is done: a Future."""
    pool = ThreadPoolExecutor(1)
    future = pool.submit(prepare_all, [motif._pwm_null() for motif in motifs], thresholds)
    pool.shutdown(wait=False)
    return future


class Found:
    """Every hit of a scan, compact (some 60 bytes each, their windows as bytes), with p-values and,
    when asked, q-values: tables of Hits are built from it a slice at a time."""

    def __init__(self, parts, job, motifs, model, qvalue=False, prepared=None, threads=1):
        # the parts stay as they came (one copy of a genome's hits); only what p-values need is
        # laid end to end
        tested = np.zeros(len(motifs), np.int64)
        self.chroms, self.parts = [], []
        for chunk, (part, counts) in parts:
            tested += counts
            self.chroms.append(chunk.chrom)
            self.parts.append(part)
        if prepared is not None:
            prepared.result()
        sizes = np.array([len(part) for part in self.parts], dtype=np.int64)
        self.ends = np.cumsum(sizes)
        self.starts = self.ends - sizes
        n = int(sizes.sum())
        score = np.concatenate([part["score"] for part in self.parts]) if n else np.empty(0)
        labels = np.concatenate([part["motif"] for part in self.parts]) if n else np.empty(0, np.int32)
        self.names = [motif.name for motif in motifs]
        self.widths = np.asarray(job.widths, np.int64)
        self.dtype = job.dtype
        self.pvalue = np.empty(n)
        self.qvalue = np.empty(n) if qvalue else None

        def fill(group):
            k, rows = group
            if rows.size:
                scores = score[rows]
                pvalues = motifs[k].pvalue(scores) if model == "pwm" else motifs[k].dwm_pvalue(scores).value
                self.pvalue[rows] = pvalues
                if qvalue:
                    self.qvalue[rows] = bh_qvalues(pvalues, tested[k])

        by_motif = groups(labels, len(motifs))
        if threads == 1:
            for group in by_motif:
                fill(group)
        else:  # each motif writes its own rows
            with ThreadPoolExecutor(threads) as pool:
                list(pool.map(fill, by_motif))

    def __len__(self):
        return len(self.pvalue)

    def table(self, lo=0, hi=None):
        """The Hits of rows lo to hi."""
        hi = len(self) if hi is None else min(hi, len(self))
        pieces, chroms = [], []
        for part, chrom, start, end in zip(self.parts, self.chroms, self.starts, self.ends):
            if start < hi and lo < end:
                pieces.append(part[max(lo - start, 0):min(hi, end) - start])
                chroms.append(chrom)
        hits = np.concatenate(pieces) if pieces else np.empty(0, self.dtype)
        table = np.empty(len(hits), hits_dtype(max(map(len, self.chroms), default=1),
                                               max(map(len, self.names)), int(self.widths.max()),
                                               self.qvalue is not None))
        at = 0
        for piece, chrom in zip(pieces, chroms):
            table["chrom"][at:at + len(piece)] = chrom
            at += len(piece)
        table["start"] = hits["start"]
        table["end"] = hits["start"] + self.widths[hits["motif"]]
        table["motif"] = np.asarray(self.names)[hits["motif"]]
        table["score"] = hits["score"]
        table["strand"] = np.where(hits["strand"] > 0, "+", "-")
        table["sequence"] = hits["window"]  # cast to str in place, no copy of the column
        table["pvalue"] = self.pvalue[lo:hi]
        if self.qvalue is not None:
            table["qvalue"] = self.qvalue[lo:hi]
        return table.view(Hits)


class _NullBar:
    def update(self, n):
        pass

    def close(self):
        pass


def _progress(enabled, total):
    if not enabled:
        return _NullBar()
    from tqdm import tqdm
    return tqdm(total=total, unit="bp", unit_scale=True, file=sys.stderr, desc="scan",
                disable=not sys.stderr.isatty())


class _CallableModule(types.ModuleType):
    def __call__(self, *args: Any, **kwargs: Any) -> Hits:
        return scan(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule
