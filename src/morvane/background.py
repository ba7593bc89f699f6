"""The background of a null model: four base probabilities, checked by one rule wherever one enters.

Motifs (rows A, C, G, T) and the statistics (code order A, T, C, G) both take theirs through
`check_background`; only motifs renormalise what it returns, the statistics use it as given.
"""

import math

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
