"""Tails of best-first lists of scores, as the exact PWM null and the sampled DWM tails keep them."""

import numpy as np
from numpy.typing import NDArray


def _last_within(d: NDArray[np.float64], cum: NDArray[np.float64], p: float) -> int:
    """Index of the last score of a best-first list whose tail is at most p (-1 if none), with cum
    the running sum of its weights. A score's tail holds all its ties, so it is cum at the last of
    them; tails grow down the list, so the scores within p are a leading run, which ends just
    before the ties of the first entry past p."""
    k = int(np.searchsorted(cum, p, side="right"))
    if k == d.size:
        return k - 1
    return int(np.searchsorted(-d, -d[k], side="left")) - 1
