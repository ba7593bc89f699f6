"""The background of a null model: four base probabilities, checked by one rule wherever one enters.

Motifs (rows A, C, G, T) and the statistics (code order A, T, C, G) both take theirs through
`check_background`; only motifs renormalise what it returns, the statistics use it as given.
"""

import math
import os

import numpy as np
from numpy.typing import ArrayLike, NDArray

# How far from 1 the four probabilities may sum: room for rounded input (single precision,
# printed frequencies), none for a mistyped one.
SUM_TOLERANCE = 1e-6


def check_background(values: ArrayLike, owner: str, order: str) -> NDArray[np.float64]:
    """`values` as four probabilities (a copy, in the base order `order` names, not renormalised):
    finite, above 0 and summing to 1 within SUM_TOLERANCE. Errors start with `owner`."""
    try:
        b = np.array(values, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        b = np.empty(0)
    if b.shape != (4,) or not np.all(np.isfinite(b)) or np.any(b <= 0):
        raise ValueError(f"{owner}: a background is four positive probabilities ({order}), "
                         f"got {values!r}")
    total = math.fsum(b.tolist())
    if abs(total - 1.0) > SUM_TOLERANCE:
        raise ValueError(f"{owner}: the four background probabilities sum to {total:.12g}, "
                         f"not 1 (within {SUM_TOLERANCE:g})")
    return b


# Printed probabilities (a MEME file's background line, a background file) are rounded: within
# this of 1 they are divided by their sum before the check, as MEME's own tools read them.
PRINTED_TOLERANCE = 0.01


def printed_background(values: list[float], owner: str) -> NDArray[np.float64]:
    """Four printed probabilities (A, C, G, T), divided by their sum when rounding is all that
    keeps it from 1, then checked by `check_background`."""
    total = math.fsum(values)
    if all(math.isfinite(v) and v > 0 for v in values) and abs(total - 1.0) <= PRINTED_TOLERANCE:
        values = [v / total for v in values]
    return check_background(values, owner, "A, C, G, T")


def read_background(path: "str | os.PathLike[str]") -> NDArray[np.float64]:
    """The four probabilities (A, C, G, T) of a MEME background file (order 0, as fasta-get-markov
    writes it; gzipped or "-" for standard input). Errors name the file and the line."""
    from .formats import open_source
    from .formats.meme import read_background_file

    source = open_source(path)
    freqs = read_background_file(source)
    return printed_background([freqs[base] for base in "ACGT"], source.name)
