"""Statistics of motif hits: exact PWM p-values, Benjamini-Hochberg q-values, DWM tail estimates.

Matrices are in morvane's code order: rows A, T, C, G (codes 0 to 3), one column per motif position.

The score of a word is the double that scanning produces: the log-odds of its bases added one column
after the other, starting from 0.0. Every p-value here is a probability for that double, so a hit's
own score counts as "at or above" itself, even where another order of addition would round it away.
"""

from __future__ import annotations

import math
from functools import lru_cache
from typing import NamedTuple

import numpy as np

__all__ = ["PwmNull", "bh_qvalues", "TailEstimate", "dwm_pvalue", "dwm_threshold"]

_UNIT = 2.0**-53  # unit roundoff of a double
# Meet in the middle is exact at every score while each half has at most 4**8 words.
_MITM_MAX_WIDTH = 16
# Words of a listed tail (24 bytes each while listing, 16 once listed).
_ENUM_BUDGET = 1 << 20
# Words around a threshold listed once bisection has narrowed it (short motifs).
_BAND_WORDS = 1 << 16
# Lattice sizes: the coarse one answers thresholds of long motifs in milliseconds, the fine one bounds
# p-values of long motifs where the tail holds too many words to list.
_COARSE_BINS = 1 << 16
_FINE_BINS = 1 << 20


def _probabilities(values, name: str, shape=None) -> np.ndarray:
    p = np.array(values, dtype=np.float64)
    if shape is not None and p.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, not {p.shape}")
    if not np.all(np.isfinite(p)) or np.any(p <= 0.0):
        raise ValueError(f"{name} must hold probabilities above 0, got {p.tolist()}")
    return p


def _background(background) -> np.ndarray:
    bg = _probabilities(background, "background", (4,))
    if abs(math.fsum(bg.tolist()) - 1.0) > 1e-9:
        raise ValueError(f"background must sum to 1 within 1e-9, got {math.fsum(bg.tolist())!r}")
    return bg


def _fold_words(M: np.ndarray, bg: np.ndarray):
    """Scores (added column by column, as scanning adds them), probabilities and codes of all words."""
    L = M.shape[1]
    codes = np.indices((4,) * L, dtype=np.int8).reshape(L, 4**L).T
    d = np.zeros(codes.shape[0])
    p = np.ones(codes.shape[0])
    for m in range(L):
        d = d + M[codes[:, m], m]
        p = p * bg[codes[:, m]]
    return d, p, codes


def _ranges(starts: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """The integer ranges [starts[i], starts[i] + counts[i]) laid end to end."""
    ends = np.cumsum(counts)
    return np.arange(ends[-1] if ends.size else 0) - np.repeat(ends - counts - starts, counts)


def _tails_at_ties(d: np.ndarray, cum: np.ndarray) -> np.ndarray:
    """Tail of each score of a best-first list from the running sum of its weights: a score's tail
    holds all its ties, so it is read at the last of them."""
    return cum[np.searchsorted(-d, -d, side="right") - 1]


class _Lattice:
    """Column scores floored onto multiples of eps: the distribution of the integer sum I of a word.

    A word's exact sum S lies in [lo + eps*I, lo + eps*(I + L)), so the integer tail bounds the real
    one from both sides; the band between the bounds narrows as eps does.
    """

    def __init__(self, M: np.ndarray, bg: np.ndarray, bins: int, count_words: bool):
        L = M.shape[1]
        col_lo = M.min(axis=0)
        span = float((M.max(axis=0) - col_lo).sum())
        self.eps = span / bins if span > 0 else 1.0
        self.lo = float(col_lo.sum())
        self.L = L
        self.Q = np.floor((M - col_lo) / self.eps).astype(np.int64)
        top = int(self.Q.max(axis=0).sum())
        # tail[i] = P(I >= i), words[i] = number of words with I >= i; one extra zero past the top
        self.tail = self._tail_of(bg, top)
        self.words = self._tail_of(np.ones(4), top) if count_words else None
        self.top = top
        self.suffix_max = np.append(np.cumsum(self.Q.max(axis=0)[::-1])[::-1], 0)

    def _tail_of(self, weights: np.ndarray, top: int) -> np.ndarray:
        dist = np.zeros(top + 1)
        dist[0] = 1.0
        reach = 0
        for m in range(self.L):
            new = np.zeros(top + 1)
            for c in range(4):
                q = self.Q[c, m]
                new[q:q + reach + 1] += dist[:reach + 1] * weights[c]
            reach += int(self.Q[:, m].max())
            dist = new
        return np.append(np.cumsum(dist[::-1])[::-1], 0.0)

    def _at(self, table: np.ndarray, i: np.ndarray) -> np.ndarray:
        return table[np.clip(i, 0, self.top + 1)]

    def out_below(self, s: np.ndarray, err: np.ndarray) -> np.ndarray:
        """Smallest I a word scoring >= s can have (one extra step absorbs the rounding of this division)."""
        return np.floor((s - err - self.lo) / self.eps).astype(np.int64) - self.L

    def sure_from(self, s: np.ndarray, err: np.ndarray) -> np.ndarray:
        """I from which every word scores >= s."""
        return np.ceil((s + err - self.lo) / self.eps).astype(np.int64) + 1

    def upper(self, s, err):
        return self._at(self.tail, self.out_below(s, err))

    def score_below(self, i: int, err: float) -> float:
        """A score whose sure_from is at most i, so that its tail is at least tail[i]."""
        return self.lo + self.eps * (i - 1) - err - self.eps * 1e-6

    def score_at(self, b: int, err: float) -> float:
        """Smallest score whose out_below is at least b (nudged up past the division's rounding)."""
        x = self.lo + err + self.eps * (b + self.L)
        return float(np.nextafter(x + abs(x) * 4 * _UNIT, np.inf))


class PwmNull:
    """Exact null distribution of a PWM score: window bases independent, drawn from `background`.

    Where at most a million words can reach a score (the far tail, where hits live), those words are
    listed, with an integer lattice pruning every prefix that cannot reach, and their scanned doubles
    sorted and kept: tails are then read off exactly. Widths up to 16 are exact at every other score
    too: the words are split into two halves of at most 4**8 each, the second half sorted by score,
    and only the pairs whose sum lies within the rounding bound of the query are added column by
    column as scanning adds them. Wider motifs there get the lattice's upper bound, conservative,
    whose band docs/statistics.md gives.
    """

    def __init__(self, log_odds, background):
        M = np.array(log_odds, dtype=np.float64)
        if M.ndim != 2 or M.shape[0] < 4 or M.shape[1] < 1:
            raise ValueError(f"log_odds must have shape (>=4, L) with L >= 1, not {M.shape}")
        M = np.ascontiguousarray(M[:4])
        if not np.all(np.isfinite(M)):
            raise ValueError("log_odds must be finite in rows 0 to 3")
        self._M = M
        self._bg = _background(background)
        self.width = L = M.shape[1]
        self._abs = float(np.abs(M).max(axis=0).sum())
        # Adding is monotone in each operand, so the best (worst) base of every column gives the
        # largest (smallest) double any word can score.
        self.max_score = self._fold(M.max(axis=0))
        self.min_score = self._fold(M.min(axis=0))
        self._halves = None
        self._tail_words = None
        self._lattices: dict[int, _Lattice] = {}
        self._thresholds: dict[float, float] = {}
        self._mitm = L <= _MITM_MAX_WIDTH

    @staticmethod
    def _fold(column_values: np.ndarray) -> float:
        s = 0.0
        for v in column_values.tolist():
            s += v
        return s

    def _err(self, s: np.ndarray) -> np.ndarray:
        # Bound on |scanned double - exact sum| for any word, the rounding of a subtraction from the
        # query included; generous by a factor of a few, since only the speed depends on it.
        return 8.0 * (self.width + 2) * _UNIT * (self._abs + np.abs(s))

    def _err_range(self) -> float:
        # the bound at the widest score in [min_score, max_score]
        return float(self._err(np.array(max(abs(self.max_score), abs(self.min_score)))))

    def _lattice(self, bins: int) -> _Lattice:
        if bins not in self._lattices:
            self._lattices[bins] = _Lattice(self._M, self._bg, bins, count_words=bins == _COARSE_BINS)
        return self._lattices[bins]

    # ------------------------------------------------------------------ p-values

    def pvalue(self, scores):
        """P(score of a random window >= s) for every s of `scores` (a number or an array)."""
        s = np.asarray(scores, dtype=np.float64)
        flat = s.ravel()
        out = np.full(flat.shape, np.nan)
        out[flat > self.max_score] = 0.0
        out[flat <= self.min_score] = 1.0
        todo = np.flatnonzero((flat > self.min_score) & (flat <= self.max_score))
        if todo.size:
            values, back = np.unique(flat[todo], return_inverse=True)
            # Two scores with the same words at or above them can differ in the last bit of their
            # sums, which were added in another grouping; keep the table monotone all the same.
            tails = np.minimum.accumulate(self._tail(values))
            out[todo] = tails[back.ravel()]
        out = out.reshape(s.shape)
        return float(out) if out.ndim == 0 else out

    def _tail(self, s: np.ndarray) -> np.ndarray:
        """Tails at sorted distinct scores strictly inside (min_score, max_score]."""
        p = np.empty(s.shape)
        b, cut = self._cut()
        # Hits live in the far tail, where listing its few words once beats pairing halves per score.
        exact = s >= cut
        if exact.any():
            p[exact] = self._tail_listed(s[exact])
        if exact.all():
            pass  # a bound below never falls under these: pvalue's running minimum keeps the order
        elif self._mitm:
            p[~exact] = self._tail_mitm(s[~exact])
        else:
            rest = s[~exact]
            err = self._err(rest)
            # both lattices bound the tail from above; the coarse one is what thresholds rest on
            p[~exact] = np.minimum(self._lattice(_FINE_BINS).upper(rest, err),
                                   self._lattice(_COARSE_BINS).upper(rest, err))
        return np.minimum(p, 1.0)

    def _split(self):
        """The two halves, best first. Words that scanning cannot tell apart are merged: first halves
        with the same double, second halves with the same values column by column."""
        if self._halves is None:
            L, M, bg = self.width, self._M, self._bg
            h = L // 2
            pd, pp, _ = _fold_words(M[:, :h], bg)
            pd, back = np.unique(pd, return_inverse=True)
            pp = np.bincount(back.ravel(), weights=pp)
            pd, pp = pd[::-1], pp[::-1]
            _, sp, sc = _fold_words(M[:, h:], bg)
            values = M[sc, np.arange(h, L)]  # (words, L - h): what scanning adds after the first half
            values, back = np.unique(values, axis=0, return_inverse=True)
            sp = np.bincount(back.ravel(), weights=sp)
            sd = np.zeros(values.shape[0])
            for t in range(L - h):
                sd = sd + values[:, t]
            order = np.argsort(-sd, kind="stable")
            self._halves = (h, pd, pp, np.concatenate(([0.0], np.cumsum(pp))),
                            sd[order], sp[order], np.concatenate(([0.0], np.cumsum(sp[order]))),
                            np.ascontiguousarray(values[order].T))
        return self._halves

    def _tail_mitm(self, s: np.ndarray) -> np.ndarray:
        h, pd, pp, pcum, sd, sp, scum, sv = self._split()
        neg_pd, neg_sd = -pd, -sd
        err = self._err(s)
        # Prefixes (sorted by their partial score, best first) that certainly reach s whatever follows,
        # then those that may: only the latter need the second half.
        full = np.searchsorted(neg_pd, -(s + err - sd[-1]), side="right")
        some = np.searchsorted(neg_pd, -(s - err - sd[0]), side="right")
        p = pcum[full].copy()
        counts = some - full
        if counts.sum() == 0:
            return p
        # (query, prefix) pairs in chunks, so memory stays bounded for dense queries
        qs = np.repeat(np.arange(s.size), counts)
        us = _ranges(full, counts)
        step = 1 << 20
        for lo in range(0, qs.size, step):
            q, u = qs[lo:lo + step], us[lo:lo + step]
            x = s[q] - pd[u]
            e = err[q]
            k_in = np.searchsorted(neg_sd, -(x + e), side="right")
            k_may = np.searchsorted(neg_sd, -(x - e), side="right")
            contrib = scum[k_in]
            band = k_may - k_in
            if band.any():
                pair = np.repeat(np.arange(q.size), band)
                j = _ranges(k_in, band)
                d = pd[u[pair]]
                for column in sv:
                    d = d + column[j]
                hit = d >= s[q[pair]]
                contrib = contrib + np.bincount(pair[hit], weights=sp[j[hit]], minlength=q.size)
            np.add.at(p, q, pp[u] * contrib)
        return p

    def _cut(self):
        """Lowest score down to which listing every word that can reach it stays within the budget."""
        lat = self._lattice(_COARSE_BINS)
        b = int(np.searchsorted(-lat.words, -_ENUM_BUDGET, side="left"))
        return b, (-math.inf if b == 0 else lat.score_at(b, self._err_range()))

    def _listed(self, b_need: int):
        """The listed words (scores negated, best first, and running probabilities), every word with
        lattice sum >= b_need among them. A few times more words than asked for are listed, so that
        a scan whose later chunks reach lower scores lists again only a few times."""
        if self._tail_words is None or self._tail_words[0] > b_need:
            lat = self._lattice(_COARSE_BINS)
            want = max(4 * lat.words[np.clip(b_need, 0, lat.top + 1)], 4096)
            b = min(b_need, max(int(np.searchsorted(-lat.words, -want, side="left")), self._cut()[0]))
            d, p = self._list_words(lat, b)
            order = np.argsort(-d, kind="stable")
            self._tail_words = (b, -d[order], np.concatenate(([0.0], np.cumsum(p[order]))))
        return self._tail_words[1:]

    def _list_words(self, lat: _Lattice, b: int):
        """Scores and probabilities of every word with lattice sum >= b, one column at a time; a
        prefix is dropped as soon as its best completion falls short."""
        M, bg = self._M, self._bg
        I, d, p = np.zeros(1, dtype=np.int64), np.zeros(1), np.ones(1)
        for m in range(self.width):
            parts = []
            for lo in range(0, I.size, 1 << 18):  # extended in slices: four times a level never sits in memory
                I2 = (I[lo:lo + (1 << 18), None] + lat.Q[:, m]).ravel()
                keep = I2 + lat.suffix_max[m + 1] >= b
                parts.append((I2[keep], (d[lo:lo + (1 << 18), None] + M[:, m]).ravel()[keep],
                              (p[lo:lo + (1 << 18), None] * bg).ravel()[keep]))
            I, d, p = (np.concatenate(a) for a in zip(*parts))
        return d, p

    def _tail_listed(self, s: np.ndarray) -> np.ndarray:
        lat = self._lattice(_COARSE_BINS)
        neg_d, cum = self._listed(int(lat.out_below(s[:1], self._err(s[:1]))[0]))  # s ascending
        return cum[np.searchsorted(neg_d, -s, side="right")]

    # ---------------------------------------------------------------- thresholds

    def threshold(self, pvalue) -> float:
        """Smallest achievable score whose p-value is at most `pvalue`."""
        p = float(pvalue)
        if not 0.0 < p <= 1.0:
            raise ValueError(f"pvalue must lie in (0, 1], got {pvalue!r}")
        if p not in self._thresholds:
            self._thresholds[p] = self._find_threshold(p)
        return self._thresholds[p]

    def _find_threshold(self, p: float) -> float:
        if p >= 1.0:
            return self.min_score
        if self._mitm:
            if self._tail_mitm(np.array([self.max_score]))[0] > p:
                return math.inf  # even the best word is more frequent than p
            found = self._threshold_split(p)
            if found is not None:
                return found
        return self._threshold_lattice(p)

    def _pairs_between(self, a: float, b: float):
        """(prefix, suffix) index pairs of the words whose score may lie in [a, b], as two arrays."""
        _, pd, _, _, sd, _, _, _ = self._split()
        err = float(self._err(np.array(max(abs(a), abs(b)))))
        first = np.searchsorted(-sd, -(b + err - pd), side="left")
        last = np.searchsorted(-sd, -(a - err - pd), side="right")
        return first, np.maximum(last - first, 0)

    def _threshold_split(self, p: float) -> float | None:
        _, pd, pp, _, _, sp, _, sv = self._split()
        # Bisect with exact tails, keeping tail(lo) > p >= tail(hi), until few words lie between.
        lo, hi = self.min_score, self.max_score
        for _ in range(200):
            if self._pairs_between(lo, hi)[1].sum() <= _BAND_WORDS:
                break
            mid = 0.5 * (lo + hi)
            if not lo < mid < hi:
                break
            if self._tail_mitm(np.array([mid]))[0] > p:
                lo = mid
            else:
                hi = mid
        # The threshold is the lowest achievable score above lo within p: list every score in
        # (lo, top], top raised until it holds one at or above hi (whose tail is within p).
        top, step = hi, max(hi - lo, float(self._err(np.array(hi))))
        while True:
            first, count = self._pairs_between(lo, top)
            if count.sum() > 16 * _BAND_WORDS:
                return None
            u = np.repeat(np.arange(pd.size), count)
            j = _ranges(first, count)
            d = pd[u]
            for column in sv:
                d = d + column[j]
            keep = (d > lo) & (d <= top)
            if keep.any() and d[keep].max() >= hi:
                break
            top, step = top + step, 2 * step
        d, prob = d[keep], pp[u[keep]] * sp[j[keep]]
        order = np.argsort(-d, kind="stable")
        d = d[order]
        above = self._tail_mitm(np.array([np.nextafter(top, np.inf)]))[0] if top < self.max_score else 0.0
        ok = np.flatnonzero(_tails_at_ties(d, above + np.cumsum(prob[order])) <= p)
        return float(d[ok[-1]]) if ok.size else None

    def _threshold_lattice(self, p: float) -> float:
        lat = self._lattice(_COARSE_BINS)
        err = self._err_range()
        # x_low surely has a p-value above p (its certain tail already exceeds p), so the threshold
        # lies above it, and every word that can score above x_low is listed.
        above = int(np.searchsorted(-lat.tail, -p, side="left"))  # first i with tail[i] <= p
        x_low = lat.score_below(above - 1, err)
        b = max(int(lat.out_below(np.array(x_low), np.array(err))), 0)
        if lat.words[b] <= _ENUM_BUDGET:
            d, prob = self._list_words(lat, b)
            order = np.argsort(-d, kind="stable")
            d = d[order]
            ok = np.flatnonzero((_tails_at_ties(d, np.cumsum(prob[order])) <= p) & (d > x_low))
            return float(d[ok[-1]]) if ok.size else math.inf
        # Too many words to list: the lowest score the lattice proves to have a p-value <= p.
        t = lat.score_at(int(np.searchsorted(-lat.tail, -p, side="left")), err)
        if t <= self.max_score:
            return t
        return self.max_score if self._tail(np.array([self.max_score]))[0] <= p else math.inf


# ---------------------------------------------------------------------- q-values


def bh_qvalues(pvalues, n_tests) -> np.ndarray:
    """Benjamini-Hochberg q-values of the given p-values among `n_tests` tested windows.

    q_i = min over j >= rank_i of n_tests * p_(j) / j, capped at 1. Only the reported p-values are at
    hand, so the minimum runs over them alone: a q-value is then never smaller than the one BH gives
    over all windows (it is at most conservative). NaN p-values stay NaN and take no rank.
    """
    p = np.asarray(pvalues, dtype=np.float64)
    q = np.full(p.shape, np.nan)
    ok = np.flatnonzero(~np.isnan(p.ravel()))
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


# ------------------------------------------------------------------- DWM tails


class TailEstimate(NamedTuple):
    """An estimate with its binomial confidence interval (95%), from `n` sampled windows."""

    value: float | np.ndarray
    low: float | np.ndarray
    high: float | np.ndarray
    n: int


_Z = 1.959963984540054  # two-sided 95% normal quantile
_DEFAULT_N = 100_000
_IS_MIN_HITS = 10  # below this many plain hits, a tail comes from importance sampling
_IS_SHARE = 0.9  # share of the weighted windows drawn from the motif's own positions


def _wilson(k, n):
    """Wilson score interval for k successes in n trials (k, n may be fractional effective counts)."""
    k = np.asarray(k, dtype=np.float64)
    n = np.asarray(n, dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        phat = np.where(n > 0, k / n, 0.0)
        z2 = _Z * _Z
        centre = (phat + z2 / (2 * n)) / (1 + z2 / n)
        half = _Z * np.sqrt(phat * (1 - phat) / n + z2 / (4 * n * n)) / (1 + z2 / n)
    return np.clip(centre - half, 0.0, 1.0), np.clip(centre + half, 0.0, 1.0)


def _window_scores(dwm, codes: np.ndarray) -> np.ndarray:
    """Scores of independent windows (rows of `codes`) with the matrix's own scanning."""
    n, L = codes.shape
    # one N after each window: every window straddling two samples holds it and is skipped
    laid = np.full((n, L + 1), 4, dtype=np.int64)
    laid[:, :L] = codes
    return dwm.score_sequence(laid.ravel())[L // 2::L + 1]


def _sample(rng, probs: np.ndarray, n: int) -> np.ndarray:
    """n windows whose column m is drawn from probs[:, m] (4 x L)."""
    cum = np.cumsum(probs, axis=0)[:3].T  # (L, 3): the last bin takes the rest, whatever the rounding
    u = rng.random((n, probs.shape[1]))
    return (u[:, :, None] >= cum[None]).sum(axis=2, dtype=np.int8)


class _DwmSample:
    """Sampled window scores with their importance weights, sorted by score, best first."""

    def __init__(self, dwm, bg, n: int, seed, probs: np.ndarray | None):
        L = int(dwm.length)
        rng = np.random.default_rng(seed)
        flat = np.repeat(bg[:, None], L, axis=1)
        # Defensive mixture: a share of the weighted windows still comes from the background, which
        # bounds every weight by 1/(1 - _IS_SHARE) where the motif's own positions rarely go.
        n_q = 0 if probs is None else int(round(_IS_SHARE * n))
        x, w = np.empty(n), np.ones(n)
        chunk = max(1, (1 << 21) // (L + 1))  # windows drawn and scored at once: memory stays small
        for lo in range(0, n, chunk):
            hi = min(lo + chunk, n)
            k = max(0, min(hi, n_q) - lo)  # windows of this chunk drawn from the motif's positions
            codes = np.concatenate([_sample(rng, flat if probs is None else probs, k),
                                    _sample(rng, flat, hi - lo - k)])
            x[lo:hi] = _window_scores(dwm, codes)
            if probs is not None:
                log_ratio = (np.log(probs[codes, np.arange(L)]) - np.log(bg)[codes]).sum(axis=1)
                w[lo:hi] = 1.0 / (_IS_SHARE * np.exp(log_ratio) + (1.0 - _IS_SHARE))
        order = np.argsort(-x, kind="stable")
        self.x, self.w, self.n = x[order], w[order], n
        self.cw = np.concatenate(([0.0], np.cumsum(self.w)))
        self.cw2 = np.concatenate(([0.0], np.cumsum(self.w * self.w)))
        # one pseudo-hit of the smallest weight: 1/(n+1) for plain sampling, never zero
        self.floor = float(self.w.min())

    def count(self, s: np.ndarray) -> np.ndarray:
        return np.searchsorted(-self.x, -s, side="right")

    def estimate(self, s: np.ndarray):
        k = self.count(s)
        n = self.n
        value = (self.cw[k] + self.floor) / (n + 1)
        mean = self.cw[k] / n
        var = np.maximum(self.cw2[k] / n - mean * mean, 0.0) / n
        # the binomial sample size with the same variance; n itself for unit weights
        with np.errstate(invalid="ignore", divide="ignore"):
            n_eff = np.where(var > 0, mean * (1 - mean) / var, n)
        low, high = _wilson(mean * n_eff, n_eff)
        return value, np.minimum(low, value), np.maximum(high, value), k


def _proposal(dwm, proposal, L: int) -> np.ndarray:
    if proposal is None:
        proposal = np.asarray(dwm.bias_pwm, dtype=np.float64)[:4]
    q = _probabilities(np.asarray(proposal, dtype=np.float64)[:4], "proposal", (4, L))
    return q / q.sum(axis=0)


@lru_cache(maxsize=16)
def _cached_sample(dwm, bg_bytes, n, seed, q_bytes):
    bg = np.frombuffer(bg_bytes)
    q = None if q_bytes is None else np.frombuffer(q_bytes).reshape(4, -1)
    return _DwmSample(dwm, bg, n, seed, q)


def _sample_for(dwm, bg, n, seed, q):
    # A scan asks for the p-values of every chunk's hits: the windows of one (matrix, background,
    # n, seed, proposal) are drawn and scored once. The matrix is keyed by identity, so one that is
    # prepared again in place keeps its earlier sample.
    try:
        hash(seed)
    except TypeError:  # a Generator or a seed sequence: drawn afresh every time
        return _DwmSample(dwm, bg, n, seed, q)
    return _cached_sample(dwm, bg.tobytes(), n, seed, None if q is None else q.tobytes())


def _check_n(n) -> int:
    n = int(n)
    if n < 1:
        raise ValueError(f"n must be a positive number of windows, got {n}")
    return n


def dwm_pvalue(dwm, background, scores, n=_DEFAULT_N, seed=0, proposal=None) -> TailEstimate:
    """Estimated P(score of a random window >= s) for a dinucleotide model, with a 95% interval.

    An estimate, not an exact value: `n` windows drawn from `background` with `seed` are scored with
    the matrix's own scanning; a score reached by k of them gets (k + 1) / (n + 1), never below
    1/(n+1). Scores reached by fewer than 10 sampled windows are estimated instead from `n` windows,
    90% drawn from `proposal` (the motif's own position probabilities, `dwm.bias_pwm` by default) and
    10% from the background, each weighted by its background-to-mixture likelihood ratio, so tiny
    p-values need no 10**8 samples. The sample of a matrix is kept for later calls (keyed by the
    matrix object: one prepared again in place keeps its earlier sample).
    """
    bg = _background(background)
    n = _check_n(n)
    s = np.asarray(scores, dtype=np.float64)
    flat = s.ravel()
    plain = _sample_for(dwm, bg, n, seed, None)
    value, low, high, k = plain.estimate(flat)
    rare = (k < _IS_MIN_HITS) & ~np.isnan(flat)
    if rare.any():
        q = _proposal(dwm, proposal, int(dwm.length))
        weighted = _sample_for(dwm, bg, n, seed, q)
        v, lo, hi, _ = weighted.estimate(flat[rare])
        value[rare], low[rare], high[rare] = v, lo, hi
        # Where the two estimators meet, keep the p-value monotone in the score.
        order = np.argsort(-np.where(np.isnan(flat), -np.inf, flat), kind="stable")
        value[order] = np.maximum.accumulate(value[order])
        high = np.maximum(high, value)
    for a in (value, low, high):
        a[np.isnan(flat)] = np.nan
    shape = s.shape
    if not shape:
        return TailEstimate(float(value[0]), float(low[0]), float(high[0]), n)
    return TailEstimate(value.reshape(shape), low.reshape(shape), high.reshape(shape), n)


def dwm_threshold(dwm, background, pvalue, n=_DEFAULT_N, seed=0, proposal=None) -> TailEstimate:
    """Estimated smallest score whose tail probability is at most `pvalue`, for a dinucleotide model.

    `value` is the lowest sampled score whose estimated p-value (as in dwm_pvalue) is at most
    `pvalue`; `low` and `high` are the sampled scores whose estimates are the ends of the 95%
    binomial interval around `pvalue`. Below 10 expected plain hits (pvalue < 10/n) the windows
    come from `proposal` with importance weights.
    """
    p = float(pvalue)
    if not 0.0 < p <= 1.0:
        raise ValueError(f"pvalue must lie in (0, 1], got {pvalue!r}")
    bg = _background(background)
    n = _check_n(n)
    if p * n >= _IS_MIN_HITS:
        sample = _sample_for(dwm, bg, n, seed, None)
        value = _quantile(sample, p)
        p_low, p_high = (float(v) for v in _wilson(p * n, n))
    else:
        sample = _sample_for(dwm, bg, n, seed, _proposal(dwm, proposal, int(dwm.length)))
        value = _quantile(sample, p)
        # the interval of the weighted tail estimated at the threshold itself
        _, lo, hi, _ = sample.estimate(np.array([value]))
        p_low, p_high = min(float(lo[0]), p), max(float(hi[0]), p)
    return TailEstimate(value, _quantile(sample, p_high), _quantile(sample, p_low), n)


def _quantile(sample: _DwmSample, p: float) -> float:
    """Lowest sampled score whose estimated tail is at most p (inf when even the best one's is not)."""
    x = sample.x
    ok = _tails_at_ties(x, (sample.cw[1:] + sample.floor) / (sample.n + 1)) <= p
    if not ok[0]:
        return math.inf
    k = int(np.searchsorted(~ok, True))  # ok is True over a leading run, as tails grow down the list
    return float(x[k - 1])
