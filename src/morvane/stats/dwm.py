"""Tails of DWM scores: exact by listing every word up to width 12, sampled beyond (plain sampling of
the background, importance sampling far out), with a 95% interval.

Exact: the windows of a de Bruijn sequence are every word of the width, each once; the native DWM
scanner lists those at or above a cut-off with their exact scores, and a word's probability is the
product of its bases' background probabilities. Only the words above the cut-off are ever scored.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from functools import lru_cache
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..background import check_background
from .tails import _last_within

if TYPE_CHECKING:
    from ..utils.sequences import DiNucleotideMatrix

Floats = NDArray[np.float64]
Seed = int | np.random.SeedSequence | np.random.Generator | None


class TailEstimate(NamedTuple):
    """An estimate with its 95% confidence interval, from `n` sampled windows; exact values (words of
    width up to `EXACT_WIDTH`) have low == value == high and n = 4**width, the words listed."""

    value: float | Floats
    low: float | Floats
    high: float | Floats
    n: int


class _Tails(NamedTuple):
    """Estimated tails at scores, their 95% interval, and the sampled windows reaching each score."""

    value: Floats
    low: Floats
    high: Floats
    hits: NDArray[np.intp]


EXACT_WIDTH = 12  # widest motif whose tails list every word (4**12 = 16.8 million)
_Z = 1.959963984540054  # two-sided 95% normal quantile
_DEFAULT_N = 100_000
_IS_MIN_HITS = 10  # below this many plain hits, a tail comes from importance sampling
_IS_SHARE = 0.9  # share of the weighted windows drawn from the motif's own positions


def _wilson(k: ArrayLike, n: ArrayLike) -> tuple[Floats, Floats]:
    """Wilson score interval for k successes in n trials (k, n may be fractional effective counts)."""
    k = np.asarray(k, dtype=np.float64)
    n = np.asarray(n, dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        phat = np.where(n > 0, k / n, 0.0)
        z2 = _Z * _Z
        centre = (phat + z2 / (2 * n)) / (1 + z2 / n)
        half = _Z * np.sqrt(phat * (1 - phat) / n + z2 / (4 * n * n)) / (1 + z2 / n)
    return np.clip(centre - half, 0.0, 1.0), np.clip(centre + half, 0.0, 1.0)


def _window_scores(dwm: DiNucleotideMatrix, codes: NDArray[np.integer]) -> Floats:
    """Scores of independent windows (rows of `codes`) with the matrix's own scanning."""
    n, L = codes.shape
    # one N after each window: every window straddling two samples holds it and is skipped
    laid = np.full((n, L + 1), 4, dtype=np.int64)
    laid[:, :L] = codes
    return dwm.score_sequence(laid.ravel())[L // 2::L + 1]


class _Proposal:
    """Windows drawn position by position, each code given its parent position's (a tree over the
    positions; a position without a parent has its own probabilities)."""

    def __init__(self, order: list[int], parent: list[int], cond: Floats) -> None:
        self.order, self.parent = order, parent
        self.cond = cond / cond.sum(axis=2, keepdims=True)  # [m, parent code, code]

    @classmethod
    def independent(cls, probs: Floats) -> _Proposal:
        L = probs.shape[1]
        return cls(list(range(L)), [-1] * L, np.repeat(probs.T[:, None, :], 4, axis=1))

    @classmethod
    def tree(cls, dwm: DiNucleotideMatrix) -> _Proposal:
        """The tree of strongest dependencies (largest mutual information) of the motif's own pair
        probabilities, which draws the pairs a DWM rewards together (Chow and Liu)."""
        L = int(dwm.length)
        joint = np.asarray(dwm.bias_dwm, dtype=np.float64)[:4, :4]  # [x, y, p, q]
        joint = joint / joint.sum(axis=(0, 1), keepdims=True)
        single = np.asarray(dwm.bias_pwm, dtype=np.float64)[:4]
        single = single / single.sum(axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = joint / (single[:, None, :, None] * single[None, :, None, :])
            info = np.nansum(joint * np.log(np.where(ratio > 0, ratio, 1.0)), axis=(0, 1))
        order, parent = [0], [-1] * L
        best, via = info[0].copy(), np.zeros(L, dtype=int)
        best[0] = -np.inf
        for _ in range(L - 1):  # Prim: the maximum spanning tree, in an order that draws parents first
            m = int(np.argmax(np.where(np.isin(np.arange(L), order), -np.inf, best)))
            order.append(m)
            parent[m] = int(via[m])
            closer = info[m] > best
            best, via = np.where(closer, info[m], best), np.where(closer, m, via)
        cond = np.empty((L, 4, 4))
        for m in range(L):
            cond[m] = single[:, m][None, :] if parent[m] < 0 else joint[:, :, parent[m], m]
        return cls(order, parent, cond)

    def sample(self, rng: np.random.Generator, n: int) -> NDArray[np.int8]:
        if all(up < 0 for up in self.parent):
            # independent positions: all at once, the draws of earlier releases for the same seed
            cum = np.cumsum(self.cond[:, 0], axis=1)[:, :3]  # (L, 3): the last code takes the rest
            u = rng.random((n, len(self.order)))
            return (u[:, :, None] >= cum[None]).sum(axis=2, dtype=np.int8)
        codes = np.zeros((n, len(self.order)), dtype=np.int8)
        for m in self.order:
            rows = self.cond[m][codes[:, self.parent[m]] if self.parent[m] >= 0 else np.zeros(n, dtype=int)]
            u = rng.random(n)[:, None]
            codes[:, m] = (u >= np.cumsum(rows, axis=1)[:, :3]).sum(axis=1)  # the last code takes the rest
        return codes

    def log_prob(self, codes: NDArray[np.int8]) -> Floats:
        n = len(codes)
        total = np.zeros(n)
        for m in self.order:
            up = codes[:, self.parent[m]] if self.parent[m] >= 0 else np.zeros(n, dtype=int)
            total += np.log(self.cond[m][up, codes[:, m]])
        return total


class _DwmSample:
    """Sampled window scores with their importance weights, sorted by score, best first."""

    def __init__(self, dwm: DiNucleotideMatrix, bg: Floats, n: int, seed: Seed, q: _Proposal | None) -> None:
        L = int(dwm.length)
        rng = np.random.default_rng(seed)
        flat = _Proposal.independent(np.repeat(bg[:, None], L, axis=1))
        # Defensive mixture: a share of the weighted windows still comes from the background, which
        # bounds every weight by 1/(1 - _IS_SHARE) where the motif's own positions rarely go.
        n_q = 0 if q is None else int(round(_IS_SHARE * n))
        x, w = np.empty(n), np.ones(n)
        chunk = max(1, (1 << 21) // (L + 1))  # windows drawn and scored at once: memory stays small
        for lo in range(0, n, chunk):
            hi = min(lo + chunk, n)
            k = max(0, min(hi, n_q) - lo)  # windows of this chunk drawn from the motif's positions
            codes = np.concatenate([(flat if q is None else q).sample(rng, k), flat.sample(rng, hi - lo - k)])
            x[lo:hi] = _window_scores(dwm, codes)
            if q is not None:
                log_ratio = q.log_prob(codes) - np.log(bg)[codes].sum(axis=1)
                w[lo:hi] = 1.0 / (_IS_SHARE * np.exp(log_ratio) + (1.0 - _IS_SHARE))
        order = np.argsort(-x, kind="stable")
        self.x, self.w, self.n = x[order], w[order], n
        self.cw = np.concatenate(([0.0], np.cumsum(self.w)))
        self.cw2 = np.concatenate(([0.0], np.cumsum(self.w * self.w)))
        # one pseudo-hit of the smallest weight: 1/(n+1) for plain sampling, never zero
        self.floor = float(self.w.min())
        # the envelope laid out on this weighted sample and its plain one (see _envelope_for)
        self.envelope: tuple[_DwmSample, _Envelope] | None = None

    def count(self, s: Floats) -> NDArray[np.intp]:
        return np.searchsorted(-self.x, -s, side="right")

    def estimate(self, s: Floats) -> _Tails:
        k = self.count(s)
        n = self.n
        # a weighted count can exceed n: the tail of a probability stays within 1
        value = np.minimum((self.cw[k] + self.floor) / (n + 1), 1.0)
        mean = self.cw[k] / n
        var = np.maximum(self.cw2[k] / n - mean * mean, 0.0) / n
        # the binomial sample size with the same variance; n itself for unit weights
        with np.errstate(invalid="ignore", divide="ignore"):
            n_eff = np.where(var > 0, mean * (1 - mean) / var, n)
        low, high = _wilson(mean * n_eff, n_eff)
        low[k == 0] = 0.0  # no sampled window reached s: nothing rules out a tail of 0
        return _Tails(value, np.minimum(low, value), np.maximum(high, value), k)


def _proposal(dwm: DiNucleotideMatrix, proposal: ArrayLike | None, L: int) -> _Proposal:
    if proposal is None:
        return _Proposal.tree(dwm)
    q = np.array(np.asarray(proposal, dtype=np.float64)[:4])
    if q.shape != (4, L):
        raise ValueError(f"proposal must have shape {(4, L)}, not {q.shape}")
    if not np.all(np.isfinite(q)) or np.any(q <= 0.0):
        raise ValueError(f"proposal must hold probabilities above 0, got {q.tolist()}")
    return _Proposal.independent(q / q.sum(axis=0))


@lru_cache(maxsize=16)
def _cached_sample(dwm: DiNucleotideMatrix, bg_bytes: bytes, n: int, seed: Seed,
                   q_bytes: bytes | None, tree: bool) -> _DwmSample:
    bg = np.frombuffer(bg_bytes)
    if tree:
        return _DwmSample(dwm, bg, n, seed, _Proposal.tree(dwm))
    q = None if q_bytes is None else _Proposal.independent(np.frombuffer(q_bytes).reshape(4, -1))
    return _DwmSample(dwm, bg, n, seed, q)


def _sample_for(dwm: DiNucleotideMatrix, bg: Floats, n: int, seed: Seed, proposal: ArrayLike | None,
                weighted: bool = True) -> _DwmSample:
    """The sample of plain windows (weighted False) or of weighted ones from `proposal` (None: the
    motif's tree). A scan asks for the p-values of every chunk's hits: the windows of one (matrix,
    background, n, seed, proposal) are drawn and scored once. The matrix is keyed by identity, so
    one that is prepared again in place keeps its earlier sample."""
    L = int(dwm.length)
    try:
        hash(seed)
    except TypeError:  # a Generator or a seed sequence: drawn afresh every time
        return _DwmSample(dwm, bg, n, seed, _proposal(dwm, proposal, L) if weighted else None)
    if not weighted:
        return _cached_sample(dwm, bg.tobytes(), n, seed, None, False)
    if proposal is None:
        return _cached_sample(dwm, bg.tobytes(), n, seed, None, True)
    q = _proposal(dwm, proposal, L)  # checks the proposal
    return _cached_sample(dwm, bg.tobytes(), n, seed, q.cond[:, 0].T.copy().tobytes(), False)


def _check_n(n: int) -> int:
    n = int(n)
    if n < 1:
        raise ValueError(f"n must be a positive number of windows, got {n}")
    return n


class _Envelope:
    """The sampled p-value as one fixed function of the score, whatever else is asked with it: the
    plain estimate where at least _IS_MIN_HITS plain windows (or all of them) reach the score, the
    weighted one below that, and never less than the estimate of a higher score, so that it falls
    as the score rises. Both estimates are step functions that change only at sampled scores, so
    the function is laid out once on those (best first, +inf ahead) and read off by a search."""

    def __init__(self, plain: _DwmSample, weighted: _DwmSample) -> None:
        points = np.concatenate(([np.inf], np.unique(np.concatenate([plain.x, weighted.x]))[::-1]))
        common, far = plain.estimate(points), weighted.estimate(points)
        # a score every plain sample reached is no rare one, however few samples there are
        rare = (common.hits < _IS_MIN_HITS) & (common.hits < plain.n)
        self.points = points
        self.value = np.maximum.accumulate(np.where(rare, far.value, common.value))
        self.low = np.minimum(np.where(rare, far.low, common.low), self.value)
        self.high = np.maximum(np.where(rare, far.high, common.high), self.value)

    def at(self, s: Floats) -> tuple[Floats, Floats, Floats]:
        """Value, low and high at scores s (NaN stays NaN), each read at the lowest laid-out point at
        or above its score."""
        nan = np.isnan(s)
        j = np.searchsorted(-self.points, -np.where(nan, np.inf, s), side="right") - 1
        value, low, high = (np.where(nan, np.nan, a[j]) for a in (self.value, self.low, self.high))
        return value, low, high

    def lowest_within(self, p: float) -> float:
        """The lowest score whose value is at most p: just above the laid-out point below the last
        one within p (-inf when every score's is; inf when even +inf's is not)."""
        within = np.flatnonzero(self.value <= p)
        if not within.size:
            return math.inf
        last = int(within[-1])
        if last + 1 == self.points.size:
            return -math.inf
        return float(np.nextafter(self.points[last + 1], np.inf))


def _envelope_for(dwm: DiNucleotideMatrix, bg: Floats, n: int, seed: Seed,
                  proposal: ArrayLike | None) -> _Envelope:
    """The envelope of the two samples of (matrix, background, n, seed, proposal), laid out once
    per kept pair of samples (samples drawn afresh, for a Generator seed, get a fresh one)."""
    plain = _sample_for(dwm, bg, n, seed, None, weighted=False)
    weighted = _sample_for(dwm, bg, n, seed, proposal)
    kept = weighted.envelope
    if kept is None or kept[0] is not plain:
        weighted.envelope = kept = (plain, _Envelope(plain, weighted))
    return kept[1]


def dwm_pvalue(dwm: DiNucleotideMatrix, background: ArrayLike, scores: ArrayLike, n: int = _DEFAULT_N,
               seed: Seed = 0, proposal: ArrayLike | None = None, exact: bool | None = None) -> TailEstimate:
    """P(score of a random window >= s) for a dinucleotide model, exact or with a 95% interval.

    Exact for widths up to EXACT_WIDTH (or whenever `exact` is True; False always samples): the
    total background probability of the words whose scanned score is at or above s. Otherwise an
    estimate: `n` windows drawn from `background` with `seed` are scored with
    the matrix's own scanning; a score reached by k of them gets (k + 1) / (n + 1), never below
    1/(n+1). Scores reached by fewer than 10 sampled windows are estimated instead from `n` windows,
    90% drawn from `proposal` (position probabilities; by default the tree of the motif's strongest
    pair dependencies, drawn from its own pair probabilities) and
    10% from the background, each weighted by its background-to-mixture likelihood ratio, so tiny
    p-values need no 10**8 samples. The sample of a matrix is kept for later calls (keyed by the
    matrix object: one prepared again in place keeps its earlier sample).
    """
    bg = check_background(background, "dwm_pvalue", "A, T, C, G")
    n = _check_n(n)
    s = np.asarray(scores, dtype=np.float64)
    flat = s.ravel()
    if _use_exact(dwm, exact):
        tails = _exact_tails(dwm, bg, flat)
        return _shaped(tails, tails, tails, 4 ** int(dwm.length), s.shape)
    value, low, high = _envelope_for(dwm, bg, n, seed, proposal).at(flat)
    return _shaped(value, low, high, n, s.shape)


def _shaped(value: Floats, low: Floats, high: Floats, n: int, shape: tuple[int, ...]) -> TailEstimate:
    if not shape:
        return TailEstimate(float(value[0]), float(low[0]), float(high[0]), n)
    return TailEstimate(value.reshape(shape), low.reshape(shape), high.reshape(shape), n)


def _use_exact(dwm: DiNucleotideMatrix, exact: bool | None) -> bool:
    L = int(dwm.length)
    if exact and not 1 <= L <= 15:
        raise ValueError(f"exact DWM tails list 4**width words: width {L} is not 1 to 15")
    return bool(exact) if exact is not None else 1 <= L <= EXACT_WIDTH


@lru_cache(maxsize=2)
def _every_word(L: int) -> NDArray[np.uint8]:
    from .._scan import de_bruijn
    return de_bruijn(L)


_WORDS_PER_SCAN = 1 << 22  # windows of the de Bruijn sequence scanned at once: bounded memory


def _words_at_or_above(dwm: DiNucleotideMatrix, bg: Floats, cut: float) -> Iterator[tuple[Floats, Floats]]:
    """(scores, probabilities) of every word whose exact score is at least cut, a slice at a time."""
    from .._scan import Scanner
    L = int(dwm.length)
    words = _every_word(L)
    scanner = Scanner([dwm], [cut], "+", model="dwm")
    log_bg = np.log(bg)
    for lo in range(0, 4 ** L, _WORDS_PER_SCAN):
        hits, _ = scanner.scan(words[lo:lo + _WORDS_PER_SCAN + L - 1])
        codes = words[hits["start"][:, None] + lo + np.arange(L)]
        yield hits["score"], np.exp(log_bg[codes].sum(axis=1))


class _Listed:
    """The words of one (matrix, background) at or above `cut`, kept: their scores ascending and the
    mass of the words at or above each. Listed again, further down, only when asked below `cut`."""

    def __init__(self) -> None:
        self.cut = math.inf
        self.x: Floats = np.empty(0)
        self.above: Floats = np.zeros(1)  # above[i]: the mass of the words from x[i] up

    def tails(self, dwm: DiNucleotideMatrix, bg: Floats, finite: Floats) -> Floats:
        """P(score >= s) for sorted finite s."""
        if finite[0] < self.cut:
            parts = list(_words_at_or_above(dwm, bg, float(finite[0])))
            x = np.concatenate([part[0] for part in parts])
            w = np.concatenate([part[1] for part in parts])
            order = np.argsort(x, kind="stable")
            self.x = x[order]
            # summed from the best word down, as the tail of each score grows
            self.above = np.concatenate((np.cumsum(w[order][::-1])[::-1], [0.0]))
            self.cut = float(finite[0])
        return np.minimum(self.above[np.searchsorted(self.x, finite, side="left")], 1.0)


@lru_cache(maxsize=16)
def _listed(dwm: DiNucleotideMatrix, bg_bytes: bytes) -> _Listed:
    return _Listed()


def _exact_tails(dwm: DiNucleotideMatrix, bg: Floats, scores: Floats) -> Floats:
    """P(score >= s) for each s: the mass of the words at or above it. A scan asks once per chunk:
    the words at or above the lowest score asked so far are listed once and kept."""
    tails = np.full(scores.shape, np.nan)
    known = ~np.isnan(scores)
    tails[known & (scores == -np.inf)] = 1.0
    finite = known & (scores > -np.inf)
    if finite.any():
        queries = np.sort(scores[finite])
        tails[finite] = _listed(dwm, bg.tobytes()).tails(dwm, bg, queries)[np.searchsorted(queries, scores[finite])]
    return tails


def _exact_threshold(dwm: DiNucleotideMatrix, bg: Floats, p: float, guess: float) -> float:
    """The lowest word score whose exact tail is at most p (inf when even the best word's is not),
    from the words above cut-offs lowered from `guess` until their mass exceeds p."""
    cut, step = guess, 1.0
    while True:
        parts = list(_words_at_or_above(dwm, bg, cut))
        x = np.concatenate([part[0] for part in parts])
        w = np.concatenate([part[1] for part in parts])
        if w.sum() > p or x.size == 4 ** int(dwm.length):
            order = np.argsort(-x, kind="stable")
            x, w = x[order], w[order]
            last = _last_within(x, np.cumsum(w), p)
            return float(x[last]) if last >= 0 else math.inf
        cut, step = cut - step, 2.0 * step


def dwm_threshold(dwm: DiNucleotideMatrix, background: ArrayLike, pvalue: float, n: int = _DEFAULT_N,
                  seed: Seed = 0, proposal: ArrayLike | None = None, exact: bool | None = None) -> TailEstimate:
    """Smallest score whose tail probability is at most `pvalue`, for a dinucleotide model.

    Exact for widths up to EXACT_WIDTH (`exact` as in dwm_pvalue): the lowest word score whose exact
    tail is at most `pvalue`, with low == high == value. Otherwise an estimate: `value` is the lowest
    score whose p-value (as dwm_pvalue reports it) is at most `pvalue`, so a window is a hit exactly
    when its reported p-value is within the cut-off; `low` and `high` are the lowest scores whose
    p-values are within the ends of the 95% binomial interval around `pvalue`.
    Below 10 expected plain hits (pvalue < 10/n) the windows come from `proposal` with importance
    weights.
    """
    p = float(pvalue)
    if not 0.0 < p <= 1.0:
        raise ValueError(f"pvalue must lie in (0, 1], got {pvalue!r}")
    bg = check_background(background, "dwm_threshold", "A, T, C, G")
    n = _check_n(n)
    if _use_exact(dwm, exact):
        # a first cut-off from a small sample; the listing lowers it as far as it must
        guess = _quantile(_sample_for(dwm, bg, 4096, seed, None, weighted=False), min(1.0, max(p, 10 / 4096)))
        value = _exact_threshold(dwm, bg, p, guess if math.isfinite(guess) else 0.0)
        return TailEstimate(value, value, value, 4 ** int(dwm.length))
    # the threshold of the p-values dwm_pvalue reports: a window is a hit exactly when its
    # p-value is at most pvalue
    envelope = _envelope_for(dwm, bg, n, seed, proposal)
    value = envelope.lowest_within(p)
    if p * n >= _IS_MIN_HITS:
        p_low, p_high = (float(v) for v in _wilson(p * n, n))
    else:  # the interval of the weighted tail estimated at the threshold itself
        _, low, high = envelope.at(np.array([value]))
        p_low, p_high = min(float(low[0]), p), max(float(high[0]), p)
    return TailEstimate(value, envelope.lowest_within(p_high), envelope.lowest_within(p_low), n)


def _quantile(sample: _DwmSample, p: float) -> float:
    """Lowest sampled score whose estimated tail is at most p (inf when even the best one's is not)."""
    x = sample.x
    last = _last_within(x, (sample.cw[1:] + sample.floor) / (sample.n + 1), p)
    return float(x[last]) if last >= 0 else math.inf
