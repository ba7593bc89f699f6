"""Fused multi-motif scanning of nucleotide codes on both strands, without the GIL."""

from collections.abc import Iterable
from typing import Any, Literal, final

import numpy
from numpy.typing import NDArray

def encode(text: str | bytes | bytearray | memoryview, /) -> NDArray[numpy.uint8]:
    """One-byte codes (numpy.uint8) of a str or bytes-like text: A 0, T 1, C 2,
    G 3, anything else 4, upper and lower case alike."""

def de_bruijn(L: int, /) -> NDArray[numpy.uint8]:
    """Codes (numpy.uint8, 0 to 3) of length 4**L + L - 1 whose windows of width L
    are every word of length L, each once (1 <= L <= 15)."""

def format_rows(
    pieces: list[bytes | tuple[NDArray[Any], int] | tuple[NDArray[Any], int, list[bytes]]], n: int, /
) -> bytes:
    """The text of n rows as bytes: each row is the pieces in turn, a piece being
    bytes (written as they are) or (column, arg), a one-dimensional column of n
    elements: int64 in decimal; float64 as repr() (arg 0) or format(x, '.{arg}g');
    bytes (S) or str (U) in UTF-8, trailing NULs dropped, with arg 0 leaving them
    as they are, 1 turning tab, newline and carriage return into a space, 2
    percent-encoding what a GFF3 attribute value reserves and 3 turning those three
    and space into '_'. A piece (index, arg, texts) writes texts[index[i]]
    for an int32 or int64 column of indices into a list of bytes, escaped as
    arg says: each text made once, not once a row."""

@final
class Scanner:
    """Matrices (rows A, T, C, G; any further rows ignored) prepared for fused
    scanning of one-byte codes on one or both strands. With model='dwm', the
    matrices are prepared DiNucleotideMatrix objects (their length and four log
    matrices are read once), scored as their score_sequence scores the codes of
    each strand."""

    def __new__(
        cls,
        matrices: Iterable[Any],
        thresholds: Iterable[float],
        strand: Literal["+", "-", "both"] = "both",
        model: Literal["pwm", "dwm"] = "pwm",
    ) -> Scanner: ...
    @property
    def widths(self) -> tuple[int, ...]:
        """Width of each matrix, in order."""
    @property
    def dtype(self) -> numpy.dtype[numpy.void]:
        """The packed structured dtype of the hits scan returns: motif (int32), start
        (int64), strand (int8, +1 or -1), score (float64) and window (bytes as wide
        as the widest matrix)."""
    def scan(
        self, codes: NDArray[numpy.uint8], limit: int | None = None, offset: int = 0
    ) -> tuple[NDArray[numpy.void], NDArray[numpy.int64]]:
        """(hits, tested): every window at or above its matrix's threshold among the
        windows of codes that start before limit, as one array of Scanner.dtype;
        tested[k]: matrix k's N-free windows starting before limit, once for each
        strand scanned."""
    def best(
        self, codes: NDArray[numpy.uint8], first: Any, count: Any, motif: Any
    ) -> tuple[NDArray[numpy.float64], NDArray[numpy.int64], NDArray[numpy.int8], NDArray[numpy.int64]]:
        """(score, start, strand, windows), one element per query i: the best of the
        count[i] windows of matrix motif[i] starting at codes[first[i]], on both
        strands, whatever the thresholds: the highest score, as scan scores it, the
        lowest start and '+' (1) before '-' (-1) among equal ones. Windows with N are
        passed over; windows[i] counts the others, once per strand. With none, score
        is NaN, start -1 and strand 0. PWMs only."""

@final
class FastaParser:
    """Reads FASTA text handed in pieces, in order: every byte of a sequence line
    but ASCII whitespace is one base, coded A 0, T 1, C 2, G 3, else 4."""

    def __new__(cls) -> FastaParser: ...
    def feed(
        self, text: bytes | bytearray | memoryview, out: NDArray[numpy.uint8], /
    ) -> tuple[int, list[tuple[int, bytes, int]]]:
        """(count, starts): codes the bases of the next piece of FASTA text into out
        (at least as long as text) and returns how many; starts holds (index in out of
        its first base, name, header line) for each record whose header line ends in
        this piece. ValueError when a base comes before the first header."""
    def finish(self) -> list[tuple[bytes, int, int, int, int, int]]:
        """Ends the text; every record read, as (name, header line, offset, length,
        line_bases, line_width): the fields of a samtools .fai line, line_bases 0 when
        the record is empty or its lines do not all have one length."""

def decode_lines(
    text: bytes | bytearray | memoryview, column: int, line_bases: int, line_width: int, out: NDArray[numpy.uint8], /
) -> bool:
    """Codes len(out) bases of a record whose lines hold line_bases bases in line_width
    bytes into out, from text, which starts at the base in column `column` of its
    line. False when the text does not have that layout."""

# Private: the instruction-set level of this module's kernels, for tests and benchmarks.
def _simd_level() -> str:
    """The instruction-set level the scanner's kernels run ("base", "avx2", "avx512", or
    AVX-512 with byte permutes, the widest)."""

def _force_simd_level(name: str | None, /) -> str:
    """Caps the scanner's instruction-set level at name (None: the widest this processor
    has) and returns the level now in effect. Not to be called while scans run on other
    threads."""
