"""Statistics of motif hits: exact PWM p-values, Benjamini-Hochberg q-values, DWM tail estimates.

Matrices are in morvane's code order: rows A, T, C, G (codes 0 to 3), one column per motif position.

The score of a word is the double that scanning produces: the log-odds of its bases added one column
after the other, starting from 0.0. That double is its exact sum rounded a few times, and two words
whose exact sums are equal (a site and its reverse complement under a symmetric matrix) can get
doubles an ulp apart. A p-value therefore counts as ties every word within the proven rounding bound
tau(s) below the query: pvalue(s) = P(scanned score >= s - tau(s)), so both strands of a site share
one p-value, and a hit's own score always counts as "at or above" itself.
"""

from __future__ import annotations

import math
import threading
import weakref
from collections import OrderedDict
from functools import lru_cache, wraps
from typing import NamedTuple

import numpy as np

from . import _stats

__all__ = ["PwmNull", "prepare_all", "bh_qvalues", "TailEstimate", "dwm_pvalue", "dwm_threshold"]

_UNIT = 2.0**-53  # unit roundoff of a double
# Meet in the middle is exact at every score while each half has at most 4**8 words.
_MITM_MAX_WIDTH = 16
# Words of a listed tail (24 bytes each while listing, 16 once listed).
_ENUM_BUDGET = 1 << 20
# Words around a threshold listed once bisection has narrowed it (short motifs).
_BAND_WORDS = 1 << 16
# Words a bracket's band may hold for listing to try and close it: listing a band goes through every
# prefix that may still land in it, which past some thousands of words (widths near 20) is more
# than the work budget allows, so trying would only spend it.
_CLOSE_WORDS = 1 << 12
# Lattice sizes: the coarse one answers thresholds of long motifs in milliseconds, the fine one bounds
# p-values of long motifs where the tail holds too many words to list.
_COARSE_BINS = 1 << 16
_FINE_BINS = 1 << 20
# Cells of lattice the refinement of a wide motif's tails may go through in one round: widths 20 to
# 30 stop at the first round's 2^20 steps over their score range (a finer round costs 5 to 6 times
# as much, out of cache, for a bracket four times narrower), narrow ones may go on.
_REFINE_CELLS = 1 << 23
# Prefixes the listing of bands may go through in one call (a millisecond or two): on real motifs
# past width 16 it seldom closes a bracket, and a scan waits for it.
_BAND_WORK = 1 << 17
# Relative bound on the rounding of a sum of up to 4**8 probabilities, with room to spare.
_MERGE = 1e-11


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


def _distinct_words(M: np.ndarray, bg: np.ndarray):
    """The words scanning can tell apart: one row per tuple of distinct column values, in ascending
    lexicographic order (words, L), and each row's probability, bases of equal value merged."""
    distinct = [np.unique(column, return_inverse=True) for column in M.T]
    probs = [np.bincount(back, weights=bg, minlength=v.size) for v, back in distinct]
    index = np.indices([v.size for v, _ in distinct]).reshape(len(distinct), -1)
    values = np.stack([v[i] for (v, _), i in zip(distinct, index)], axis=1)
    p = np.ones(index.shape[1])
    for q, i in zip(probs, index):
        p = p * q[i]
    return values, p


def _ranges(starts: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """The integer ranges [starts[i], starts[i] + counts[i]) laid end to end."""
    ends = np.cumsum(counts)
    return np.arange(ends[-1] if ends.size else 0) - np.repeat(ends - counts - starts, counts)


def _last_within(d: np.ndarray, cum: np.ndarray, p: float) -> int:
    """Index of the last score of a best-first list whose tail is at most p (-1 if none), with cum
    the running sum of its weights. A score's tail holds all its ties, so it is cum at the last of
    them; tails grow down the list, so the scores within p are a leading run, which ends just
    before the ties of the first entry past p."""
    k = int(np.searchsorted(cum, p, side="right"))
    if k == d.size:
        return k - 1
    return int(np.searchsorted(-d, -d[k], side="left")) - 1


def _merge_rounding(tails: np.ndarray) -> np.ndarray:
    """Tails (not rising) that differ by less than their summation's rounding take one value, the
    largest of them: two scores with the same words at or above them add the words' probabilities in
    another grouping, and must still get one p-value. Each merged value moves by under _MERGE."""
    out = tails.copy()
    near = np.flatnonzero(tails[1:] >= tails[:-1] * (1.0 - _MERGE))
    for i in near.tolist():
        # out[i] already holds the value of the group i fell into
        if tails[i + 1] >= out[i] * (1.0 - _MERGE):
            out[i + 1] = out[i]
    return out


class _Grid:
    """Column scores floored onto multiples of eps from an origin per column: the integer sum I of a
    word. A word's exact sum S is lo + eps*I plus the residuals its bases leave, which lie within
    [r_min, r_max], so integer tails bound the real one from both sides; the band between the
    bounds narrows as eps does. Each column's origin sits just past the widest gap between its
    values' positions modulo eps, so that its residuals spread least: about half a step a column
    instead of a whole one."""

    def __init__(self, M: np.ndarray, bins: int):
        L = M.shape[1]
        col_lo = M.min(axis=0)
        span = float((M.max(axis=0) - col_lo).sum())
        self.eps = eps = span / bins if span > 0 else 1.0
        self.L = L
        # the residues modulo eps, ascending, and the gap after each to the next (around the circle)
        pos = np.sort(np.mod(M - col_lo, eps), axis=0)
        gap = np.diff(np.concatenate([pos, pos[:1] + eps]), axis=0)
        start = pos[(gap.argmax(axis=0) + 1) % M.shape[0], np.arange(L)]
        origin = np.where(start > 0, col_lo + start - eps, col_lo)  # at or below the column's worst
        self.Q = np.maximum(np.floor((M - origin) / eps), 0).astype(np.int64)
        # the residuals as rounded; both bounds keep one spare step for what that rounding moves
        r = (M - origin) - eps * self.Q
        self.lo = float(origin.sum())
        self.r_min, self.r_max = float(r.min(axis=0).sum()), float(r.max(axis=0).sum())
        self.suffix_max = np.append(np.cumsum(self.Q.max(axis=0)[::-1])[::-1], 0)

    def out_below(self, s: np.ndarray, err: np.ndarray) -> np.ndarray:
        """Smallest I a word scoring >= s can have (one extra step absorbs the rounding of this division)."""
        return np.floor((s - err - self.lo - self.r_max) / self.eps).astype(np.int64) - 1

    def sure_from(self, s: np.ndarray, err: np.ndarray) -> np.ndarray:
        """I from which every word scores >= s."""
        return np.ceil((s + err - self.lo - self.r_min) / self.eps).astype(np.int64) + 1

    def distribution(self, bg: np.ndarray, b_lo: int, b_hi: int):
        """The distribution of I kept where it can still matter: a prefix that cannot reach b_lo is
        dropped, one sure to reach b_hi folded into a mass already above. Returns its base, the
        tails of its probabilities and word counts, that mass, and the cells the recursion went
        through."""
        # natively: the finest steps go through millions of cells in a column
        base, prob, words, above, cells = _stats.lattice_bracket(self.Q, bg, self.suffix_max, b_lo, b_hi)
        dist = np.stack([prob, words])  # probabilities, and counts of words
        cum = np.concatenate([np.cumsum(dist[:, ::-1], axis=1)[:, ::-1], np.zeros((2, 1))], axis=1)
        return base, cum, above, cells

    def bounds(self, kept, s: np.ndarray, err: np.ndarray):
        """Lower and upper bounds of the tails at scores s, and the number of words between them
        (None when the word counts were not kept), from a distribution kept from below every
        out_below(s) (and folded past every sure_from)."""
        base, cum, above, _ = kept
        sure = np.clip(self.sure_from(s, err) - base, 0, cum.shape[1] - 1)
        may = np.clip(self.out_below(s, err) - base, 0, cum.shape[1] - 1)
        band = cum[1, may] - cum[1, sure] if cum.shape[0] > 1 else None
        return above + cum[0, sure], above + cum[0, may], band

    def bracket(self, bg: np.ndarray, s: np.ndarray, err: np.ndarray):
        """bounds at sorted scores s, and the cells the recursion went through."""
        kept = self.distribution(bg, int(self.out_below(s[:1], err[:1])[0]),
                                 int(self.sure_from(s[-1:], err[-1:])[0]))
        return (*self.bounds(kept, s, err), kept[3])


class _Lattice(_Grid):
    """The full distribution of I: its tail at every integer, and how many words reach each."""

    def __init__(self, M: np.ndarray, bg: np.ndarray, bins: int, count_words: bool):
        # a short motif has fewer words than steps: more steps would only take room
        super().__init__(M, min(bins, 4 ** min(M.shape[1], 16)))
        top = int(self.suffix_max[0])
        # the recursion with nothing dropped or folded: the whole distribution, and its word counts
        _, prob, words, _, _ = _stats.lattice_bracket(self.Q, bg, self.suffix_max, 0, top + 1)
        # tail[i] = P(I >= i), words[i] = number of words with I >= i; one extra zero past the top.
        # The counts only size listings, so single precision (half the room) serves.
        self.tail = self._tail_of(prob)
        self.words = self._tail_of(words).astype(np.float32) if count_words else None
        self.top = top

    @staticmethod
    def _tail_of(dist: np.ndarray) -> np.ndarray:
        return np.append(np.cumsum(dist[::-1])[::-1], 0.0)

    def _at(self, table: np.ndarray, i: np.ndarray) -> np.ndarray:
        return table[np.clip(i, 0, self.top + 1)]

    def upper(self, s, err):
        return self._at(self.tail, self.out_below(s, err))

    def score_below(self, i: int, err: float) -> float:
        """A score whose sure_from is at most i, so that its tail is at least tail[i]."""
        return self.lo + self.r_min + self.eps * (i - 1) - err - self.eps * 1e-6

    def score_at(self, b: int, err: float) -> float:
        """Smallest score whose out_below is at least b (nudged up past the division's rounding)."""
        x = self.lo + self.r_max + err + self.eps * (b + 1)
        return float(np.nextafter(x + abs(x) * 4 * _UNIT, np.inf))


class _Budget:
    """Room for the large tables nulls keep between calls (listed words, lattices, halves), shared
    by every null of the process: past it, the tables of the least recently used nulls not in a
    call are given back, to be made again if asked for. A wide motif's tables take some 20 MB, a
    short one's under 1 MB: a scan of a hundred wide motifs holds 64 MB of tables, not 2 GB, and
    one repeating a few wide motifs keeps theirs."""

    def __init__(self, limit: int):
        self.limit = limit
        self._lock = threading.Lock()
        self._held: OrderedDict[int, tuple[weakref.ref, int]] = OrderedDict()  # least recent first
        self._busy: dict[int, int] = {}

    def enter(self, null) -> None:
        with self._lock:
            self._busy[id(null)] = self._busy.get(id(null), 0) + 1

    def leave(self, null) -> None:
        size = null._table_bytes()
        with self._lock:
            key = id(null)
            self._busy[key] -= 1
            if not self._busy[key]:
                del self._busy[key]
            self._held.pop(key, None)
            if size:
                self._held[key] = (weakref.ref(null), size)
            for other, (ref, _) in list(self._held.items()):
                if ref() is None:  # gone, with its tables
                    del self._held[other]
            total = sum(n for _, n in self._held.values())
            for other, (ref, n) in list(self._held.items()):
                if total <= self.limit:
                    break
                if other == key or other in self._busy:
                    continue
                del self._held[other]
                total -= n
                victim = ref()
                if victim is not None:  # under the lock: no call of it can start meanwhile
                    victim._drop_tables()


_TABLES = _Budget(64 << 20)


def prepare_all(nulls, lowest) -> None:
    """`PwmNull.prepare` for each null with its lowest score, in turn, while their tables take at
    most half the room nulls share: the rest is left to what the others need later."""
    used = 0
    for null, low in zip(nulls, lowest):
        if used > _TABLES.limit // 2:
            return
        null.prepare(low)
        used += null._table_bytes()


def _holding(method):
    """A public method of PwmNull: its tables are not given back while it runs, and count after."""
    @wraps(method)
    def call(self, *args, **kwargs):
        _TABLES.enter(self)
        try:
            return method(self, *args, **kwargs)
        finally:
            _TABLES.leave(self)
    return call


class PwmNull:
    """Exact null distribution of a PWM score: window bases independent, drawn from `background`.
    Tails are read at s - tau(s), so that scores equal in exact arithmetic tie (see the module).

    Where at most a million words can reach a score (the far tail, where hits live), those words are
    listed, with an integer lattice pruning every prefix that cannot reach, and each adds its
    probability to the tails of the scores it reaches: exact. Widths up to 16 are exact at every
    other score too: the words are split into two halves of at most 4**8 each, the second half
    sorted by score, and only the pairs whose sum lies within the rounding bound of the query are
    added column by column as scanning adds them. Wider motifs there get a lattice bracket, refined while it stays
    open and within budget, and closed (exact) wherever few words lie in its band; one still open
    gives its upper end, conservative, whose width docs/statistics.md gives.
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
        self._fine_kept = None
        self._tails_asked = False  # tails of listed words asked for before
        self._lattices: dict[int, _Lattice] = {}
        self._thresholds: dict[float, float] = {}
        self._mitm = L <= _MITM_MAX_WIDTH

    def _table_bytes(self) -> int:
        """Bytes of the arrays this null keeps between calls."""
        def size(x):
            if isinstance(x, np.ndarray):
                return x.nbytes
            if isinstance(x, (tuple, list)):
                return sum(size(v) for v in x)
            if isinstance(x, dict):
                return sum(size(v) for v in x.values())
            if isinstance(x, _Grid):
                return sum(size(v) for v in vars(x).values())
            return 0
        return size((self._halves, self._tail_words, self._fine_kept, self._lattices))

    def _drop_tables(self) -> None:
        """Gives the tables back; calls make them again as they need them."""
        self._halves = self._tail_words = self._fine_kept = None
        self._lattices = {}

    @staticmethod
    def _fold(column_values: np.ndarray) -> float:
        s = 0.0
        for v in column_values.tolist():
            s += v
        return s

    def _err(self, s: np.ndarray) -> np.ndarray:
        # Bound on |scanned double - exact sum| for any two words together, the rounding of a
        # subtraction from the query included; generous by a factor of a few. It is tau, the width
        # of a tie, and the margin every pruning keeps.
        return 8.0 * (self.width + 2) * _UNIT * (self._abs + np.abs(s))

    def _err_range(self) -> float:
        # the bound at the widest score in [min_score, max_score]
        return float(self._err(np.array(max(abs(self.max_score), abs(self.min_score)))))

    def _lattice(self, bins: int) -> _Lattice:
        lattice = self._lattices.get(bins)
        if lattice is None:
            lattice = self._lattices[bins] = _Lattice(self._M, self._bg, bins, count_words=bins == _COARSE_BINS)
        return lattice

    # ------------------------------------------------------------------ p-values

    @_holding
    def pvalue(self, scores):
        """P(score of a random window >= s - tau(s)) for every s of `scores` (a number or an array):
        scores within the rounding bound tau(s) below s tie with it."""
        s = np.asarray(scores, dtype=np.float64)
        out = self._tied(s.ravel(), self._tail).reshape(s.shape)
        return float(out) if out.ndim == 0 else out

    def _tied(self, flat: np.ndarray, tail) -> np.ndarray:
        """p-values of the scores `flat`, with `tail` giving P(scanned score >= x) at sorted x."""
        out = np.full(flat.shape, np.nan)
        with np.errstate(invalid="ignore"):
            x = self._lowered(flat)
        out[flat > self.max_score] = 0.0
        out[x <= self.min_score] = 1.0
        todo = np.flatnonzero((x > self.min_score) & (flat <= self.max_score))
        if todo.size:
            values, back = np.unique(x[todo], return_inverse=True)
            # Two scores with the same words at or above them can differ in the last bit of their
            # sums, which were added in another grouping; keep the table monotone all the same.
            tails = _merge_rounding(np.minimum.accumulate(tail(values)))
            out[todo] = tails[back.ravel()]
        return out

    def _exact_tail(self, s: np.ndarray) -> np.ndarray:
        """Exact tails at sorted scores, for thresholds: their words are listed or paired anyway."""
        words = self._tail_words
        listed = words is not None and words[0] <= self._b_need(s)
        return self._tail_listed(s) if listed or not self._mitm else self._tail_mitm(s)

    def _b_need(self, s: np.ndarray) -> int:
        """Lattice sum from which the words listed serve tails at sorted scores s."""
        return int(self._lattice(_COARSE_BINS).out_below(s[:1], self._err(s[:1]))[0])

    def _lowered(self, s: np.ndarray) -> np.ndarray:
        """s - tau(s): the lowest scanned score that may tie with s in exact arithmetic. Monotone in s,
        since tau grows some 1e13 times slower than s does."""
        return np.where(np.isinf(s), s, s - self._err(s))

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
            # the coarse lattice's bound is what thresholds rest on: never above it
            p[~exact] = np.minimum(self._tail_refined(rest),
                                   self._lattice(_COARSE_BINS).upper(rest, self._err(rest)))
        return np.minimum(p, 1.0)

    def _tail_refined(self, s: np.ndarray) -> np.ndarray:
        """Tails at sorted scores below the listed tail of a wide motif: the lattice bracket, its
        steps made four times finer while it stays open and the work within budget (short motifs
        only). In those finer rounds a score whose band (the words the bracket cannot place) holds
        at most _CLOSE_WORDS words is made exact by listing them; one still open at the end gets
        the bracket's upper end."""
        err = self._err(s)
        done = np.zeros(s.shape, dtype=bool)
        p = np.empty(s.shape)
        bins, cells, words = _FINE_BINS, 0, [0]  # prefixes listed so far, against _BAND_WORK
        while True:
            todo = np.flatnonzero(~done)
            if bins == _FINE_BINS:  # the first round's recursion is kept for later calls
                grid, kept = self._fine(s[:1])
                lower, upper, band = grid.bounds(kept, s, err)
                cells = kept[3]
            else:
                grid = _Grid(self._M, bins)
                lower, upper, band, cells = grid.bracket(self._bg, s[todo], err[todo])
            if band is not None:
                self._close_by_listing(grid, s[todo], err[todo], lower, upper, band, words)
            p[todo] = upper
            done[todo[upper <= lower]] = True
            if done.all() or 4 * cells > _REFINE_CELLS:
                return p
            bins *= 4

    def _fine(self, lowest: np.ndarray):
        """The first round's lattice, and its distribution kept from the band of `lowest` (one
        score) to the top, nothing folded: it serves every later call with scores above it."""
        grid, kept, b = self._fine_kept or (_Grid(self._M, _FINE_BINS), None, None)
        need = int(grid.out_below(lowest, self._err(lowest))[0])
        if b is None or need < b:
            base, cum, above, cells = grid.distribution(self._bg, need, int(grid.suffix_max[0]) + 1)
            # its probabilities only: past width 16 a band is far too many words to list anyway
            kept = (base, cum[:1].copy(), above, cells)
            self._fine_kept = (grid, kept, need)
        return grid, kept

    @_holding
    def prepare(self, lowest) -> None:
        """Does now what later p-values of scores at or above `lowest` need, so that they are
        then read off (a scan runs this while it scans): below the listed tail, the halves of a
        short motif or the first lattice round of a long one."""
        lowest = float(lowest)
        if not self.min_score < lowest <= self.max_score:
            return
        x = self._lowered(np.array([lowest]))
        if x[0] < self._cut()[1]:
            if self._mitm:
                self._split()
            else:
                self._fine(x)

    def _split(self):
        """The two halves, best first. Words that scanning cannot tell apart are merged: first halves
        with the same double, second halves with the same values column by column."""
        halves = self._halves
        if halves is None:
            L, M, bg = self.width, self._M, self._bg
            h = L // 2
            pd, pp, _ = _fold_words(M[:, :h], bg)
            pd, back = np.unique(pd, return_inverse=True)
            pp = np.bincount(back.ravel(), weights=pp)
            pd, pp = pd[::-1], pp[::-1]
            values, sp = _distinct_words(M[:, h:], bg)
            sd = np.zeros(values.shape[0])
            for t in range(L - h):
                sd = sd + values[:, t]
            order = np.argsort(-sd, kind="stable")
            self._halves = halves = (h, pd, pp, np.concatenate(([0.0], np.cumsum(pp))),
                            sd[order], sp[order], np.concatenate(([0.0], np.cumsum(sp[order]))),
                            np.ascontiguousarray(values[order].T))
        return halves

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
        callers whose later scores reach lower list again only a few times."""
        listed = self._tail_words
        if listed is None or listed[0] > b_need:
            lat = self._lattice(_COARSE_BINS)
            want = max(4 * lat.words[np.clip(b_need, 0, lat.top + 1)], 4096)
            b = min(b_need, max(int(np.searchsorted(-lat.words, -want, side="left")), self._cut()[0]))
            self._tail_words = listed = self._kept_words(b, *_stats.best_first(*self._list_words(lat, b)))
        return listed[1:]

    @staticmethod
    def _kept_words(b: int, d: np.ndarray, cum: np.ndarray):
        """Listed words as kept: from lattice sum b, scores negated best first, running sums from 0."""
        return b, -d, np.concatenate(([0.0], cum))

    def _close_by_listing(self, grid: _Grid, s, err, lower, upper, band, words):
        """Exact tails (in upper, and lower) for open brackets whose bands are few words: runs of
        neighbouring scores whose bands together hold at most _CLOSE_WORDS words are listed at once,
        and each word of a band placed by its own scanned double."""
        b_lo, b_hi = grid.out_below(s, err), grid.sure_from(s, err)
        # from the best score down: bands narrow as scores rise, so the budget goes where it succeeds
        open_ = np.flatnonzero((upper > lower) & (band <= _CLOSE_WORDS))[::-1]
        start = 0
        while start < open_.size and words[0] < _BAND_WORK:
            # the run's union band: scores are sorted, so it spans the first's b_lo to the last's b_hi
            end = start + 1
            while end < open_.size and band[open_[end]:open_[start] + 1].sum() <= _CLOSE_WORDS:
                end += 1
            run = open_[start:end]
            start = end
            listed = self._list_words(grid, int(b_lo[run[-1]]), int(b_hi[run[0]]), keep_sums=True,
                                      work=words)
            if listed is None:
                continue
            d, prob, I = listed
            for k in run.tolist():
                upper[k] = lower[k] = lower[k] + prob[(d >= s[k]) & (I < b_hi[k])].sum()

    def _list_words(self, lat: _Grid, b: int, b_end: int | None = None, keep_sums: bool = False,
                    work: list | None = None):
        """Scores and probabilities of every word with lattice sum in [b, b_end), in lexicographic
        order of their codes; a prefix is dropped as soon as its best completion falls short (or its
        worst one goes past b_end). With b_end, None as soon as a column holds more than
        16 * _BAND_WORDS prefixes or the prefixes counted in work[0] pass _BAND_WORK (work[0] then
        counts those gone through: past _BAND_WORK either way, as 16 * _BAND_WORDS is)."""
        no_end = np.iinfo(np.int64).max
        limited = b_end is not None
        # a whole tail's words are counted by the lattice: room for them is made at once
        expect = 0 if limited or not isinstance(lat, _Lattice) else int(lat.words[np.clip(b, 0, lat.top + 1)])
        listed, done = _stats.lattice_words(
            lat.Q, self._M, self._bg, lat.suffix_max, b, b_end if limited else no_end,
            16 * _BAND_WORDS if limited else no_end, work[0] if work is not None else 0,
            _BAND_WORK if limited and work is not None else no_end, expect, keep_sums)
        if work is not None:
            work[0] = done
        return listed

    def _tail_listed(self, s: np.ndarray) -> np.ndarray:
        lat = self._lattice(_COARSE_BINS)
        b = self._b_need(s)
        # Both ways below give each score the correctly rounded sum of its words' probabilities
        # (carried in double-double), so the same doubles whichever serves and whatever else is
        # asked: a one-off (a scan's hits) goes through the listing once, nothing kept; words
        # asked for again are sorted best first and kept, and answer by a search.
        words = self._tail_words
        if words is not None and words[0] <= b:
            neg_d, cum = words[1:]
        elif not self._tails_asked:
            self._tails_asked = True
            return _stats.lattice_tails(lat.Q, self._M, self._bg, lat.suffix_max, b, s)
        else:
            neg_d, cum = self._listed(b)
        return cum[np.searchsorted(neg_d, -s, side="right")]

    # ---------------------------------------------------------------- thresholds

    @_holding
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
        # First the threshold on the scanned doubles alone (no ties), t: every achievable score
        # below it has a larger tail, hence a larger p-value. Words tying with t from below can only
        # raise its p-value, so the threshold with ties is t or an achievable score above it.
        # Listing the words above it answers most motifs at once; halves paired by bisection answer
        # short motifs whose tail is too long to list.
        t, exact = self._threshold_lattice(p)
        if not exact and self._mitm:
            if self._tail_mitm(np.array([self.max_score]))[0] > p:
                return math.inf  # even the best word is more frequent than p
            split = self._threshold_split(p)
            if split is not None:
                t, exact = split, True
        if t == math.inf:
            return t
        if not exact:
            # a score the lattice proves, not an achievable one: clear it of every tie below
            t = self._clear_of_ties(t)
            if t <= self.max_score:
                return t
            t = self.max_score
        if self._tied(np.array([t]), self._exact_tail)[0] <= p:
            return t
        return self._past_ties(t, p)

    def _clear_of_ties(self, t: float) -> float:
        """A score whose lowered value is at least t: words tying with it all score t or more."""
        tau = float(self._err(np.array(t)))
        reach = t + 2.0 * tau
        while self._lowered(np.array(reach)) < t:
            reach += tau
        return float(reach)

    def _past_ties(self, t: float, p: float) -> float:
        """Smallest achievable score above t whose p-value is at most p, when ties below t raise
        its own above p."""
        tau = float(self._err(np.array(t)))
        reach = self._clear_of_ties(t)  # past it, a score's lowered value has t's tail, within p
        found = self._achievable_in(t, reach)
        if found is None:  # too many words to list: a score the bound proves, not an achievable one
            return reach if reach <= self.max_score else math.inf
        ok = found[self._tied(found, self._exact_tail) <= p]
        if ok.size:
            return float(ok[0])
        step = max(tau, 1e-9 * (self.max_score - self.min_score))
        lo = reach
        while lo < self.max_score:
            hi = min(lo + step, self.max_score)
            found = self._achievable_in(lo, hi)
            if found is None:
                return reach
            if found.size:
                return float(found[0])
            lo, step = hi, 2.0 * step
        return math.inf

    def _achievable_in(self, a: float, b: float) -> np.ndarray | None:
        """The distinct scanned scores in (a, b], ascending; None when too many words could lie there."""
        if self._mitm:
            first, count = self._pairs_between(a, b)
            if count.sum() > 16 * _BAND_WORDS:
                return None
            d = self._pair_words(first, count)[2]
        else:
            lat = self._lattice(_COARSE_BINS)
            b_need = int(lat.out_below(np.array(a), self._err(np.array(a))))
            if lat.words[np.clip(b_need, 0, lat.top + 1)] > 4 * _ENUM_BUDGET:
                return None
            d = -self._listed(b_need)[0]
        return np.unique(d[(d > a) & (d <= b)])

    def _pair_words(self, first: np.ndarray, count: np.ndarray):
        """Prefix and suffix indexes of the pairs _pairs_between gave, and each pair's scanned
        score (the first half's double, then the second half's columns added one by one)."""
        _, pd, _, _, _, _, _, sv = self._split()
        u = np.repeat(np.arange(pd.size), count)
        j = _ranges(first, count)
        d = pd[u]
        for column in sv:
            d = d + column[j]
        return u, j, d

    def _pairs_between(self, a: float, b: float):
        """(prefix, suffix) index pairs of the words whose score may lie in [a, b], as two arrays."""
        _, pd, _, _, sd, _, _, _ = self._split()
        err = float(self._err(np.array(max(abs(a), abs(b)))))
        first = np.searchsorted(-sd, -(b + err - pd), side="left")
        last = np.searchsorted(-sd, -(a - err - pd), side="right")
        return first, np.maximum(last - first, 0)

    def _threshold_split(self, p: float) -> float | None:
        _, _, pp, _, _, sp, _, _ = self._split()
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
            u, j, d = self._pair_words(first, count)
            keep = (d > lo) & (d <= top)
            if keep.any() and d[keep].max() >= hi:
                break
            top, step = top + step, 2 * step
        d, cum = _stats.best_first(d[keep], pp[u[keep]] * sp[j[keep]])
        above = self._tail_mitm(np.array([np.nextafter(top, np.inf)]))[0] if top < self.max_score else 0.0
        last = _last_within(d, above + cum, p)
        return float(d[last]) if last >= 0 else None

    def _threshold_lattice(self, p: float) -> tuple[float, bool]:
        """The threshold on the scanned doubles, and whether it is exact (else a lattice bound)."""
        lat = self._lattice(_COARSE_BINS)
        err = self._err_range()
        # x_low surely has a p-value above p (its certain tail already exceeds p), so the threshold
        # lies above it, and every word that can score above x_low is listed.
        above = int(np.searchsorted(-lat.tail, -p, side="left"))  # first i with tail[i] <= p
        x_low = lat.score_below(above - 1, err)
        b = max(int(lat.out_below(np.array(x_low), np.array(err))), 0)
        if lat.words[b] <= _ENUM_BUDGET:
            d, cum = _stats.best_first(*self._list_words(lat, b))
            if self._tail_words is None or self._tail_words[0] > b:  # kept: ties are read off it
                self._tail_words = self._kept_words(b, d, cum)
            # and above x_low: a leading run too
            last = min(_last_within(d, cum, p), int(np.searchsorted(-d, -x_low, side="left")) - 1)
            return (float(d[last]) if last >= 0 else math.inf), True
        # Too many words to list: the lowest score the lattice proves to have a p-value <= p.
        return lat.score_at(int(np.searchsorted(-lat.tail, -p, side="left")), err), False


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
    last = _last_within(x, (sample.cw[1:] + sample.floor) / (sample.n + 1), p)
    return float(x[last]) if last >= 0 else math.inf
