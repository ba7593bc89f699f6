"""Benjamini-Hochberg q-values of reported hits."""

import numpy as np
from numpy.typing import ArrayLike, NDArray


def bh_qvalues(pvalues: ArrayLike, n_tests: int) -> NDArray[np.float64]:
    """Benjamini-Hochberg q-values of the given p-values among `n_tests` tested windows.

    q_i = min over j >= rank_i of n_tests * p_(j) / j, capped at 1. Only the reported p-values are at
    hand, so the minimum runs over them alone: a q-value is then never smaller than the one BH gives
    over all windows (it is at most conservative). NaN p-values stay NaN and take no rank; any
    other outside [0, 1] is a ValueError.
    """
    p = np.asarray(pvalues, dtype=np.float64)
    q = np.full(p.shape, np.nan)
    ok = np.flatnonzero(~np.isnan(p.ravel()))
    outside = p.ravel()[ok]
    outside = outside[(outside < 0.0) | (outside > 1.0)]
    if outside.size:
        raise ValueError(f"p-values must lie in [0, 1], got {outside[0]!r}")
    n = int(n_tests)
    if ok.size > n:
        raise ValueError(f"n_tests ({n}) is smaller than the number of p-values ({ok.size})")
    if ok.size:
        flat = p.ravel()[ok]
        order = np.argsort(flat, kind="stable")
        ranked = flat[order] * n / np.arange(1, ok.size + 1)
        steps = np.minimum.accumulate(ranked[::-1])[::-1]
        out = np.empty(ok.size)
        out[order] = np.minimum(steps, 1.0)
        qf = q.ravel()
        qf[ok] = out
        q = qf.reshape(p.shape)
    return q
