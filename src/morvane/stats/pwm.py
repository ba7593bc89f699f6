"""The exact null distribution of PWM scores: listed tails, halves met in the middle, lattice brackets."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike

from ..background import check_background
from . import _native
from .lattice import _UNIT, Floats, Ints, _Grid, _Kept, _Lattice
from .tables import _holding
from .tails import _last_within

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


def _fold_words(M: Floats, bg: Floats) -> tuple[Floats, Floats, Ints]:
    """Scores (added column by column, as scanning adds them), probabilities and codes of all words."""
    L = M.shape[1]
    codes = np.indices((4,) * L, dtype=np.int8).reshape(L, 4**L).T
    d = np.zeros(codes.shape[0])
    p = np.ones(codes.shape[0])
    for m in range(L):
        d = d + M[codes[:, m], m]
        p = p * bg[codes[:, m]]
    return d, p, codes


def _distinct_words(M: Floats, bg: Floats) -> tuple[Floats, Floats]:
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


def _ranges(starts: Ints, counts: Ints) -> Ints:
    """The integer ranges [starts[i], starts[i] + counts[i]) laid end to end."""
    ends = np.cumsum(counts)
    return np.arange(ends[-1] if ends.size else 0) - np.repeat(ends - counts - starts, counts)


def _merge_rounding(tails: Floats) -> Floats:
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


class _Halves(NamedTuple):
    """A short motif's words as two halves, each best first, words scanning cannot tell apart merged."""

    h: int          # columns of the first half
    pd: Floats      # the first halves' distinct doubles
    pp: Floats      # their probabilities
    pcum: Floats    # running sums of pp, from 0
    sd: Floats      # the second halves' sums
    sp: Floats      # their probabilities
    scum: Floats    # running sums of sp, from 0
    sv: Floats      # the second halves' column values, one row per column, as scanning adds them


class _Listed(NamedTuple):
    """Listed words as kept: every word with lattice sum >= b, scores negated best first, and the
    running sums of their probabilities from 0."""

    b: int
    neg_d: Floats
    cum: Floats

    @classmethod
    def best_first(cls, b: int, d: Floats, cum: Floats) -> _Listed:
        """From the scores of the words best first and the running sums of their probabilities."""
        return cls(b, -d, np.concatenate(([0.0], cum)))


class _Fine(NamedTuple):
    """The first refinement round's lattice, and its distribution kept from lattice sum b to the top."""

    grid: _Grid
    kept: _Kept
    b: int


@dataclass
class _Work:
    """Prefixes the listing of bands has gone through in one call, against _BAND_WORK."""

    done: int = 0


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

    def __init__(self, log_odds: ArrayLike, background: ArrayLike) -> None:
        M = np.array(log_odds, dtype=np.float64)
        if M.ndim != 2 or M.shape[0] < 4 or M.shape[1] < 1:
            raise ValueError(f"log_odds must have shape (>=4, L) with L >= 1, not {M.shape}")
        M = np.ascontiguousarray(M[:4])
        if not np.all(np.isfinite(M)):
            raise ValueError("log_odds must be finite in rows 0 to 3")
        self._M = M
        self._bg = check_background(background, "PwmNull", "A, T, C, G")
        self.width = L = M.shape[1]
        self._abs = float(np.abs(M).max(axis=0).sum())
        # Adding is monotone in each operand, so the best (worst) base of every column gives the
        # largest (smallest) double any word can score.
        self.max_score = self._fold(M.max(axis=0))
        self.min_score = self._fold(M.min(axis=0))
        self._halves: _Halves | None = None
        self._tail_words: _Listed | None = None
        self._fine_kept: _Fine | None = None
        self._tails_asked = False  # tails of listed words asked for before
        self._lattices: dict[int, _Lattice] = {}
        self._thresholds: dict[float, float] = {}
        self._mitm = L <= _MITM_MAX_WIDTH

    def _table_bytes(self) -> int:
        """Bytes of the arrays this null keeps between calls."""
        def size(x: object) -> int:
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
    def _fold(column_values: Floats) -> float:
        s = 0.0
        for v in column_values.tolist():
            s += v
        return s

    def _err(self, s: Floats) -> Floats:
        # Bound on |scanned double - exact sum| for any two words together, the rounding of a
        # subtraction from the query included; generous by a factor of a few. It is tau, the width
        # of a tie, and the margin every pruning keeps.
        err: Floats = 8.0 * (self.width + 2) * _UNIT * (self._abs + np.abs(s))
        return err

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
    def pvalue(self, scores: ArrayLike) -> float | Floats:
        """P(score of a random window >= s - tau(s)) for every s of `scores` (a number or an array):
        scores within the rounding bound tau(s) below s tie with it."""
        s = np.asarray(scores, dtype=np.float64)
        out = self._tied(s.ravel(), self._tail).reshape(s.shape)
        return float(out) if out.ndim == 0 else out

    def _tied(self, flat: Floats, tail: Callable[[Floats], Floats]) -> Floats:
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

    def _exact_tail(self, s: Floats) -> Floats:
        """Exact tails at sorted scores, for thresholds: their words are listed or paired anyway."""
        words = self._tail_words
        listed = words is not None and words.b <= self._b_need(s)
        return self._tail_listed(s) if listed or not self._mitm else self._tail_mitm(s)

    def _b_need(self, s: Floats) -> int:
        """Lattice sum from which the words listed serve tails at sorted scores s."""
        return int(self._lattice(_COARSE_BINS).out_below(s[:1], self._err(s[:1]))[0])

    def _lowered(self, s: Floats) -> Floats:
        """s - tau(s): the lowest scanned score that may tie with s in exact arithmetic. Monotone in s,
        since tau grows some 1e13 times slower than s does."""
        return np.where(np.isinf(s), s, s - self._err(s))

    def _tail(self, s: Floats) -> Floats:
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

    def _tail_refined(self, s: Floats) -> Floats:
        """Tails at sorted scores below the listed tail of a wide motif: the lattice bracket, its
        steps made four times finer while it stays open and the work within budget (short motifs
        only). In those finer rounds a score whose band (the words the bracket cannot place) holds
        at most _CLOSE_WORDS words is made exact by listing them; one still open at the end gets
        the bracket's upper end."""
        err = self._err(s)
        done = np.zeros(s.shape, dtype=bool)
        p = np.empty(s.shape)
        bins, cells, work = _FINE_BINS, 0, _Work()
        while True:
            todo = np.flatnonzero(~done)
            if bins == _FINE_BINS:  # the first round's recursion is kept for later calls
                grid, kept = self._fine(s[:1])
                lower, upper, band = grid.bounds(kept, s, err)
                cells = kept.cells
            else:
                grid = _Grid(self._M, bins)
                lower, upper, band, cells = grid.bracket(self._bg, s[todo], err[todo])
            if band is not None:
                self._close_by_listing(grid, s[todo], err[todo], lower, upper, band, work)
            p[todo] = upper
            done[todo[upper <= lower]] = True
            if done.all() or 4 * cells > _REFINE_CELLS:
                return p
            bins *= 4

    def _fine(self, lowest: Floats) -> tuple[_Grid, _Kept]:
        """The first round's lattice, and its distribution kept from the band of `lowest` (one
        score) to the top, nothing folded: it serves every later call with scores above it."""
        fine = self._fine_kept
        grid = _Grid(self._M, _FINE_BINS) if fine is None else fine.grid
        need = int(grid.out_below(lowest, self._err(lowest))[0])
        if fine is None or need < fine.b:
            kept = grid.distribution(self._bg, need, int(grid.suffix_max[0]) + 1)
            # its probabilities only: past width 16 a band is far too many words to list anyway
            fine = self._fine_kept = _Fine(grid, kept._replace(cum=kept.cum[:1].copy()), need)
        return fine.grid, fine.kept

    @_holding
    def prepare(self, lowest: float) -> None:
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

    def _split(self) -> _Halves:
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
            self._halves = halves = _Halves(h, pd, pp, np.concatenate(([0.0], np.cumsum(pp))),
                                            sd[order], sp[order], np.concatenate(([0.0], np.cumsum(sp[order]))),
                                            np.ascontiguousarray(values[order].T))
        return halves

    def _tail_mitm(self, s: Floats) -> Floats:
        halves = self._split()
        pd, pp, pcum, sd, sp, scum = halves.pd, halves.pp, halves.pcum, halves.sd, halves.sp, halves.scum
        neg_pd, neg_sd = -pd, -sd
        err = self._err(s)
        # Prefixes (sorted by their partial score, best first) that certainly reach s whatever follows,
        # then those that may: only the latter need the second half.
        full = np.searchsorted(neg_pd, -(s + err - sd[-1]), side="right")
        some = np.searchsorted(neg_pd, -(s - err - sd[0]), side="right")
        p: Floats = pcum[full].copy()
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
                for column in halves.sv:
                    d = d + column[j]
                hit = d >= s[q[pair]]
                contrib = contrib + np.bincount(pair[hit], weights=sp[j[hit]], minlength=q.size)
            np.add.at(p, q, pp[u] * contrib)
        return p

    def _cut(self) -> tuple[int, float]:
        """Lowest score down to which listing every word that can reach it stays within the budget."""
        lat = self._lattice(_COARSE_BINS)
        b = int(np.searchsorted(-lat.counts, -_ENUM_BUDGET, side="left"))
        return b, (-math.inf if b == 0 else lat.score_at(b, self._err_range()))

    def _listed(self, b_need: int) -> _Listed:
        """The listed words, every word with lattice sum >= b_need among them. A few times more
        words than asked for are listed, so that callers whose later scores reach lower list again
        only a few times."""
        listed = self._tail_words
        if listed is None or listed.b > b_need:
            lat = self._lattice(_COARSE_BINS)
            want = max(4 * lat.counts[np.clip(b_need, 0, lat.top + 1)], 4096)
            b = min(b_need, max(int(np.searchsorted(-lat.counts, -want, side="left")), self._cut()[0]))
            self._tail_words = listed = _Listed.best_first(b, *self._best_first(lat, b))
        return listed

    def _close_by_listing(self, grid: _Grid, s: Floats, err: Floats, lower: Floats, upper: Floats,
                          band: Floats, work: _Work) -> None:
        """Exact tails (in upper, and lower) for open brackets whose bands are few words: runs of
        neighbouring scores whose bands together hold at most _CLOSE_WORDS words are listed at once,
        and each word of a band placed by its own scanned double."""
        b_lo, b_hi = grid.out_below(s, err), grid.sure_from(s, err)
        # from the best score down: bands narrow as scores rise, so the budget goes where it succeeds
        open_ = np.flatnonzero((upper > lower) & (band <= _CLOSE_WORDS))[::-1]
        start = 0
        while start < open_.size and work.done < _BAND_WORK:
            # the run's union band: scores are sorted, so it spans the first's b_lo to the last's b_hi
            end = start + 1
            while end < open_.size and band[open_[end]:open_[start] + 1].sum() <= _CLOSE_WORDS:
                end += 1
            run = open_[start:end]
            start = end
            listed = self._list_words(grid, int(b_lo[run[-1]]), int(b_hi[run[0]]), keep_sums=True,
                                      work=work)
            if listed is None:
                continue
            d, prob, I = listed
            for k in run.tolist():
                upper[k] = lower[k] = lower[k] + prob[(d >= s[k]) & (I < b_hi[k])].sum()

    def _list_words(self, lat: _Grid, b: int, b_end: int | None = None, keep_sums: bool = False,
                    work: _Work | None = None) -> tuple[Floats, ...] | None:
        """Scores and probabilities of every word with lattice sum in [b, b_end), in lexicographic
        order of their codes; a prefix is dropped as soon as its best completion falls short (or its
        worst one goes past b_end). With b_end, None as soon as a column holds more than
        16 * _BAND_WORDS prefixes or the prefixes counted in work pass _BAND_WORK (work then
        counts those gone through: past _BAND_WORK either way, as 16 * _BAND_WORDS is)."""
        no_end = np.iinfo(np.int64).max
        limited = b_end is not None
        # a whole tail's words are counted by the lattice: room for them is made at once
        expect = 0 if limited or not isinstance(lat, _Lattice) else int(lat.counts[np.clip(b, 0, lat.top + 1)])
        listed, done = _native.lattice_words(
            lat.Q, self._M, self._bg, lat.suffix_max, b, b_end if b_end is not None else no_end,
            16 * _BAND_WORDS if limited else no_end, work.done if work is not None else 0,
            _BAND_WORK if limited and work is not None else no_end, expect, keep_sums)
        if work is not None:
            work.done = done
        return listed

    def _best_first(self, lat: _Lattice, b: int) -> tuple[Floats, Floats]:
        """Every word with lattice sum >= b, best first, and the running sums of their probabilities."""
        listed = self._list_words(lat, b)
        assert listed is not None  # with no end the listing never gives up
        return _native.best_first(*listed)

    def _tail_listed(self, s: Floats) -> Floats:
        lat = self._lattice(_COARSE_BINS)
        b = self._b_need(s)
        # Both ways below give each score the correctly rounded sum of its words' probabilities
        # (carried in double-double), so the same doubles whichever serves and whatever else is
        # asked: a one-off (a scan's hits) goes through the listing once, nothing kept; words
        # asked for again are sorted best first and kept, and answer by a search.
        words = self._tail_words
        if words is None or words.b > b:
            if not self._tails_asked:
                self._tails_asked = True
                return _native.lattice_tails(lat.Q, self._M, self._bg, lat.suffix_max, b, s)
            words = self._listed(b)
        return words.cum[np.searchsorted(words.neg_d, -s, side="right")]

    # ---------------------------------------------------------------- thresholds

    @_holding
    def threshold(self, pvalue: float) -> float:
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

    def _achievable_in(self, a: float, b: float) -> Floats | None:
        """The distinct scanned scores in (a, b], ascending; None when too many words could lie there."""
        if self._mitm:
            first, count = self._pairs_between(a, b)
            if count.sum() > 16 * _BAND_WORDS:
                return None
            d = self._pair_words(first, count)[2]
        else:
            lat = self._lattice(_COARSE_BINS)
            b_need = int(lat.out_below(np.array(a), self._err(np.array(a))))
            if lat.counts[np.clip(b_need, 0, lat.top + 1)] > 4 * _ENUM_BUDGET:
                return None
            d = -self._listed(b_need).neg_d
        return np.unique(d[(d > a) & (d <= b)])

    def _pair_words(self, first: Ints, count: Ints) -> tuple[Ints, Ints, Floats]:
        """Prefix and suffix indexes of the pairs _pairs_between gave, and each pair's scanned
        score (the first half's double, then the second half's columns added one by one)."""
        halves = self._split()
        u = np.repeat(np.arange(halves.pd.size), count)
        j = _ranges(first, count)
        d = halves.pd[u]
        for column in halves.sv:
            d = d + column[j]
        return u, j, d

    def _pairs_between(self, a: float, b: float) -> tuple[Ints, Ints]:
        """(prefix, suffix) index pairs of the words whose score may lie in [a, b], as two arrays."""
        halves = self._split()
        pd, sd = halves.pd, halves.sd
        err = float(self._err(np.array(max(abs(a), abs(b)))))
        first = np.searchsorted(-sd, -(b + err - pd), side="left")
        last = np.searchsorted(-sd, -(a - err - pd), side="right")
        return first, np.maximum(last - first, 0)

    def _threshold_split(self, p: float) -> float | None:
        halves = self._split()
        pp, sp = halves.pp, halves.sp
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
        d, cum = _native.best_first(d[keep], pp[u[keep]] * sp[j[keep]])
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
        if lat.counts[b] <= _ENUM_BUDGET:
            d, cum = self._best_first(lat, b)
            if self._tail_words is None or self._tail_words.b > b:  # kept: ties are read off it
                self._tail_words = _Listed.best_first(b, d, cum)
            # and above x_low: a leading run too
            last = min(_last_within(d, cum, p), int(np.searchsorted(-d, -x_low, side="left")) - 1)
            return (float(d[last]) if last >= 0 else math.inf), True
        # Too many words to list: the lowest score the lattice proves to have a p-value <= p.
        return lat.score_at(int(np.searchsorted(-lat.tail, -p, side="left")), err), False
