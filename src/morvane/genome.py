"""Genomes to scan: FASTA readers, BED regions checked against them, the genome's background.

Regions are BED intervals: 0-based, half-open, named by the FASTA record they lie on.
"""

import os
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple, Protocol

import numpy as np
from numpy.typing import NDArray

FETCH_SIZE = 1 << 20            # bases fetched at a time while counting: about 1 MiB of text


class Region(NamedTuple):
    """An interval of one record: 0-based, half-open."""

    chrom: str
    start: int
    end: int


class FastaReader(Protocol):
    """What is read of a FASTA file, as `pysam.FastaFile` gives it."""

    @property
    def references(self) -> Sequence[str]: ...
    @property
    def lengths(self) -> Sequence[int]: ...
    def fetch(self, reference: str, start: int, end: int) -> str: ...
    def close(self) -> None: ...


Genome = str | os.PathLike[str] | FastaReader
Regions = str | os.PathLike[str] | Iterable[Any]


class open_genome:
    """A context of an open FASTA reader; a reader passed in stays open.

    An empty file has no records (pysam cannot index it)."""

    def __init__(self, genome: Genome) -> None:
        self.genome = genome
        self.owned: FastaReader | None = None

    def __enter__(self) -> FastaReader:
        if not isinstance(genome := self.genome, (str, os.PathLike)):
            return genome
        path = os.fspath(genome)
        if os.path.getsize(path) == 0:
            self.owned = NoRecords(path)
        else:
            import pysam
            self.owned = pysam.FastaFile(path)
        return self.owned

    def __exit__(self, *exc: object) -> None:
        if self.owned is not None:
            self.owned.close()


class NoRecords:
    references: tuple[str, ...] = ()
    lengths: tuple[int, ...] = ()

    def __init__(self, filename: str) -> None:
        self.filename = filename

    def fetch(self, reference: str, start: int, end: int) -> str:
        raise KeyError(f"sequence {reference!r} not present")

    def close(self) -> None:
        pass


def whole_records(fasta: FastaReader) -> list[Region]:
    return [Region(chrom, 0, length) for chrom, length in zip(fasta.references, fasta.lengths)]


def read_regions(regions: Regions, fasta: FastaReader) -> list[Region]:
    """Regions checked against the genome, clipped to record ends, merged, in genome order."""
    order = {chrom: i for i, chrom in enumerate(fasta.references)}
    merged: list[Region] = []
    for region in sorted(clip_regions(regions, fasta), key=lambda r: (order[r.chrom], r.start)):
        if merged and merged[-1].chrom == region.chrom and region.start <= merged[-1].end:
            merged[-1] = merged[-1]._replace(end=max(merged[-1].end, region.end))
        else:
            merged.append(region)
    return merged


def clip_regions(regions: Regions, fasta: FastaReader) -> list[Region]:
    """Regions (a BED path or intervals) in their order, checked against the genome and
    clipped to record ends; those left empty are dropped."""
    intervals: Iterable[Any] = read_bed(regions) if isinstance(regions, (str, os.PathLike)) else regions
    lengths = dict(zip(fasta.references, fasta.lengths))
    clipped = []
    for region in intervals:
        chrom, start, end = ((region.chrom, region.start, region.end)
                             if hasattr(region, "chrom") else tuple(region)[:3])
        if chrom not in lengths:
            raise ValueError(f"region {chrom}:{start}-{end}: unknown chromosome {chrom!r}")
        if start < 0 or end < start:
            raise ValueError(f"region {chrom}:{start}-{end}: start must be >= 0 and <= end")
        end = min(int(end), lengths[chrom])
        if start < end:
            clipped.append(Region(chrom, int(start), end))
    return clipped


def read_bed(path: str | os.PathLike[str]) -> list[Region]:
    """The (chrom, start, end) of every interval of a BED file."""
    regions = []
    with open(path) as handle:
        for number, line in enumerate(handle, 1):
            fields = line.split()
            if not fields or fields[0].startswith("#") or fields[0] in ("track", "browser"):
                continue
            try:
                regions.append(Region(fields[0], int(fields[1]), int(fields[2])))
            except (IndexError, ValueError):
                raise ValueError(f"{path}, line {number}: a BED line needs chrom, start, end; "
                                 f"got {line.strip()!r}") from None
    return regions


def genome_background(genome: Genome) -> NDArray[np.float64]:
    """Base probabilities (A, C, G, T) of every record of `genome`, both strands.

    Counting both strands makes A = T and C = G, the right null for scanning both
    strands; one pseudo-count per base, as the module's background has."""
    from ._scan import encode
    counts = np.ones(5)
    with open_genome(genome) as fasta:
        for region in whole_records(fasta):
            for start in range(region.start, region.end, FETCH_SIZE):
                text = fasta.fetch(region.chrom, start, min(start + FETCH_SIZE, region.end))
                counts += np.bincount(encode(text), minlength=5)[:5]
    a_t = counts[0] + counts[1]
    c_g = counts[2] + counts[3]
    background: NDArray[np.float64] = np.array([a_t, c_g, c_g, a_t]) / (2 * (a_t + c_g))
    return background
