"""Fused multi-motif scanning of nucleotide codes on both strands, without the GIL."""

from collections.abc import Sequence
from typing import Literal, final

import numpy
from numpy.typing import ArrayLike, NDArray

def encode(text: str | bytes | bytearray | memoryview, /) -> NDArray[numpy.uint8]:
    """One-byte codes of a str or bytes-like text: A 0, T 1, C 2, G 3, anything
    else 4, upper and lower case alike."""

@final
class Scanner:
    """Matrices (rows A, T, C, G; any further rows ignored) prepared for fused
    scanning of one-byte codes on one or both strands."""

    def __new__(
        cls, matrices: Sequence[ArrayLike], thresholds: Sequence[float], strand: Literal["+", "-", "both"] = "both"
    ) -> Scanner: ...
    @property
    def widths(self) -> tuple[int, ...]:
        """Width of each matrix, in order."""
    def scan(
        self, codes: NDArray[numpy.uint8], limit: int | None = None
    ) -> tuple[
        NDArray[numpy.int32], NDArray[numpy.int64], NDArray[numpy.int8], NDArray[numpy.float64], NDArray[numpy.int64]
    ]:
        """(motif, start, strand, score, tested) of every window at or above its
        matrix's threshold among the windows of codes that start before limit."""

# Private: the lattice recursions of morvane.stats. q is the integer matrix (4, L)
# of a lattice, reach its (L + 1) suffix maxima, bg the background (4).
def _lattice_bracket(
    q: ArrayLike, bg: ArrayLike, reach: ArrayLike, lo: int, hi: int, /
) -> tuple[int, NDArray[numpy.float64], NDArray[numpy.float64], float, int]:
    """(base, prob, words, above, cells): the distribution of lattice sums kept
    within [lo, hi), with the probability folded in from hi on."""

def _lattice_words(
    q: ArrayLike,
    matrix: ArrayLike,
    bg: ArrayLike,
    reach: ArrayLike,
    lo: int,
    hi: int,
    level_limit: int,
    work: int,
    work_limit: int,
    expect: int = 0,
    keep_sums: bool = True,
    /,
) -> tuple[tuple[NDArray[numpy.float64], ...] | None, int]:
    """((score, prob, sum) or None, work): every word with lattice sum in
    [lo, hi), in lexicographic order of its codes; sum (int64) only with
    keep_sums. Room is made for `expect` words at once."""

def _lattice_tails(
    q: ArrayLike, matrix: ArrayLike, bg: ArrayLike, reach: ArrayLike, lo: int, x: ArrayLike, /
) -> NDArray[numpy.float64]:
    """tails[i]: the probability of the words with lattice sum >= lo scoring at or
    above x[i], for ascending scores x, correctly rounded."""

def _best_first(x: ArrayLike, p: ArrayLike, /) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    """Scores x best first (ties in their given order), and the running sums of
    their probabilities p in that order."""
