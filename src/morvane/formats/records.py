"""What the readers share: the source lines, the records they return, numbers read with their line."""

import math
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import NoReturn

import numpy as np
from numpy.typing import NDArray

BASES = "ACGT"
# How far from 1 a column of probabilities may sum (rounded printing); it is then divided by its sum.
# MEME's own reader allows as much.
PROBABILITY_TOLERANCE = 0.1
# Columns within this of 1 are kept as printed, as MEME's reader keeps them.
ROUNDING_TOLERANCE = 1e-5
# A column of a count file within this of 1 is a column of frequencies.
FREQUENCY_TOLERANCE = 0.02
# Brackets and bars separate numbers as white space does (JASPAR's "A [ 1 2 ]"); a comma does
# not, as it may be a decimal one.
SEPARATORS = str.maketrans("[]|", "   ")


@dataclass
class Source:
    """A motif file's lines (line ends dropped), as read: `name` is for messages, `stem` names
    a file's only motif when the file gives it none."""

    name: str
    stem: str
    suffix: str
    lines: list[str]

    def numbered(self) -> Iterator[tuple[int, str]]:
        """(line number from 1, line) of every line that holds more than white space."""
        for n, line in enumerate(self.lines, 1):
            if line.strip():
                yield n, line


@dataclass
class Record:
    """One motif as its file gives it: `matrix` (4, L) in rows A, C, G, T, of `kind` "counts",
    "probabilities" or "weights" (log-odds, scored as given); or `sites` (kind "sites")."""

    id: str
    name: str
    kind: str
    line: int
    matrix: NDArray[np.float64] | None = None
    nsites: float | None = None
    sites: list[str] | None = None
    frequencies_in_counts: bool = False


@dataclass
class MotifFile:
    name: str
    format: str
    records: list[Record]
    background: dict[str, float] | None = None   # MEME's background line, by letter
    background_line: int = 0
    strands: str = field(default="+-")


def fail(source: Source, line: int, message: str) -> NoReturn:
    raise ValueError(f"{source.name}: line {line}: {message}" if line else f"{source.name}: {message}")


def number(source: Source, line: int, text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        fail(source, line, f"{text!r} is not a number")
    if not math.isfinite(value):
        fail(source, line, f"{text!r} is not a finite number")
    return value


def numbers(source: Source, line: int, text: str) -> list[float]:
    """The numbers of a line; brackets and bars separate them like white space."""
    return [number(source, line, token) for token in text.translate(SEPARATORS).split()]


def is_site(line: str) -> bool:
    return line.isalpha() and line.isascii()


def probability_columns(matrix: NDArray[np.float64]) -> tuple[NDArray[np.float64], int | None]:
    """Columns of probabilities, those further than ROUNDING_TOLERANCE from 1 divided by their sum
    (as MEME's reader does, so the PSSM is FIMO's), and the first column (from 0) that sums
    further than PROBABILITY_TOLERANCE from 1 (None when none does)."""
    totals = matrix.sum(axis=0)
    off = np.flatnonzero(np.abs(totals - 1) > PROBABILITY_TOLERANCE)
    scaled = np.where(np.abs(totals - 1) > ROUNDING_TOLERANCE, totals, 1.0)
    return matrix / scaled, int(off[0]) if off.size else None


def probabilities(source: Source, line: int, matrix: NDArray[np.float64], what: str) -> NDArray[np.float64]:
    """A file's probabilities, normalised; refused when one is negative or a column sums far from 1."""
    if np.any(matrix < 0):
        fail(source, line, f"{what}: a probability below 0")
    normalised, off = probability_columns(matrix)
    if off is not None:
        fail(source, line, f"{what}: the probabilities of position {off + 1} sum to "
                           f"{matrix[:, off].sum():.6g}, not 1")
    return normalised


def counts_or_frequencies(record: Record) -> Record:
    """A count record whose columns all sum to 1 (and not all whole numbers: one site's counts
    do too) holds frequencies: it becomes a probability record, flagged for a note."""
    m = record.matrix
    assert m is not None and record.kind == "counts"
    if np.all(np.abs(m.sum(axis=0) - 1) <= FREQUENCY_TOLERANCE) and np.any(m != np.round(m)):
        record.kind = "probabilities"
        record.matrix = probability_columns(m)[0]
        record.frequencies_in_counts = True
    return record
