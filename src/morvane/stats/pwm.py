"""The exact null distribution of PWM scores: listed tails where they are short, a fixed lattice
bound elsewhere, one fixed function of the score either way."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..background import check_background
from . import _native
from .lattice import _UNIT, Bools, Floats, Ints, _Grid, _Lattice
from .tables import SPILL, Spilled, _holding, has_room
from .tails import _last_within

# Words a listed tail may hold (24 bytes each while listing, 16 once listed): listing them and
# sorting them best first takes a few milliseconds, the time a threshold may take, and going
# through them again for the hits of a chunk about one.
_ENUM_BUDGET = 1 << 16
_LISTING_BYTES = 16 * (_ENUM_BUDGET + 1)  # the room a kept listing takes at most
# Lattice sizes: the coarse one counts words and locates thresholds, the fine one bounds every tail
# too long to list; both full recursions stay within a few milliseconds at width 40.
_COARSE_BINS = 1 << 16
_FINE_BINS = 1 << 18
# Widest motif served: the fine lattice's bound grows with the width (some 0.07% above the exact
# tail at width 40, 0.1% at width 64), and past this its thresholds would miss ever more hits.
MAX_WIDTH = 64
# The fine lattice's Chernoff bound tilts the residuals by theta = _TILT / eps: measured on motifs
# peaked like real ones, from 0.75 to 2 gives bounds within 10% of each other, 1.5 the closest.
_TILT = 1.5
# Calls a null whose tables were given back for room goes through its words again before it
# keeps them anew: nulls that do not fit then take turns rarely instead of at every call.
_REVISITS = 8


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


# What _native.read_off reads of a null: how its scores are lowered, its listed words (scores
# negated, running sums, first lattice sum) or Nones, the coarse lattice's steps, and the fine
# bound (upper, first sum, steps) or a None.
KeptTables = tuple[object, ...]


class _Fine(NamedTuple):
    """The fine lattice from sum b on, as the native bound reads it (morvane._stats.read_off): the
    tails from each sum on, each sum's tilted weight over its probability (in single precision,
    rounded up), and the tilt's rises per substep."""

    grid: _Grid
    tails: Floats
    ratio: NDArray[np.float32]
    rise: Floats
    b: int

    def arrays(self) -> tuple[Floats, NDArray[np.float32], Floats]:
        return self.tails, self.ratio, self.rise


def _ordered(x: float) -> int:
    """An integer whose order is the order of the doubles (-0.0 just below 0.0)."""
    u = int(np.float64(x).view(np.int64))
    return u if u >= 0 else -(u & 0x7FFFFFFFFFFFFFFF) - 1


def _doubles(k: Ints) -> Floats:
    """The doubles of the integers _ordered gives."""
    u = np.where(k >= 0, k, (-k - 1) | np.int64(-(1 << 63)))
    out: Floats = u.view(np.float64)
    return out


def _lowest_true(holds: Callable[[Floats], Bools], lo: float, hi: float) -> float:
    """The smallest double in (lo, hi] at which `holds` (monotone: False, then True) is True, given
    it is False at lo and True at hi: 1024 doubles tried at once, so some seven rounds."""
    a, b = _ordered(lo), _ordered(hi)
    while b - a > 1:
        step = (b - a) // 1025  # below 2**54: a + i * step stays between a and b
        ks = np.arange(a + 1, b, dtype=np.int64) if step == 0 else \
            np.int64(a) + np.arange(1, 1025, dtype=np.int64) * np.int64(step)
        ok = np.flatnonzero(holds(_doubles(ks)))
        if ok.size:
            b = int(ks[ok[0]])
        if not ok.size or ok[0] > 0:
            a = int(ks[ok[0] - 1] if ok.size else ks[-1])
    return float(_doubles(np.array([b], dtype=np.int64))[0])


class PwmNull:
    """Exact null distribution of a PWM score: window bases independent, drawn from `background`.
    Tails are read at s - tau(s), so that scores equal in exact arithmetic tie (see the module).

    Each score's p-value is one fixed function of it, whatever else is asked in the same call: where
    at most _ENUM_BUDGET words can reach the score (the far tail, where hits live; every score of a
    motif up to width 8), those words are listed, with an integer lattice pruning every prefix that
    cannot reach, and the tail is the correctly rounded sum of their probabilities: exact. Elsewhere
    it is a bound on a lattice of _FINE_BINS steps, each lattice sum near
    the score counted in part by a Chernoff bound of its words' residuals: never below the exact
    tail, above it by a share of the words the lattice cannot place (docs/statistics.md: how much).
    The threshold of a p-value is the lowest score whose p-value is within it, so a window is a hit
    exactly when its p-value is at most the cut-off.
    """

    def __init__(self, log_odds: ArrayLike, background: ArrayLike) -> None:
        M = np.array(log_odds, dtype=np.float64)
        if M.ndim != 2 or M.shape[0] < 4 or M.shape[1] < 1:
            raise ValueError(f"log_odds must have shape (>=4, L) with L >= 1, not {M.shape}")
        if M.shape[1] > MAX_WIDTH:
            raise ValueError(f"log_odds has {M.shape[1]} columns: the statistics serve widths up to {MAX_WIDTH}")
        M = np.ascontiguousarray(M[:4])
        if not np.all(np.isfinite(M)):
            raise ValueError("log_odds must be finite in rows 0 to 3")
        self._M = M
        self._bg = check_background(background, "PwmNull", "A, T, C, G")
        self.width = M.shape[1]
        self._tau_factor = 8.0 * (self.width + 2) * _UNIT
        with np.errstate(over="ignore"):
            self._abs = float(np.abs(M).max(axis=0).sum())
        # the rounding bound, lattice steps and sums must stay finite: spans past 1e300 cannot
        if not self._abs < 1e300:
            raise ValueError(f"log_odds are too large: the best and worst scores span {self._abs:.3g}, "
                             "past the doubles' range")
        # Adding is monotone in each operand, so the best (worst) base of every column gives the
        # largest (smallest) double any word can score.
        self.max_score = self._fold(M.max(axis=0))
        self.min_score = self._fold(M.min(axis=0))
        self._tail_words: _Listed | None = None
        self._fine_kept: _Fine | None = None
        self._lattices: dict[int, _Lattice] = {}
        self._thresholds: dict[float, float] = {}
        # Kept whatever the room: a few hundred bytes, and what p-values of hits need to make their
        # tables again quickly (the lattices' steps, the lowest listed score).
        self._grids: dict[int, _Grid] = {}
        self._cut_kept: tuple[int, float] | None = None
        self._listed_low: float | None = None
        # calls that went through listed words without keeping them: a null asked again and
        # again (chunk after chunk) keeps them from its second such call on, in the room or,
        # past it, spilled (the lattice sum they start from, and where they lie)
        self._visits = 0
        self._spilled: tuple[int, Spilled] | None = None

    def _table_bytes(self) -> int:
        """Bytes of the arrays this null keeps between calls (asked after every call: kept cheap)."""
        def arrays(x: object) -> int:
            return sum(v.nbytes for v in vars(x).values() if isinstance(v, np.ndarray))
        words, fine = self._tail_words, self._fine_kept
        n = 0 if words is None else words.neg_d.nbytes + words.cum.nbytes
        if fine is not None:
            n += sum(a.nbytes for a in fine.arrays()) + arrays(fine.grid)
        return n + sum(arrays(lattice) for lattice in self._lattices.values())

    def _drop_tables(self) -> None:
        """Gives the tables back; calls make them again as they need them (listed words from the
        spill, where it takes them)."""
        words = self._tail_words
        if words is not None and (self._spilled is None or self._spilled[0] > words.b):
            self._spill(words)
        self._tail_words = self._fine_kept = None
        self._lattices = {}
        self._visits = -_REVISITS  # short of room: some calls go through the words again first

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
        err: Floats = self._tau_factor * (self._abs + np.abs(s))
        return err

    def _err_range(self) -> float:
        # the bound at the widest score in [min_score, max_score]
        return float(self._err(np.array(max(abs(self.max_score), abs(self.min_score)))))

    def _lattice(self, bins: int) -> _Lattice:
        lattice = self._lattices.get(bins)
        if lattice is None:
            lattice = self._lattices[bins] = _Lattice(self._M, self._bg, bins,
                                                      count=_ENUM_BUDGET if bins == _COARSE_BINS else None)
        return lattice

    def _grid(self, bins: int) -> _Grid:
        """The steps of a lattice without its distribution (the same as _lattice's for bins)."""
        grid = self._grids.get(bins)
        if grid is None:
            steps = _Lattice.steps(bins, self.width) if bins == _COARSE_BINS else bins
            grid = self._grids[bins] = _Grid(self._M, steps)
        return grid

    # ------------------------------------------------------------------ p-values

    @_holding
    def pvalue(self, scores: ArrayLike) -> float | Floats:
        """P(score of a random window >= s - tau(s)) for every s of `scores` (a number or an array):
        scores within the rounding bound tau(s) below s tie with it."""
        s = np.asarray(scores, dtype=np.float64)
        out = self._tied(s.ravel()).reshape(s.shape)
        self._end_call()
        return float(out) if out.ndim == 0 else out

    def _end_call(self) -> None:
        """The coarse lattice's distribution serves thresholds, and is made again in milliseconds:
        between calls it would take more room than all else a motif keeps."""
        self._lattices.clear()

    def _tied(self, flat: Floats) -> Floats:
        """p-values of the scores `flat`: the tails at their lowered values, one function of each,
        read off the tables kept (and the words spilled past the room) where they serve, worked
        out elsewhere."""
        out = self._read_off(flat, self._tail_words)
        todo = np.flatnonzero(np.isnan(out))  # NaN scores too, which stay NaN
        back = self._spilled_words() if todo.size else None
        if back is not None:
            out[todo] = self._read_off(flat[todo], back)
            todo = todo[np.isnan(out[todo])]
        if todo.size:
            out[todo] = self._worked_out(flat[todo])
        return out

    def _read_off(self, flat: Floats, words: _Listed | None) -> Floats:
        """What _tied gives, read off the kept bound and `words` in one native pass; NaN where
        they do not serve."""
        tables = self._kept(words)
        return np.full(flat.shape, np.nan) if tables is None else _native.read_off(None, flat, [tables])

    def _spilled_words(self) -> _Listed | None:
        """The words this null spilled, where they reach lower than those it keeps, as views of
        this thread's spill buffer (valid until the thread reads the spill again)."""
        words = self._tail_words
        if self._spilled is None or (words is not None and words.b <= self._spilled[0]):
            return None
        return self._unspilled(self._spilled[0])

    def _worked_out(self, flat: Floats) -> Floats:
        out = np.full(flat.shape, np.nan)
        with np.errstate(invalid="ignore"):
            x = self._lowered(flat)
        out[flat > self.max_score] = 0.0
        out[x <= self.min_score] = 1.0
        todo = np.flatnonzero((x > self.min_score) & (flat <= self.max_score))
        if todo.size:
            out[todo] = self._tail(x[todo], flat[todo])
        return out

    @_holding
    def kept_tables(self, spilled: bool = False) -> KeptTables | None:
        """The tables this null keeps now, as `_native.read_off` reads them (None: none kept). They
        stay valid after the null gives them back: a chunk's p-values are read off them at once,
        and what they do not serve is asked of `pvalue`. With `spilled`, listed words the null
        spilled are read back into them, valid until this thread reads the spill again."""
        tables = self._kept((spilled and self._spilled_words()) or self._tail_words)
        self._end_call()
        return tables

    def _kept(self, words: _Listed | None, listed_from: float | None = None) -> KeptTables | None:
        """The tables read_off reads; with listed_from, the bound serves every score below it."""
        fine = self._fine_kept
        if words is None and fine is None:
            return None
        coarse = self._grid(_COARSE_BINS)
        listed = (None, None, 0) if words is None else (words.neg_d, words.cum, words.b)
        bound = (None, None, None, 0, 0.0, 0.0, 1.0) if fine is None else \
            (*fine.arrays(), fine.b, fine.grid.lo, fine.grid.r_max, fine.grid.eps)
        low = self._listed_from() if listed_from is None else listed_from
        return (self._tau_factor, self._abs, self.min_score, self.max_score, low, *listed,
                coarse.lo, coarse.r_max, coarse.eps, *bound)

    def _lowered(self, s: Floats) -> Floats:
        """s - tau(s): the lowest scanned score that may tie with s in exact arithmetic. Monotone in s,
        since tau grows some 1e13 times slower than s does."""
        return np.where(np.isinf(s), s, s - self._err(s))

    def _listable(self, x: Floats) -> Bools:
        """Whether at most _ENUM_BUDGET words may reach each lowered score x (monotone in x)."""
        grid = self._grid(_COARSE_BINS)
        # sums below 0 count every word, as sum 0 does
        out: Bools = np.maximum(grid.out_below(x, self._err(x)), 0) >= self._cut()[0]
        return out

    def _tail(self, x: Floats, s: Floats) -> Floats:
        """Tails at lowered scores x (of the scores s) strictly inside (min_score, max_score], in
        any order."""
        exact = self._listable(x)
        if exact.all():  # the usual case of a scan's hits, spared the masks
            return np.minimum(self._tail_listed(x), 1.0)
        p = np.empty(x.shape)
        if exact.any():
            p[exact] = self._tail_listed(x[exact])
        if not exact.all():
            p[~exact] = self._bound_of(s[~exact], np.array([x[~exact].min()]))
        return np.minimum(p, 1.0)

    def _fine(self, lowest: Floats) -> _Fine:
        """The fine lattice's bound, kept from the out_below of `lowest` (one lowered score) to the
        top: the recursion drops every prefix that cannot reach it, which leaves the tails from it
        up the same doubles, so one kept from lower serves every later call."""
        fine = self._fine_kept
        grid = self._grid(_FINE_BINS)
        need = int(grid.out_below(lowest, self._err(lowest))[0])
        if fine is None or need < fine.b:
            b = max(need, 0)
            theta = _TILT / grid.eps
            base, prob, tilt, _, _ = _native.lattice_bracket(grid.Q, self._bg, grid.suffix_max, b,
                                                             int(grid.suffix_max[0]) + 1, False,
                                                             grid.tilt(self._bg, theta))
            # rise[m] = exp(theta * m * eps / substeps); past the spread of the residuals it would
            # lift every bound above the sum's probability, which then serves alone.
            rises = int(np.ceil((grid.r_max - grid.r_min) / grid.eps * _native.SUBSTEPS)) + 2
            rise = np.exp(np.arange(rises) * (_TILT / _native.SUBSTEPS))
            # Only scores below the listed ones read the bound: the table ends past the last sum
            # theirs may count in part (the tails of the last entry count every word above whole).
            pad, n = base - b, base - b + prob.size  # no word's sum lies below base
            low = self._listed_from()
            if low <= self.max_score:
                x_a = self._lowered(np.array([low]))
                last = int(grid.out_below(x_a, self._err(x_a))[0]) - b
                n = min(n, max(last, 0) + 4 + -(-rises // _native.SUBSTEPS))
            # the tails from each sum on (from the top down, whatever b is) and the ratios, from b
            tails, ratio = _native.fine_table(prob, tilt, pad, n)
            fine = self._fine_kept = _Fine(grid, tails, ratio, rise, b)
        return fine

    @_holding
    def prepare(self, lowest: float, top: bool = True) -> None:
        """Does now what later p-values of scores at or above `lowest` need, so that they are
        then read off (a scan runs this while it scans): the words that reach `lowest`, listed
        best first and kept, where few enough do; else the fine lattice below the listed tail,
        and (with `top`) the listed tail's words too."""
        lowest = float(lowest)
        if not self.min_score < lowest <= self.max_score:
            return
        x = self._lowered(np.array([lowest]))
        if x[0] > self.min_score:
            if self._listable(x)[0]:
                self._keep_listed(int(self._grid(_COARSE_BINS).out_below(x, self._err(x))[0]))
            else:
                self._fine(x)
                if top and self._listed_from() <= self.max_score:
                    self._keep_listed(self._cut()[0])
        self._end_call()

    @_holding
    def spill_listed(self) -> None:
        """The listed tail's words (a bounded null's, from the lowest listed score up) listed now
        and spilled, not kept, unless they are kept or spilled already: for a scan's nulls past
        the room, which then read them back chunk after chunk instead of listing them there."""
        if self._fine_kept is not None and self._listed_from() <= self.max_score and SPILL.usable():
            b = self._cut()[0]
            words = self._tail_words
            if (words is None or words.b > b) and (self._spilled is None or self._spilled[0] > b):
                self._spill(self._listing(b))
        self._end_call()

    def _keep_listed(self, b: int) -> _Listed:
        """The words with coarse lattice sum >= b, best first, kept (those kept from lower serve)."""
        words = self._tail_words
        if words is None or words.b > b:
            words = self._tail_words = self._listing(b)
        return words

    def _listing(self, b: int) -> _Listed:
        return _Listed.best_first(b, *self._best_first(self._grid(_COARSE_BINS), b))

    def _cut(self) -> tuple[int, float]:
        """The lowest lattice sum b whose words (those with sums >= b) fit in the listing budget,
        and a score from which on every word that can reach it has a sum >= b."""
        if self._cut_kept is None:
            lat = self._lattice(_COARSE_BINS)
            b = int(np.searchsorted(-lat.counts, -_ENUM_BUDGET, side="left"))
            self._cut_kept = b, (-math.inf if b == 0 else lat.score_at(b, self._err_range()))
        return self._cut_kept

    def _best_first(self, grid: _Grid, b: int) -> tuple[Floats, Floats]:
        """Every word with lattice sum >= b, best first, and the running sums of their probabilities."""
        no_end = np.iinfo(np.int64).max
        # room for them is made at once, where the lattice counted them
        lat = self._lattices.get(_COARSE_BINS)
        expect = 0 if lat is None else int(min(lat.counts[np.clip(b, 0, lat.top + 1)], _ENUM_BUDGET))
        listed, _ = _native.lattice_words(grid.Q, self._M, self._bg, grid.suffix_max, b, no_end, no_end, 0, no_end,
                                          expect, False)
        assert listed is not None  # with no limit the listing never gives up
        return _native.best_first(*listed)

    def _tail_listed(self, x: Floats) -> Floats:
        grid = self._grid(_COARSE_BINS)
        low = np.array([x.min()])
        b = int(grid.out_below(low, self._err(low))[0])
        # Both ways below give each score the correctly rounded sum of its words' probabilities
        # (carried in double-double), so the same doubles whichever serves and whatever else is
        # asked: words a threshold, a scan's prepare or an earlier call listed and kept answer by
        # a search; otherwise the first call goes through the words, nothing kept (at most
        # _ENUM_BUDGET of them, a millisecond or two: for a lone call, listing, sorting and
        # keeping them costs more), and the next lists and keeps them, or spills them when the
        # room is full (a scan of many chunks then lists them once, not once a chunk).
        words = self._tail_words
        if words is None or words.b > b:
            words = self._unspilled(b)
        if words is None:
            self._visits += 1
            # kept only into free room: taking others' would have them list again in turn
            if self._visits < 2 or not (has_room(_LISTING_BYTES) or SPILL.usable()):
                values, back = np.unique(x, return_inverse=True)
                return _native.lattice_tails(grid.Q, self._M, self._bg, grid.suffix_max, b, values)[back.ravel()]
            words = self._keep_listed(b) if has_room(_LISTING_BYTES) else self._spill(self._listing(b))
        return words.cum[np.searchsorted(words.neg_d, -x, side="right")]

    def _spill(self, words: _Listed) -> _Listed:
        """words, spilled (where the spill takes them) for later calls to read back."""
        where = SPILL.put((words.neg_d, words.cum))
        if where is not None:
            self._spilled = words.b, where
        return words

    def _unspilled(self, b: int) -> _Listed | None:
        """The spilled words, where they start at or below b."""
        if self._spilled is None or self._spilled[0] > b:
            return None
        got = SPILL.get(self._spilled[1])
        return None if got is None else _Listed(self._spilled[0], *got)

    # ---------------------------------------------------------------- thresholds

    @_holding
    def threshold(self, pvalue: float) -> float:
        """The lowest score whose p-value (as `pvalue` gives it) is at most `pvalue`: a window is a
        hit at that cut-off exactly when it scores at or above it. An achievable score (one some
        word scores) wherever the p-value there is exact; inf when no word is that rare."""
        p = float(pvalue)
        if not 0.0 < p <= 1.0:
            raise ValueError(f"pvalue must lie in (0, 1], got {pvalue!r}")
        if p not in self._thresholds:
            self._thresholds[p] = self._find_threshold(p)
            self._end_call()
        return self._thresholds[p]

    def _find_threshold(self, p: float) -> float:
        if p >= 1.0:
            return self.min_score
        if self._tied(np.array([self.max_score]))[0] > p:
            return math.inf  # even the best word is more frequent than p
        # p-values fall as scores rise; the listed (exact) ones are those of the scores from s_a up
        b_cut, _ = self._cut()
        lat = self._lattice(_COARSE_BINS)
        if b_cut == 0:
            return self._threshold_listed(p)
        s_a = self._listed_from()
        if s_a <= self.max_score:
            x_a = self._lowered(np.array([s_a]))
            # the coarse lattice's bracket decides on which side of s_a the threshold lies, or the
            # exact tail at s_a when the bracket holds p
            if float(lat.lower(x_a, self._err(x_a))[0]) > p or \
                    (float(lat.upper(x_a, self._err(x_a))[0]) > p and self._tied(np.array([s_a]))[0] > p):
                return self._threshold_listed(p)
        return min(self._threshold_bound(p), s_a)

    def _listed_from(self) -> float:
        """The lowest score whose p-value is listed (exact), or inf past max_score."""
        def listed(s: Floats) -> Bools:
            return self._listable(self._lowered(s))
        if self._listed_low is None:
            if not listed(np.array([self.max_score]))[0]:
                self._listed_low = math.inf
            elif listed(np.array([self.min_score]))[0]:
                self._listed_low = self.min_score
            else:
                self._listed_low = _lowest_true(listed, self.min_score, self.max_score)
        return self._listed_low

    def _threshold_listed(self, p: float) -> float:
        """The threshold where it lies among the listed scores: the lowest listed score whose lowered
        value is above every score whose tail exceeds p."""
        lat = self._lattice(_COARSE_BINS)
        err = self._err_range()
        # x_low surely has a tail above p (the lattice sums sure to reach it already hold more), so
        # the words at or above it are listed: among them the first past p, d_next
        above = int(np.searchsorted(-lat.tail, -p, side="left"))  # first i with tail[i] <= p
        x_low = lat.score_below(above - 1, err)
        b = max(int(lat.out_below(np.array(x_low), np.array(err))), self._cut()[0], 0)
        words = self._keep_listed(b)
        d, cum = -words.neg_d, words.cum[1:]
        last = _last_within(d, cum, p)
        if last + 1 >= d.size:  # every word within p, p a rounding below 1: the first that is
            up = np.unique(d)
            ok = np.flatnonzero(self._tied(up) <= p)
            return float(up[ok[0]]) if ok.size else math.inf
        d_next = d[last + 1]
        # the lowest listed score whose lowered value passes d_next (its ties all lie above d_next)
        up = np.unique(d[: last + 1])
        k = int(np.searchsorted(self._lowered(up), d_next, side="right"))
        return float(up[k]) if k < up.size else math.inf

    def _threshold_bound(self, p: float) -> float:
        """The lowest score whose fine lattice bound is at most p (inf when none is)."""
        lat = self._lattice(_COARSE_BINS)
        above = int(np.searchsorted(-lat.tail, -p, side="left"))
        x_low = np.array([max(lat.score_below(above - 1, self._err_range()), self.min_score)])

        def within(s: Floats) -> Bools:
            out: Bools = self._bound_of(s, x_low, everywhere=True) <= p
            return out
        if within(np.array([self.min_score]))[0]:
            return self.min_score
        if not within(np.array([self.max_score]))[0]:
            return math.inf
        return _lowest_true(within, self.min_score, self.max_score)

    def _bound_of(self, s: Floats, lowest: Floats, everywhere: bool = False) -> Floats:
        """The fine bound at scores s, as read_off gives it, from a table kept from the lowered
        score `lowest` (at or below theirs) up; everywhere: listed scores too."""
        self._fine(lowest)
        return _native.read_off(None, s, [self._kept(None, math.inf if everywhere else None)])
