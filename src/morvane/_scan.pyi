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
