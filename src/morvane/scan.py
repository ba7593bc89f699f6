"""Scan a genome for motif hits: `morvane.scan(genome, motifs, ...)`.

This module is itself callable: `morvane.scan(...)` is `morvane.scan.scan(...)`.

Every record (or every given region) is read in chunks that overlap by
width - 1 bases, so memory depends on the chunk size, not on the genome; each
chunk is scored for all motifs on both strands in one native call
(`morvane._scan.Scanner`), which releases the GIL, and only the hits come back.
Each chunk's hits get their p-values at once and are handed on as soon as the
chunks before them have been: hits stream, in genome order.

Coordinates are BED: 0-based, half-open, forward-strand for both strands. A hit
on '-' at start 100, end 117 is the reverse complement of forward bases
100 to 116; its `sequence` is that reverse complement, as read on '-'.
"""

import numbers
import operator
import os
import sys
import tempfile
import threading
import types
import warnings
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import CancelledError, Future, ThreadPoolExecutor
from queue import SimpleQueue
from typing import IO, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from .genome import Chunk, chunk_intervals, genome_background, open_genome, read_regions, whole_records
from .motifs import Background, Motif, as_background
from .progress import Progress

DEFAULT_PVALUE = 1e-4
CHUNK_SIZE = 1 << 20            # bases owned by one chunk: about 1 MiB of codes
STRANDS = {"+": (1,), "-": (-1,), "both": (1, -1)}
MODELS = ("pwm", "dwm")
QVALUE_BLOCK = 1 << 20          # p-values ranked at a time, so that q-values take no more room

Codes = NDArray[np.uint8]
Records = NDArray[np.void]      # hits as the scanner gives them (motif, start, strand, score, window)
Floats = NDArray[np.float64]


class Hits(np.ndarray[Any, np.dtype[np.void]]):
    """Scan hits: a NumPy structured array with the columns chrom, start, end, motif (the
    motif's id), motif_alt (its alt name), score, strand, pvalue, sequence (and qvalue when
    asked for), in genome order."""

    def to_dataframe(self) -> Any:
        """The hits as a pandas DataFrame (needs pandas)."""
        import pandas as pd
        return pd.DataFrame({name: np.asarray(self[name]) for name in self.dtype.names or ()})

    def _write(self, path: str | os.PathLike[str], format: str) -> None:
        from .output import write_hits
        write_hits(path, [self], format, "qvalue" in (self.dtype.names or ()))

    def to_bed(self, path: str | os.PathLike[str]) -> None:
        """Writes the hits as BED9+ (see docs/scan.md), "-" for standard output."""
        self._write(path, "bed")

    def to_fimo(self, path: str | os.PathLike[str]) -> None:
        """Writes the hits as FIMO's TSV (1-based, inclusive coordinates)."""
        self._write(path, "fimo")

    def to_gff(self, path: str | os.PathLike[str]) -> None:
        """Writes the hits as FIMO's GFF3."""
        self._write(path, "gff")


def hits_dtype(chrom_len: int = 1, motif_len: int = 1, width: int = 1, qvalue: bool = False,
               alt_len: int | None = None) -> np.dtype[np.void]:
    alt = motif_len if alt_len is None else alt_len
    return np.dtype([("chrom", f"U{max(chrom_len, 1)}"), ("start", np.int64), ("end", np.int64),
                     ("motif", f"U{max(motif_len, 1)}"), ("motif_alt", f"U{max(alt, 1)}"),
                     ("score", np.float64), ("strand", "U1"), ("pvalue", np.float64),
                     ("sequence", f"U{max(width, 1)}")]
                    + ([("qvalue", np.float64)] if qvalue else []))


Genome = str | os.PathLike[str] | bytes | Any   # a path, "-", a pysam.FastaFile or an open genome.Fasta
Motifs = Motif | Iterable[Any] | str | os.PathLike[str] | bytes
Regions = str | os.PathLike[str] | Iterable[Any] | None


def scan(genome: Genome, motifs: Motifs, *,
         pvalue: float | None = None, threshold: float | Sequence[float] | None = None,
         regions: Regions = None, strand: str = "both",
         model: str = "pwm", background: Background = None, threads: int = 1,
         client: Any = None, chunk_size: int = CHUNK_SIZE, progress: bool = False,
         qvalue: bool = False) -> Hits:
    """Every window of `genome` scoring at or above each motif's threshold.

    genome: a FASTA path (str, bytes or path-like; plain, bgzip or gzip; a pipe or FIFO too), "-"
        for standard input, or an open pysam.FastaFile (see docs/inputs.md for how each is read).
    motifs: a Motif, a list of them (Biopython motifs are converted), or a motif file's
        path (read by morvane.read_motifs).
    pvalue / threshold: the cut-off, as a p-value (per motif, through its exact
        score distribution) or as a score (one number, or one per motif). With
        neither, pvalue=1e-4. Giving both is an error.
    regions: a BED path or a list of intervals (objects with chrom, start, end, or
        (chrom, start, end) tuples). Regions past a record's end are clipped to it;
        overlapping regions are merged, touching ones ([a, b) and [b, c)) are not: a window
        must lie wholly inside one region of the merged set. An unknown chromosome is an error.
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
    Motifs that share an id are told apart by a suffix (_2, _3, ...) with a warning; a
    motif whose threshold lies above its best score is named in a warning.
    """
    job = _checked(genome, motifs, pvalue, threshold, regions, strand, model, background, threads,
                   client, chunk_size, progress, qvalue)
    (table,) = _stream(job, lambda parts, names, qvalue: tables(parts, names, qvalue, None))
    return table


def iter_hits(genome: Genome, motifs: Motifs, *,
              pvalue: float | None = None, threshold: float | Sequence[float] | None = None,
              regions: Regions = None, strand: str = "both",
              model: str = "pwm", background: Background = None, threads: int = 1,
              client: Any = None, chunk_size: int = CHUNK_SIZE, progress: bool | Progress = False,
              qvalue: bool = False, batch: int = 1 << 16) -> Generator[Hits, None, None]:
    """The hits of `scan` with the same arguments, in its order, as tables of `batch` rows (the
    last may hold fewer; none when nothing is found), each handed on as soon as the chunks it
    comes from are scored: at most a few chunks' hits are held at a time. With `qvalue`, every
    hit's p-value is kept (8 bytes each, 16 while the q-values are read off) and the hits wait
    in a temporary file, removed whatever ends the scan, until the scan is done. The arguments
    are checked at once; the scan runs as tables are asked for."""
    batch = _count("batch", batch)
    job = _checked(genome, motifs, pvalue, threshold, regions, strand, model, background, threads,
                   client, chunk_size, progress, qvalue)
    return _stream(job, lambda parts, names, qvalue: tables(parts, names, qvalue, batch))


def iter_columns(genome: Genome, motifs: Motifs, *, batch: int = 1 << 16,
                 **options: Any) -> Generator["Columns", None, None]:
    """The hits of `iter_hits` with the same arguments (client and chunk_size left as they are), in
    its order, as `Columns` of at most `batch` rows with their text as bytes: what the command
    writes, made straight from the scanner's records, with no table of str to build."""
    batch = _count("batch", batch)
    job = _checked(genome, motifs, **{**_OPTIONS, **options})
    return _stream(job, lambda parts, names, qvalue: columns(parts, names, qvalue, batch))


# ---------------------------------------------------------------- arguments

# the keyword arguments of scan and iter_hits, as they default
_OPTIONS: dict[str, Any] = dict(pvalue=None, threshold=None, regions=None, strand="both", model="pwm",
                                background=None, threads=1, client=None, chunk_size=CHUNK_SIZE,
                                progress=False, qvalue=False)

class _Request(NamedTuple):
    genome: str | Any
    motifs: list[Motif]
    pvalue: float | None
    threshold: float | Sequence[float] | None
    regions: Regions
    strand: str
    model: str
    background: Background
    threads: int
    client: Any
    chunk_size: int
    progress: Progress
    owns_progress: bool
    qvalue: bool


def _checked(genome: Genome, motifs: Motifs, pvalue: float | None, threshold: float | Sequence[float] | None,
             regions: Regions, strand: str, model: str, background: Background, threads: int, client: Any,
             chunk_size: int, progress: bool | Progress, qvalue: bool) -> _Request:
    """The arguments of scan and iter_hits, checked: TypeError or ValueError naming the one at fault."""
    if isinstance(genome, (str, bytes, os.PathLike)):
        genome = os.fsdecode(genome)
    elif not all(hasattr(genome, name) for name in ("fetch", "references", "lengths")):
        raise TypeError(f"genome must be a FASTA path or an open pysam.FastaFile, not {type(genome).__name__}")
    motifs = _motif_list(motifs)
    if isinstance(regions, (bytes, os.PathLike)):
        regions = os.fsdecode(regions)
    elif regions is not None and not isinstance(regions, (str, Iterable)):
        raise TypeError(f"regions must be a BED path or a list of intervals, not {type(regions).__name__}")
    if client is not None and not all(callable(getattr(client, name, None)) for name in ("scatter", "map")):
        raise TypeError(f"client must be a dask.distributed Client, not {type(client).__name__}")
    if pvalue is not None and threshold is not None:
        raise ValueError("give pvalue or threshold, not both")
    if threshold is not None:
        threshold = threshold_values(threshold, len(motifs))
    if pvalue is not None:
        if not isinstance(pvalue, numbers.Real) or isinstance(pvalue, bool):
            raise TypeError(f"pvalue must be a number, not {type(pvalue).__name__}")
        if not 0 < pvalue <= 1:
            raise ValueError(f"pvalue must be in (0, 1], got {pvalue!r}")
    if not isinstance(strand, str) or strand not in STRANDS:
        raise ValueError(f"strand must be '+', '-' or 'both', got {strand!r}")
    if not isinstance(model, str) or model not in MODELS:
        raise ValueError(f"model must be 'pwm' or 'dwm', got {model!r}")
    if model == "dwm":
        for motif in motifs:
            motif._needs_dwm()
    threads, chunk_size = _count("threads", threads), _count("chunk_size", chunk_size)
    if pvalue is None and threshold is None:
        pvalue = DEFAULT_PVALUE
    owned = not isinstance(progress, Progress)
    bar = Progress(bool(progress), [("thresholds", 1), ("scan", 8)] + ([("q-values", 1)] if qvalue else [])) \
        if owned else progress
    assert isinstance(bar, Progress)
    return _Request(genome, motifs, pvalue, threshold, regions, strand, model, background, threads, client,
                    chunk_size, bar, owned, bool(qvalue))


def _integer(name: str, value: Any) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _count(name: str, value: Any) -> int:
    n = _integer(name, value)
    if n < 1:
        raise ValueError(f"{name} must be at least 1, got {n}")
    return n


def _motif_list(motifs: Motifs) -> list[Motif]:
    if isinstance(motifs, (str, bytes, os.PathLike)):
        from .motifs import read_motifs
        return read_motifs(os.fsdecode(motifs))
    if isinstance(motifs, Motif) or _is_biopython(motifs):
        motifs = [motifs]
    try:
        given = list(motifs)
    except TypeError:
        raise TypeError(f"motifs must be a Motif, a list of them or a motif file's path, "
                        f"not {type(motifs).__name__}") from None
    if not given:
        raise ValueError("no motifs to scan")
    out = []
    for i, motif in enumerate(given):
        if isinstance(motif, Motif):
            out.append(motif)
        elif _is_biopython(motif):
            out.append(Motif.from_biopython(motif))
        else:
            raise TypeError(f"motifs[{i}] is a {type(motif).__name__}, not a morvane Motif "
                            "(see morvane.read_motifs and Motif.from_counts)")
    return out


def _is_biopython(motif: object) -> bool:
    return type(motif).__module__.startswith("Bio.motifs") and hasattr(motif, "counts")


def motif_names(motifs: Sequence[Motif]) -> tuple[list[str], list[str]]:
    """(ids, alt names) of the motifs: ids made unique by a suffix, with a warning."""
    ids = [str(getattr(motif, "id", motif.name)) for motif in motifs]
    seen, unique, renamed = set(ids), [], []
    counts: dict[str, int] = {}
    for name in ids:
        counts[name] = counts.get(name, 0) + 1
        if counts[name] == 1:
            unique.append(name)
            continue
        k = counts[name]
        while f"{name}_{k}" in seen:
            k += 1
        seen.add(f"{name}_{k}")
        unique.append(f"{name}_{k}")
        renamed.append(f"{name!r} -> {name}_{k}")
    if renamed:
        warnings.warn(f"motifs share an id; named apart in the hits: {', '.join(renamed)}", stacklevel=4)
    return unique, [str(motif.name) for motif in motifs]


# ---------------------------------------------------------------- the pipeline

def _stream[T](job: _Request,
               emit: Callable[[Iterator["Part"], "Names", bool], Iterator[T]]) -> Generator[T, None, None]:
    """What `emit` makes of the scan's parts, its names and whether they have q-values."""
    bar = job.progress
    try:
        with open_genome(job.genome) as fasta:
            if job.client is not None and fasta.path is None:
                raise ValueError(f"{fasta.filename} is read in one pass ({fasta.reason}), so Dask workers "
                                 "cannot read its chunks by position: give a plain or bgzip FASTA file")
            intervals = read_regions(job.regions, fasta) if job.regions is not None else None
            motifs = job.motifs
            if job.background is not None:
                background = job.background
                if isinstance(background, str) and background == "genome":
                    background = genome_background(fasta)
                background = as_background(background)
                motifs = [motif.with_background(background) for motif in motifs]
            ids, alts = motif_names(motifs)
            bar.stage("thresholds", len(motifs), " motifs")
            # each motif's p-value tables are prepared as soon as its threshold is known, beside
            # the thresholds still to come and then the scan
            locks = [threading.Lock() for _ in motifs]     # a motif's statistics serve one call at a time
            handed = Handed[float]() if job.model == "pwm" else None
            prepared = Prepared(motifs, handed, locks) if handed is not None else None
            thresholds: list[float] = []
            try:
                for value in iter_cutoffs(motifs, job.model, job.pvalue, job.threshold, job.threads, bar.advance):
                    thresholds.append(value)
                    if handed is not None:
                        handed.put(value)
            finally:
                if handed is not None:
                    handed.close(complete=len(thresholds) == len(motifs))
            _warn_unreachable(motifs, ids, thresholds, job.model)
            scanner = Job(job.model, motifs, thresholds, job.strand)
            names = Names(ids, alts, scanner.widths)
            pvalues = ChunkPValues(motifs, prepared, locks)
            bar.stage("scan", fasta.total_bases(intervals), "bp")
            overlap = max(scanner.widths) - 1
            if job.client is not None:
                assert fasta.path is not None
                chunks = list(chunk_intervals(whole_records(fasta) if intervals is None else intervals,
                                              job.chunk_size, overlap))
                parts = scan_dask(scanner, fasta.path, chunks, job.client, pvalues)
            else:
                parts = scan_local(scanner, fasta.chunks(intervals, job.chunk_size, overlap), job.threads, pvalues)
            parts = _advancing(parts, bar)
            if job.qvalue:
                parts = with_qvalues(parts, scanner.dtype, len(motifs), bar)
            yield from emit(parts, names, job.qvalue)
    finally:
        if job.owns_progress:
            bar.close(done=True)


def _advancing(parts: Iterator["Part"], bar: Progress) -> Iterator["Part"]:
    for part in parts:
        yield part
        bar.advance(part.bases)


def cutoffs(motifs: Sequence[Motif], model: str, pvalue: float | None,
            threshold: float | Sequence[float] | None, threads: int = 1,
            done: Callable[[], None] | None = None) -> list[float]:
    """One score threshold per motif; p-values are turned into scores on `threads` threads,
    `done()` called after each motif."""
    return list(iter_cutoffs(motifs, model, pvalue, threshold, threads, done))


def iter_cutoffs(motifs: Sequence[Motif], model: str, pvalue: float | None,
                 threshold: float | Sequence[float] | None, threads: int = 1,
                 done: Callable[[], None] | None = None) -> Iterator[float]:
    """`cutoffs`, each motif's threshold handed on in turn as soon as it is known."""
    if threshold is not None:
        yield from threshold_values(threshold, len(motifs))
        return
    assert pvalue is not None
    if not 0 < pvalue <= 1:
        raise ValueError(f"pvalue must be in (0, 1], got {pvalue!r}")
    p = float(pvalue)

    def cutoff(motif: Motif) -> float:
        value = float(motif.threshold(p) if model == "pwm" else motif.dwm_threshold(p).value)
        if done is not None:
            done()
        return value

    if threads == 1 or len(motifs) == 1:
        yield from map(cutoff, motifs)
        return
    # the lattices and listings behind a threshold run without the GIL
    with ThreadPoolExecutor(threads) as pool:
        yield from pool.map(cutoff, motifs)


def threshold_values(threshold: float | Sequence[float], n: int) -> list[float]:
    """One score threshold for each of `n` motifs, from one number or `n` of them."""
    if isinstance(threshold, (str, bytes)):
        raise TypeError(f"threshold must be a number or one number per motif, not {type(threshold).__name__}")
    try:
        values = np.asarray(threshold, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"threshold must be a number or one number per motif, got {threshold!r}") from None
    if values.ndim > 1 or values.size not in (1, n):
        raise ValueError(f"give one threshold, or one per motif ({n}); got {values.size}")
    values = np.broadcast_to(values, (n,))
    if np.isnan(values).any():
        raise ValueError("a threshold is NaN")
    return [float(v) for v in values]


def _warn_unreachable(motifs: Sequence[Motif], ids: Sequence[str], thresholds: Sequence[float],
                      model: str) -> None:
    """One warning naming the PWMs whose threshold lies above their best score: they have no hits."""
    if model != "pwm":
        return
    beyond = [f"{name} ({cut:.6g} > {best:.6g})" for name, motif, cut in zip(ids, motifs, thresholds)
              if cut > (best := motif._pwm_null().max_score)]
    if beyond:
        warnings.warn(f"{len(beyond)} of {len(motifs)} motifs cannot reach the cut-off (threshold > best "
                      f"score), so have no hits: {', '.join(beyond)}", stacklevel=4)


class Job:
    """What every chunk needs. It pickles (for Dask workers) without its native
    scanner, which is rebuilt on arrival; one scanner serves all threads."""

    def __init__(self, model: str, motifs: Sequence[Motif], thresholds: Sequence[float], strand: str) -> None:
        self.model = model
        self.strand = strand
        self.widths = [motif.width for motif in motifs]
        self.thresholds = list(thresholds)
        self.matrices: list[Any] = [motif.pwm.pssm if model == "pwm" else motif.dwm for motif in motifs]
        self._build()

    def _build(self) -> None:
        from ._scan import Scanner
        self.scanner = Scanner(self.matrices, self.thresholds, self.strand, model=self.model)  # type: ignore[arg-type]  # checked by _request
        self.dtype: np.dtype[np.void] = self.scanner.dtype

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "scanner": None}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._build()

    def scan(self, codes: Codes, limit: int, offset: int) -> tuple[Records, NDArray[np.int64]]:
        """The hits among the windows of `codes` starting before `limit`, as one array of
        `dtype` (starts plus `offset`), and the windows tested for each motif (N-free ones,
        every strand scanned counted)."""
        hits, tested = self.scanner.scan(codes, limit, offset)
        return hits, tested


def grouped(labels: NDArray[np.integer[Any]], n: int) -> tuple[NDArray[np.intp], list[int], list[int]]:
    """The rows of an integer array of labels 0..n-1 in label order (rows ascending within a
    label), and where each label's rows start and end in that order."""
    # few labels: as 16-bit keys they take NumPy's radix sort
    order = np.argsort(labels.astype(np.uint16) if n <= 1 << 16 else labels, kind="stable")
    ends = np.cumsum(np.bincount(labels, minlength=n))
    return order, [0, *ends[:-1].tolist()], ends.tolist()


def groups(labels: NDArray[np.integer[Any]], n: int) -> Iterator[tuple[int, NDArray[np.intp]]]:
    """(label, rows holding it) for each label 0..n-1 of an integer array, rows ascending."""
    order, starts, ends = grouped(labels, n)
    return ((k, order[start:end]) for k, (start, end) in enumerate(zip(starts, ends)))


class Part(NamedTuple):
    """The hits of one chunk (or a run of them), with their p-values (and q-values)."""

    chrom: str
    hits: Records
    pvalue: Floats
    tested: NDArray[np.int64]
    bases: int                      # window starts the chunk owns, for the progress bar
    qvalue: Floats | None = None

    def rows(self, lo: int, hi: int) -> "Part":
        q = None if self.qvalue is None else self.qvalue[lo:hi]
        return self._replace(hits=self.hits[lo:hi], pvalue=self.pvalue[lo:hi], qvalue=q)


class ChunkPValues:
    """The p-values of a chunk's hits. PWM ones are read off every motif's kept tables in one
    native pass over the hits, and only the few those do not serve (tables given back for room:
    the motif reads back what it spilled) are asked of the motifs; DWM ones are each motif's in
    one call. Chunks may be on several threads at once: a motif's statistics serve one call at a
    time."""

    def __init__(self, motifs: Sequence[Motif], prepared: "Prepared | None", locks: Sequence[threading.Lock]) -> None:
        """`prepared`: the preparation of PWM motifs, under `locks`, one per motif; None for DWM ones."""
        self.motifs = list(motifs)
        self.locks = locks
        self.turn = 0
        self.prepared = prepared

    def __call__(self, hits: Records) -> Floats:
        if not len(hits):
            return np.empty(0)
        if self.prepared is None:
            return self.asked(hits, lambda motif, s: motif.dwm_pvalue(s).value)
        from .stats._native import read_off
        self.prepared.wait()
        motif = hits["motif"]
        tables: list[Any] = [None] * len(self.motifs)
        for k in np.flatnonzero(np.bincount(motif, minlength=len(self.motifs))).tolist():
            with self.locks[k]:
                tables[k] = self.motifs[k]._pwm_null().kept_tables()
        p = read_off(motif, hits["score"], tables)
        rest = np.flatnonzero(np.isnan(p))
        if rest.size:
            p[rest] = self.asked(hits[rest], lambda motif, s: motif.pvalue(s))
        return p

    def asked(self, hits: Records, pvalue: Callable[[Motif, Floats], Any]) -> Floats:
        """pvalue(motif, scores) of the hits, each motif's in one call, each chunk starting with
        another motif, so that threads seldom wait for one another."""
        p = np.empty(len(hits))
        order, starts, ends = grouped(hits["motif"], len(self.motifs))
        scores = hits["score"][order]
        todo = [(k, start, end) for k, (start, end) in enumerate(zip(starts, ends)) if end > start]
        self.turn += 1
        shift = self.turn % len(todo)
        for k, start, end in todo[shift:] + todo[:shift]:
            with self.locks[k]:
                p[order[start:end]] = pvalue(self.motifs[k], scores[start:end])
        return p


class Prepared:
    """The work the hits' p-values will need (every hit scores at or above its motif's threshold),
    started beside the scan: `wait()`, before the first p-values, returns once what serves all of
    each motif's hits is made; the listed tops of bounded motifs, which serve few hits each, are
    made on beside the p-values, each under its motif's lock of `locks`. `thresholds` may be
    `Handed` on as they are computed."""

    def __init__(self, motifs: Sequence[Motif], thresholds: Iterable[float],
                 locks: Sequence[threading.Lock]) -> None:
        from .stats import prepare_all
        self.ready = threading.Event()
        pool = ThreadPoolExecutor(1)
        self.future = pool.submit(prepare_all, [motif._pwm_null() for motif in motifs], thresholds,
                                  self.ready.set, locks)
        self.future.add_done_callback(lambda _: self.ready.set())    # should it end before that
        pool.shutdown(wait=False)

    def wait(self) -> None:
        """Returns when the p-values may be asked for; raises what the preparation raised."""
        self.ready.wait()
        if self.future.done():
            self.future.result()


class Handed[T]:
    """Values handed from one thread to another as they are made: iterating waits for each and
    ends at `close`; closed incomplete (the maker failed), it raises CancelledError instead."""

    def __init__(self) -> None:
        self.queue: SimpleQueue[tuple[bool, Any]] = SimpleQueue()

    def put(self, value: T) -> None:
        self.queue.put((True, value))

    def close(self, complete: bool) -> None:
        self.queue.put((False, complete))

    def __iter__(self) -> Iterator[T]:
        while True:
            more, value = self.queue.get()
            if not more:
                if not value:
                    raise CancelledError
                return
            yield value


def in_order[T, R](work: Callable[[T], R], items: Iterable[T], threads: int) -> Iterator[R]:
    """work(item) of each item, in order; with threads, on a pool while this thread reads on, at
    most 2 items per thread waiting in memory (the native work releases the GIL)."""
    if threads == 1:
        yield from map(work, items)
        return
    pool = ThreadPoolExecutor(threads)
    try:
        pending: deque[Future[R]] = deque()
        for item in items:
            pending.append(pool.submit(work, item))
            if len(pending) >= 2 * threads:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def scan_local(job: Job, chunks: Iterator[tuple[Chunk, Codes]], threads: int, pvalues: ChunkPValues) -> Iterator[Part]:
    """The scored chunks in order, from (chunk, codes) as the genome hands them on; with threads, a
    few chunks are scored at once."""
    def score(item: tuple[Chunk, Codes]) -> Part:
        chunk, codes = item
        hits, tested = job.scan(codes, chunk.limit, chunk.start)
        return Part(chunk.chrom, hits, pvalues(hits), tested, chunk.limit)

    return in_order(score, chunks, threads)


def fetch_and_scan(job: Job, path: str, chunk: Chunk) -> tuple[Records, NDArray[np.int64]]:
    """One chunk on a worker: readers do not pickle, so each task opens the file by path."""
    with open_genome(path) as fasta:
        codes = fasta.codes(chunk.chrom, chunk.start, chunk.end)
    return job.scan(codes, chunk.limit, chunk.start)


def scan_dask(job: Job, path: str, chunks: Sequence[Chunk], client: Any, pvalues: ChunkPValues) -> Iterator[Part]:
    if not chunks:
        return
    shared = client.scatter(job, broadcast=True)
    futures = client.map(fetch_and_scan, [shared] * len(chunks), [path] * len(chunks), chunks, pure=False)
    for chunk, future in zip(chunks, futures):
        hits, tested = future.result()
        yield Part(chunk.chrom, hits, pvalues(hits), tested, chunk.limit)


# ---------------------------------------------------------------- q-values

class QValues:
    """Benjamini-Hochberg q-values of every hit of a scan, as `stats.bh_qvalues` defines them over
    all of a motif's hits and tested windows: `add` each chunk's hits, `finish`, then read them
    off by p-value (equal p-values have equal q-values). Each motif's p-values are kept (8 bytes
    a hit), then sorted in place beside their q-values (8 more)."""

    def __init__(self, n: int) -> None:
        self.pieces: list[list[Floats]] = [[] for _ in range(n)]
        self.tested = np.zeros(n, np.int64)
        self.sorted: list[Floats] = []
        self.valid: list[int] = []          # p-values in each sorted array before its NaNs
        self.q: list[Floats] = []

    def add(self, part: Part) -> None:
        self.tested += part.tested
        if len(part.hits):
            for k, rows in groups(part.hits["motif"], len(self.pieces)):
                if rows.size:
                    self.pieces[k].append(part.pvalue[rows])

    def finish(self) -> None:
        for k, pieces in enumerate(self.pieces):
            p = np.empty(sum(len(piece) for piece in pieces))
            at = 0
            while pieces:       # each piece let go once copied
                piece = pieces.pop(0)
                p[at:at + len(piece)] = piece
                at += len(piece)
            p.sort()            # NaN last
            self.sorted.append(p)
            self.valid.append(len(p) - int(np.isnan(p).sum()))
            self.q.append(_bh_sorted(p, int(self.tested[k])))

    def __call__(self, part: Part) -> Floats:
        q = np.full(len(part.hits), np.nan)
        for k, rows in groups(part.hits["motif"], len(self.sorted)):
            if rows.size:
                p = part.pvalue[rows]
                ok = ~np.isnan(p)
                where = np.searchsorted(self.sorted[k][:self.valid[k]], p[ok], side="right") - 1
                q[rows[ok]] = self.q[k][where]
        return q


def _bh_sorted(p: Floats, n_tests: int) -> Floats:
    """bh_qvalues of sorted p-values (NaN last, NaN q), ranked a block at a time from the top:
    the same doubles (n_tests * p / rank, its running minimum from the top, capped at 1)."""
    q = np.full(len(p), np.nan)
    valid = len(p) - int(np.isnan(p).sum())
    if valid > n_tests:
        raise ValueError(f"n_tests ({n_tests}) is smaller than the number of p-values ({valid})")
    low = np.inf
    for hi in range(valid, 0, -QVALUE_BLOCK):
        lo = max(hi - QVALUE_BLOCK, 0)
        ranked = p[lo:hi] * n_tests / np.arange(lo + 1, hi + 1)
        steps = np.minimum(np.minimum.accumulate(ranked[::-1])[::-1], low)
        low = float(steps[0])
        q[lo:hi] = np.minimum(steps, 1.0)
    return q


def with_qvalues(parts: Iterator[Part], dtype: np.dtype[np.void], n_motifs: int,
                 bar: Progress) -> Iterator[Part]:
    """The parts again with their q-values, once every hit is scanned: meanwhile the hits wait in
    an unnamed temporary file, which the system removes whatever ends the process."""
    qvalues = QValues(n_motifs)
    with tempfile.TemporaryFile(prefix="morvane-") as spill:
        count = 0
        for part in parts:
            qvalues.add(part)
            if len(part.hits):
                _spill(spill, part)
                count += len(part.hits)
        qvalues.finish()
        bar.stage("q-values", count, " hits")
        spill.seek(0)
        while (back := _unspill(spill, dtype)) is not None:
            yield back._replace(qvalue=qvalues(back))
            bar.advance(len(back.hits))


def _spill(spill: IO[bytes], part: Part) -> None:
    chrom = part.chrom.encode("utf-8", "surrogateescape")
    spill.write(np.array([len(part.hits), len(chrom)], np.int64).tobytes() + chrom)
    spill.write(np.ascontiguousarray(part.hits).view(np.uint8))
    spill.write(np.ascontiguousarray(part.pvalue).view(np.uint8))


def _unspill(spill: IO[bytes], dtype: np.dtype[np.void]) -> Part | None:
    head = spill.read(16)
    if not head:
        return None
    n, size = np.frombuffer(head, np.int64).tolist()
    chrom = spill.read(size).decode("utf-8", "surrogateescape")
    hits, p = np.empty(n, dtype), np.empty(n)
    for array in (hits, p):
        if spill.readinto(array.view(np.uint8)) != array.nbytes:   # type: ignore[attr-defined]
            raise OSError("the temporary file of hits was cut short")
    return Part(chrom, hits, p, np.zeros(0, np.int64), 0)


# ---------------------------------------------------------------- tables

class Names(NamedTuple):
    """What a table's text columns are made of."""

    ids: list[str]
    alts: list[str]
    widths: list[int]

    def dtype(self, qvalue: bool, chrom_len: int) -> np.dtype[np.void]:
        return hits_dtype(chrom_len, max(map(len, self.ids)), max(self.widths), qvalue,
                          max(map(len, self.alts)))


def tables(parts: Iterable[Part], names: Names, qvalue: bool, batch: int | None) -> Iterator[Hits]:
    """Tables of `batch` rows from the parts as they come (one of all of them for None)."""
    held: deque[Part] = deque()
    count = 0
    for part in parts:
        if not len(part.hits):
            continue
        held.append(part)
        count += len(part.hits)
        while batch is not None and count >= batch:
            taken, need = [], batch
            while need:
                first = held[0]
                if len(first.hits) <= need:
                    taken.append(held.popleft())
                    need -= len(first.hits)
                else:
                    taken.append(first.rows(0, need))
                    held[0] = first.rows(need, len(first.hits))
                    need = 0
            count -= batch
            yield table(taken, names, qvalue)
    if held or batch is None:
        yield table(list(held), names, qvalue)


def table(parts: Sequence[Part], names: Names, qvalue: bool) -> Hits:
    """The Hits of the parts, end to end."""
    n = sum(len(part.hits) for part in parts)
    # the chromosomes' names as long as this table needs: a stream's records are not known ahead
    out = np.empty(n, names.dtype(qvalue, max((len(part.chrom) for part in parts), default=1)))
    at = 0
    for part in parts:
        out["chrom"][at:at + len(part.hits)] = part.chrom
        at += len(part.hits)
    if not n:
        return out.view(Hits)
    hits = np.concatenate([part.hits for part in parts])
    motif = hits["motif"]
    out["start"] = hits["start"]
    out["end"] = hits["start"] + np.asarray(names.widths, np.int64)[motif]
    out["motif"] = np.asarray(names.ids)[motif]
    out["motif_alt"] = np.asarray(names.alts)[motif]
    out["score"] = hits["score"]
    out["strand"] = np.where(hits["strand"] > 0, "+", "-")
    out["sequence"] = hits["window"]  # cast to str in place, no copy of the column
    out["pvalue"] = np.concatenate([part.pvalue for part in parts])
    if qvalue:
        out["qvalue"] = np.concatenate([part.qvalue for part in parts if part.qvalue is not None])
    return out.view(Hits)


class Columns:
    """The columns of `Hits` by name, for writing out: text as UTF-8 bytes, the chromosome's one
    element broadcast, the rest views of the scanner's records where they can be. Names of
    motifs are kept `coded` (name: (index per row, texts)) and gathered when asked for."""

    def __init__(self, columns: dict[str, NDArray[Any]], n: int,
                 coded: dict[str, tuple[NDArray[np.int32], list[bytes]]] | None = None) -> None:
        self.columns, self.n, self.coded = columns, n, coded or {}

    def __getitem__(self, name: str) -> NDArray[Any]:
        if name in self.coded:
            index, texts = self.coded[name]
            return np.array(texts)[index]
        return self.columns[name]

    def __len__(self) -> int:
        return self.n


def utf8(text: str) -> bytes:
    """`text` as format_rows writes a str: UTF-8, surrogate-escaped bytes given back as they were,
    other lone surrogates as U+FFFD."""
    try:
        return text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return b"".join(c.encode("utf-8", "surrogateescape") if not 0xD800 <= ord(c) < 0xDC80
                        and not 0xDD00 <= ord(c) <= 0xDFFF else "\ufffd".encode() for c in text)


def columns(parts: Iterable[Part], names: Names, qvalue: bool, batch: int) -> Iterator[Columns]:
    """Columns of at most `batch` rows from each part as it comes."""
    ids, alts = ([utf8(name) for name in texts] for texts in (names.ids, names.alts))
    widths = np.asarray(names.widths, np.int64)
    for part in parts:
        chrom = np.array(utf8(part.chrom))
        for lo in range(0, len(part.hits), batch):
            rows = part.rows(lo, lo + batch)
            hits, n = rows.hits, len(rows.hits)
            motif = hits["motif"]
            out = {"chrom": np.broadcast_to(chrom, (n,)), "start": hits["start"],
                   "end": hits["start"] + widths[motif], "score": hits["score"],
                   "strand": np.where(hits["strand"] > 0, b"+", b"-"), "pvalue": rows.pvalue,
                   "sequence": hits["window"]}
            if qvalue:
                assert rows.qvalue is not None
                out["qvalue"] = rows.qvalue
            yield Columns(out, n, {"motif": (motif, ids), "motif_alt": (motif, alts)})


class _CallableModule(types.ModuleType):
    def __call__(self, *args: Any, **kwargs: Any) -> Hits:
        return scan(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule
