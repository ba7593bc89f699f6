"""Sequence utilities for counting and scoring with PWMs and DWMs."""

import os
import sys as sys
from collections.abc import Iterable
from typing import Literal, Protocol, Self, overload, type_check_only

import numpy
import pysam as pysam
from numpy.typing import NDArray

np = numpy

# Nucleotide code: A 0, T 1, C 2, G 3, anything else 4 (N).
# complement maps each base code to its partner's; it has no entry for 4.
complement: dict[int, int]
# Empty: the module has no doctests.
__test__: dict[str, object]

@type_check_only
class _Region(Protocol):
    """A genomic interval: 0-based start, end exclusive (pysam's convention)."""

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
    """ Class-builder """

    @overload
    @staticmethod
    def create(length: int, stype: Literal["PWM"]) -> NucleotideMatrix: ...
    @overload
    @staticmethod
    def create(length: int, stype: Literal["DWM"]) -> DiNucleotideMatrix: ...
    @overload
    @staticmethod
    def create(length: int, stype: str) -> NucleotideMatrix | DiNucleotideMatrix: ...
    def add_counts(self, obj: Self) -> None: ...

class NucleotideMatrix(SequenceMatrix):
    length: int
    # (5, length) arrays indexed [code, position]; row 4 is N.
    counts: NDArray[numpy.float64]
    neg_counts: NDArray[numpy.float64]
    bg_counts: NDArray[numpy.float64]
    # The integer 0 until something is counted; after prepare_mat a NumPy float64.
    no_bias: float | int
    no_bg: float | int
    pssm: NDArray[numpy.float64]
    # Set by prepare_mat.
    bias_pwm: NDArray[numpy.float64]
    bg_pwm: NDArray[numpy.float64]
    def __init__(self, length: int) -> None: ...
    def add_sequence(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None:
        """ Adds sequence to SequenceMatrix the number of times specified in amount """

    def add_background(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None:
        """ Adds sequence to count of background nucleotides """

    def prepare_mat(self) -> None:
        """ Prepare matrices for scoring with score_sequence """

    def score_sequence(self, sequence: NDArray[numpy.int64]) -> NDArray[numpy.float64]:
        """ Score nucleotide sequence against motif """

class DiNucleotideMatrix(SequenceMatrix):
    """ Dinucleotide matrix """

    length: int
    # (5, 5, length, length) arrays indexed [code at p, code at q, p, q].
    counts: NDArray[numpy.float64]
    bg_counts: NDArray[numpy.float64]
    # (5, length); carried and merged only.
    neg_counts: NDArray[numpy.float64]
    no_bias: float | int
    no_bg: float | int
    # (5, length) after prepare_mat.
    pssm: NDArray[numpy.float64]
    bias_pwm: NDArray[numpy.float64]
    bg_pwm: NDArray[numpy.float64]
    # (5, 5, length, length), rewritten in place by prepare_mat.
    bias_dwm: NDArray[numpy.float64]
    bg_dwm: NDArray[numpy.float64]
    # The four matrices that score_sequence reads; they exist after prepare_mat.
    bias_pwm_log: NDArray[numpy.float64]
    bg_pwm_log: NDArray[numpy.float64]
    bias_dwm_log: NDArray[numpy.float64]
    bg_dwm_log: NDArray[numpy.float64]
    def __init__(self, length: int) -> None: ...
    def add_sequence(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None: ...
    def add_background(self, sequence: NDArray[numpy.int64], amount: float = 1.0) -> None:
        """ Adds sequence to count of background nucleotides """

    def prepare_mat(self) -> None: ...
    def score_sequence(self, sequence: NDArray[numpy.int64]) -> NDArray[numpy.float64]: ...

def nuc_to_num(sequence: str) -> NDArray[numpy.int64]:
    """ Convert DNA sequence string to internal number format """

class GenomicSequence:
    """ Used in drellow for fast scoring of PWM/DWM """

    region: _Region
    length: int
    # Codes of the forward strand and of the reverse complement.
    sequence: NDArray[numpy.int64]
    revcomp: NDArray[numpy.int64]
    def __init__(self, region: _Region) -> None: ...
    def from_fasta(self, fasta_obj: _FastaReader) -> Self:
        """ Fill sequence from fasta object """

def get_gc_content(regions: Iterable[_Region], fasta: str | os.PathLike[str]) -> float:
    """ Get GC content from regions in fasta """
