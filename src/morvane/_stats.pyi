"""The lattice recursions and table reads of morvane.stats, without the GIL.

q is the integer matrix (4, L) of a lattice, reach its (L + 1) suffix maxima, bg the
background (4)."""

import numpy
from numpy.typing import ArrayLike, NDArray

SUBSTEPS: int
"""Substeps of a fine lattice step in which read_off places a score's bound."""

def lattice_bracket(
    q: ArrayLike,
    bg: ArrayLike,
    reach: ArrayLike,
    lo: int,
    hi: int,
    count_words: bool = True,
    tilt: ArrayLike | None = None,
    /,
) -> tuple[int, NDArray[numpy.float64], NDArray[numpy.float64], float, int]:
    """(base, prob, words, above, cells): the distribution of lattice sums kept
    within [lo, hi), with the probability folded in from hi on; words is empty
    without count_words. With tilt (4, L), words holds each sum's total of the
    products of tilt[base, column] over its words instead of their count."""

def lattice_words(
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

def lattice_tails(
    q: ArrayLike, matrix: ArrayLike, bg: ArrayLike, reach: ArrayLike, lo: int, x: ArrayLike, /
) -> NDArray[numpy.float64]:
    """tails[i]: the probability of the words with lattice sum >= lo scoring at or
    above x[i], for ascending scores x, correctly rounded."""

def best_first(x: ArrayLike, p: ArrayLike, /) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    """Scores x best first (ties in their given order), and the running sums of
    their probabilities p in that order."""

def fine_table(
    prob: ArrayLike, tilt: ArrayLike, pad: int, n: int, /
) -> tuple[NDArray[numpy.float64], NDArray[numpy.float32]]:
    """(tails, ratio): the fine bound's table of the n sums from pad below a
    recursion's first: the tails from each sum on (n + 1, summed from the
    top), and each sum's tilted weight over its probability (float32, rounded
    up; 1 where the weight is below 2**-1000, the sum holds no word or the
    ratio is 1 or more)."""

def read_off(
    motif: ArrayLike | None, scores: ArrayLike, tables: list[tuple[object, ...] | None], /
) -> NDArray[numpy.float64]:
    """The p-value of each score, read off the kept tables of its motif's null
    (tables[motif[i]], as PwmNull.kept_tables gives them, or None); NaN where
    they do not serve it. motif (int32) may be None with one table; both
    columns may be strided fields of hit records."""
