"""Sequence utilities for counting and scoring with PWMs and DWMs.

DNA travels as *coded sequences*: 1-D NumPy arrays of `int64` codes, A 0, T 1,
C 2, G 3 and 4 for anything else (N). [`nuc_to_num`][morvane.utils.sequences.nuc_to_num]
makes one from text, [`GenomicSequence`][morvane.utils.sequences.GenomicSequence]
reads both strands of a genome region from an indexed FASTA file. A
[`NucleotideMatrix`][morvane.utils.sequences.NucleotideMatrix] (PWM) or a
[`DiNucleotideMatrix`][morvane.utils.sequences.DiNucleotideMatrix] (DWM) counts
aligned sites and a background, turns the counts into log-probability matrices
with `prepare_mat`, and scores every window of a coded sequence with
`score_sequence`.

Every callable binds its arguments by position or by keyword, and refuses a
coded sequence that is not a 1-D `int64` NumPy array with `TypeError` or
`ValueError` (see the errors page of the documentation). Read-only arrays and
strided views are accepted.
"""

import os
import sys as sys
from collections.abc import Iterable
from typing import Literal, Protocol, Self, overload, type_check_only

import numpy
import pysam as pysam
from numpy.typing import NDArray

np = numpy

complement: dict[int, int]
"""The complement of each base code, `{0: 1, 1: 0, 2: 3, 3: 2}`; no entry for
4 (N), which is its own complement. Informational: the module does not read it."""

__test__: dict[str, object]
"""Empty: the module has no doctests."""

@type_check_only
class _Region(Protocol):
    """A genomic interval: 0-based start, end exclusive (pysam's convention).

    A `namedtuple`, a small dataclass or a pysam or pybedtools interval will do.
    """

    @property
    def chrom(self) -> str: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...

@type_check_only
class _FastaReader(Protocol):
    """What `from_fasta` needs of a reader, such as a `pysam.FastaFile`."""

    def fetch(self, chrom: str, start: int, end: int, /) -> str: ...

class SequenceMatrix:
    """The base class of both matrix kinds, and their factory.

    Not instantiated itself: make a matrix with
    [`create`][morvane.utils.sequences.SequenceMatrix.create] or with the
    [`NucleotideMatrix`][morvane.utils.sequences.NucleotideMatrix] and
    [`DiNucleotideMatrix`][morvane.utils.sequences.DiNucleotideMatrix] constructors.
    """

    @overload
    @staticmethod
    def create(length: int, stype: Literal["PWM"]) -> NucleotideMatrix:
        """Make an empty matrix of a kind given by name.

        Also reachable as `NucleotideMatrix.create` and `DiNucleotideMatrix.create`.
        Type checkers accept only the two names: check a name read from user
        input before passing it on.

        Args:
            length: The motif width `L`, a non-negative `int`.
            stype: `"PWM"` for a `NucleotideMatrix`, `"DWM"` for a
                `DiNucleotideMatrix` (case-sensitive).

        Returns:
            The new matrix, all counts zero.

        Raises:
            SystemExit: For any other `stype`, with the message
                `Unkown score type <stype>` (spelled so). Uncaught, it ends the
                interpreter with status 1; it is not an `Exception`.
            ValueError: From NumPy, for a negative `length`.
            TypeError: From NumPy, for a `length` that is not an integer.

        Example:
            ```python
            pwm = SequenceMatrix.create(17, "PWM")   # a NucleotideMatrix
            ```
        """

    @overload
    @staticmethod
    def create(length: int, stype: Literal["DWM"]) -> DiNucleotideMatrix:
        """Make an empty `DiNucleotideMatrix`: the `"DWM"` form of `create` above."""

    def add_counts(self, obj: Self) -> None:
        """Merge another matrix's counts into this one.

        `counts`, `bg_counts`, `neg_counts`, `no_bias` and `no_bg` of `self`
        each become `self`'s plus `obj`'s (arrays in place), so that matrices
        counted in separate workers combine into one. `obj` is unchanged.
        Prepared matrices are not merged: call `prepare_mat` afterwards.

        Args:
            obj: A matrix of the same class and width.

        Raises:
            AttributeError: When `obj` lacks one of the five attributes.
            ValueError: From NumPy, when the arrays' shapes differ
                (`operands could not be broadcast together ...`). Merges done
                before the failing one stay done.
        """

class NucleotideMatrix(SequenceMatrix):
    """A position weight matrix (PWM) of width `L`.

    Count aligned sites with `add_sequence` and a background with
    `add_background`, call `prepare_mat`, then score coded sequences with
    `score_sequence`. Every attribute is an ordinary instance attribute that
    the methods read back on each call.

    Args:
        length: The motif width `L`, a non-negative `int`.

    Raises:
        ValueError: From NumPy, for a negative `length`
            (`negative dimensions are not allowed`).
        TypeError: From NumPy, for a `length` that is not an integer.

    Example:
        ```python
        pwm = NucleotideMatrix(4)
        for site in ["ACGT", "ACGA", "TCGT"]:
            pwm.add_sequence(nuc_to_num(site))
        pwm.prepare_mat()
        scores = pwm.score_sequence(nuc_to_num("GGACGTTT"))
        ```
    """

    length: int
    """The width `L` as given to the constructor."""
    counts: NDArray[numpy.float64]
    """Shape `(5, L)`, `[code, position]`: weight of the counted sites with each
    code at each position (positive amounts only)."""
    neg_counts: NDArray[numpy.float64]
    """Shape `(5, L)`: the same for amounts of 0 or less; read by nothing."""
    bg_counts: NDArray[numpy.float64]
    """Shape `(5, L)`: background weights, N in row 4."""
    no_bias: float | int
    """Total site weight: the integer 0 until something is counted; after
    `prepare_mat` the mean base weight per position of `counts` (a NumPy float64)."""
    no_bg: float | int
    """Total background weight, as `no_bias` for `bg_counts`."""
    pssm: NDArray[numpy.float64]
    """Shape `(5, L)`: zeros, then `log2(bias_pwm / bg_pwm)` after `prepare_mat`;
    what `score_sequence` reads."""
    bias_pwm: NDArray[numpy.float64]
    """Shape `(5, L)`, set by `prepare_mat`: `(counts + 1) / (no_bias + 4)`."""
    bg_pwm: NDArray[numpy.float64]
    """Shape `(5, L)`, set by `prepare_mat`: `(bg_counts + 1) / (no_bg + 4)`."""
    def __init__(self, length: int) -> None: ...
    def add_sequence(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None:
        """Count one aligned site, its first `L` codes, with weight `amount`.

        Positive amounts are added to `counts`, others to `neg_counts`;
        `no_bias` grows by `amount` in both cases. A site with an N (code 4)
        among its first `L` codes is skipped silently.

        Args:
            sequence: A coded sequence of at least `L` codes, shape `(n,)`, `int64`.
            amount: The site's weight.

        Raises:
            TypeError: When `sequence` is not a NumPy array, or `amount` not a number.
            ValueError: For a wrong element type or number of dimensions, fewer
                than `L` codes (`sequence has 2 elements; expected at least 3
                (the matrix length)`) or a code outside 0 to 4. Nothing changes.
        """

    def add_background(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None:
        """Count one background sequence, its first `L` codes, into `bg_counts`.

        The weight `amount` is added whatever its sign, N's are counted in row
        4, and `no_bg` grows by `amount`.

        Args:
            sequence: A coded sequence of at least `L` codes, shape `(n,)`, `int64`.
            amount: The sequence's weight.

        Raises:
            TypeError: As for `add_sequence`.
            ValueError: As for `add_sequence`.
        """

    def prepare_mat(self) -> None:
        """Turn the counts into the probability and log-odds matrices.

        Computes `no_bias`, `no_bg`, `bias_pwm`, `bg_pwm` and `pssm` (each a new
        object) with one pseudo-count per cell. Can be called again after more
        counting.

        Raises:
            AttributeError: For count attributes you removed.
            TypeError: For count attributes you replaced by other objects.
        """

    def score_sequence(self, sequence: NDArray[numpy.int64]) -> NDArray[numpy.float64]:
        """Score every window of a coded sequence against the matrix.

        The log-odds score of the window starting at `s` lands at index
        `s + L // 2`. `L` is the number of columns of `pssm`; before
        `prepare_mat`, `pssm` is all zeros.

        Args:
            sequence: A coded sequence, shape `(n,)`, `int64`.

        Returns:
            A new `float64` array of shape `(n,)`: NaN where no whole window is
            centred (the first `L // 2` and the last `L - 1 - L // 2` indices)
            and for windows holding a code of 4 or more. A width of 0 gives 0.0
            everywhere.

        Raises:
            TypeError: When `sequence` is not a NumPy array.
            ValueError: For a wrong element type or number of dimensions, a
                negative code, or a replaced `pssm` with fewer than four rows.
        """

class DiNucleotideMatrix(SequenceMatrix):
    """A dinucleotide weight matrix (DWM) of width `L`.

    Counts every ordered pair of positions of each aligned site, so that it
    models dependencies between positions, and scores a window by the
    conditional log-probability of each base given all the others, against
    the same for the background. Used like a
    [`NucleotideMatrix`][morvane.utils.sequences.NucleotideMatrix]. Memory
    grows with `L²`: each `(5, 5, L, L)` array takes `200 · L²` bytes.

    Args:
        length: The motif width `L`, a non-negative `int`.

    Raises:
        ValueError: From NumPy, for a negative `length`.
        TypeError: From NumPy, for a `length` that is not an integer.
    """

    length: int
    """The width `L` as given to the constructor."""
    counts: NDArray[numpy.float64]
    """Shape `(5, 5, L, L)`, `[x, y, p, q]`: weight of sites with `x` at `p` and `y` at `q`."""
    bg_counts: NDArray[numpy.float64]
    """Shape `(5, 5, L, L)`: the same for the background."""
    neg_counts: NDArray[numpy.float64]
    """Shape `(5, L)`: carried and merged by `add_counts` only."""
    no_bias: float | int
    """Total site weight: the integer 0 until something is counted; a NumPy
    float64 after `prepare_mat`."""
    no_bg: float | int
    """Total background weight, as `no_bias`."""
    pssm: NDArray[numpy.float64]
    """Shape `(5, L)`: `log2(bias_pwm / bg_pwm)` after `prepare_mat`, for callers."""
    bias_pwm: NDArray[numpy.float64]
    """Smoothed position probabilities of the sites: zeros of shape `(5, 5, L, L)`,
    then shape `(5, L)` after `prepare_mat`."""
    bg_pwm: NDArray[numpy.float64]
    """The same for the background."""
    bias_dwm: NDArray[numpy.float64]
    """Shape `(5, 5, L, L)`: smoothed pair probabilities of the sites, written in
    place by `prepare_mat`."""
    bg_dwm: NDArray[numpy.float64]
    """The same for the background."""
    bias_pwm_log: NDArray[numpy.float64]
    """Shape `(5, L)`: `log2(bias_pwm)`; exists after `prepare_mat`."""
    bg_pwm_log: NDArray[numpy.float64]
    """Shape `(5, L)`: `log2(bg_pwm)`; exists after `prepare_mat`."""
    bias_dwm_log: NDArray[numpy.float64]
    """Shape `(5, 5, L, L)`: `log2(bias_dwm)`; exists after `prepare_mat`."""
    bg_dwm_log: NDArray[numpy.float64]
    """Shape `(5, 5, L, L)`: `log2(bg_dwm)`; exists after `prepare_mat`."""
    def __init__(self, length: int) -> None: ...
    def add_sequence(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None:
        """Count one aligned site, its first `L` codes, into `counts`.

        `amount` is added, whatever its sign, to `counts[x_p, x_q, p, q]` for
        every ordered pair of positions `p`, `q`, and `no_bias` grows by it. A
        site with an N (code 4) among its first `L` codes is skipped silently.

        Args:
            sequence: A coded sequence of at least `L` codes, shape `(n,)`, `int64`.
            amount: The site's weight.

        Raises:
            TypeError: When `sequence` is not a NumPy array, or `amount` not a number.
            ValueError: For a wrong element type or number of dimensions, fewer
                than `L` codes or a code outside 0 to 4. Nothing changes.
        """

    def add_background(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None:
        """Count one background sequence, its first `L` codes, into `bg_counts`.

        As `add_sequence`, for the background and `no_bg`: a sequence holding
        an N is skipped here too, unlike the PWM's background.

        Args:
            sequence: A coded sequence of at least `L` codes, shape `(n,)`, `int64`.
            amount: The sequence's weight.

        Raises:
            TypeError: As for `add_sequence`.
            ValueError: As for `add_sequence`.
        """

    def prepare_mat(self) -> None:
        """Turn the counts into the probability and log-probability matrices.

        Computes `no_bias`, `no_bg`, `bias_pwm`, `bg_pwm`, `pssm`, `bias_dwm`
        and `bg_dwm` (pair counts smoothed towards the product of the position
        probabilities), and the four `*_log` matrices that `score_sequence`
        reads. Can be called again after more counting.

        Raises:
            AttributeError: For count attributes you removed.
            TypeError: When `length` is not an integer.
            IndexError: For count arrays smaller than `(5, 5, L, L)`.
        """

    def score_sequence(self, sequence: NDArray[numpy.int64]) -> NDArray[numpy.float64]:
        """Score every window of a coded sequence against the matrix.

        The score of the window starting at `s` (the sum over its positions of
        the conditional log-probability of the base given all the others,
        sites minus background) lands at index `s + L // 2`. `L` is `length`.

        Args:
            sequence: A coded sequence, shape `(n,)`, `int64`.

        Returns:
            A new `float64` array of shape `(n,)`: NaN where no whole window is
            centred and for windows holding a code of 4 or more. A width of 0
            gives 0.0 everywhere.

        Raises:
            AttributeError: Before the first `prepare_mat` (no `bias_pwm_log`).
            TypeError: When `sequence` is not a NumPy array.
            ValueError: For a wrong element type or number of dimensions, a
                negative code, a negative `length`, or replaced `*_log` arrays
                that are too small.
        """

def nuc_to_num(sequence: str) -> NDArray[numpy.int64]:
    """Convert DNA text to a coded sequence.

    A 0, T 1, C 2, G 3, upper and lower case alike; any other character 4.

    Args:
        sequence: The text, exactly a `str` (not a subclass, nor `bytes`).

    Returns:
        A new writable `int64` array of shape `(len(sequence),)`.

    Raises:
        TypeError: For anything but a `str`.
        OverflowError: For a text of more than 2,147,483,647 characters.

    Example:
        ```python
        nuc_to_num("ACGTn-")        # array([0, 2, 3, 1, 4, 4])
        ```
    """

class GenomicSequence:
    """A genome region with its codes on both strands.

    The constructor sets `region`, `length` and zeroed `sequence` and `revcomp`
    arrays; [`from_fasta`][morvane.utils.sequences.GenomicSequence.from_fasta]
    fills them.

    Args:
        region: An object with `chrom`, `start` and `end` (0-based, end
            exclusive); kept by reference.

    Raises:
        AttributeError: For a region without `start` or `end`.
        ValueError: From NumPy, when `end < start`.
    """

    region: _Region
    """The region object given to the constructor."""
    length: int
    """`region.end - region.start`, computed once by the constructor."""
    sequence: NDArray[numpy.int64]
    """Shape `(length,)`: the forward-strand codes (zeros before `from_fasta`)."""
    revcomp: NDArray[numpy.int64]
    """Shape `(length,)`: the reverse-complement codes; `revcomp[k]` is the
    complement of `sequence[length - 1 - k]`."""
    def __init__(self, region: _Region) -> None: ...
    def from_fasta(self, fasta_obj: _FastaReader) -> Self:
        """Read the region's text and fill `sequence` and `revcomp` in place.

        Calls `fasta_obj.fetch(region.chrom, region.start, region.end)`; the
        reader is not closed, and the arrays stay the same objects.

        Args:
            fasta_obj: A reader with `fetch(chrom, start, end) -> str`, such as
                a `pysam.FastaFile` of an indexed FASTA file.

        Returns:
            The instance itself, so that `GenomicSequence(r).from_fasta(f)` chains.

        Raises:
            KeyError: From pysam, for a chromosome the file does not have.
            TypeError: When `fetch` returns `None` or anything but a `str`.
            ValueError: When `fetch` returns fewer characters than `length`
                (a region running past the end of its sequence), or when a
                replaced array is too short. Nothing is written on failure.
        """

def get_gc_content(regions: Iterable[_Region], fasta: str | os.PathLike[str]) -> float:
    """The GC fraction of a set of regions.

    G, C, g and c are counted in the text of every region and divided by the
    summed region lengths `end - start`, pooled over all regions. Any other
    letter, and any part of a region past the end of its sequence, counts in
    the denominator only.

    Args:
        regions: An iterable of regions (consumed once; a generator will do).
        fasta: The path of an indexed FASTA file; opened with
            `pysam.FastaFile` and closed again.

    Returns:
        The fraction, from 0.0 to 1.0.

    Raises:
        OSError: From pysam, when the file cannot be opened.
        KeyError: From pysam, for a chromosome the file does not have.
        ZeroDivisionError: For no regions or a summed length of zero.
    """
