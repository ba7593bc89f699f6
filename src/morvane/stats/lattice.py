"""Integer lattices of PWM scores: column scores floored onto a grid, whose integer sums bound the
real tails from both sides (the recursions over them are native)."""

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

from . import _native

_UNIT = 2.0**-53  # unit roundoff of a double

Floats = NDArray[np.float64]
Ints = NDArray[np.int64]
Bools = NDArray[np.bool_]


class _Kept(NamedTuple):
    """The distribution of lattice sums kept from `base` on: `cum` holds the tails of its
    probabilities (row 0) and, when kept, of its word counts (row 1), one extra zero past the top;
    `above` is the mass folded in from the top, `cells` the cells the recursion went through."""

    base: int
    cum: Floats
    above: float
    cells: int


class _Grid:
    """Column scores floored onto multiples of eps from an origin per column: the integer sum I of a
    word. A word's exact sum S is lo + eps*I plus the residuals its bases leave, which lie within
    [r_min, r_max], so integer tails bound the real one from both sides; the band between the
    bounds narrows as eps does. Each column's origin sits just past the widest gap between its
    values' positions modulo eps, so that its residuals spread least: about half a step a column
    instead of a whole one."""

    def __init__(self, M: Floats, bins: int) -> None:
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
        self.Q: Ints = np.maximum(np.floor((M - origin) / eps), 0).astype(np.int64)
        # the residuals as rounded; both bounds keep one spare step for what that rounding moves
        self.r: Floats = (M - origin) - eps * self.Q
        self.lo = float(origin.sum())
        self.r_min, self.r_max = float(self.r.min(axis=0).sum()), float(self.r.max(axis=0).sum())
        self.suffix_max: Ints = np.append(np.cumsum(self.Q.max(axis=0)[::-1])[::-1], 0)

    def tilt(self, bg: Floats, theta: float) -> Floats:
        """Weights of a recursion whose sums are E[exp(theta * (R - r_max)); I = i]: each base's
        probability times exp(theta * (its residual - its column's largest)), at most 1."""
        out: Floats = bg[:, None] * np.exp(theta * (self.r - self.r.max(axis=0)))
        return out

    def out_below(self, s: Floats, err: Floats) -> Ints:
        """Smallest I a word scoring >= s can have (one extra step absorbs the rounding of this division)."""
        return np.floor((s - err - self.lo - self.r_max) / self.eps).astype(np.int64) - 1

    def sure_from(self, s: Floats, err: Floats) -> Ints:
        """I from which every word scores >= s."""
        return np.ceil((s + err - self.lo - self.r_min) / self.eps).astype(np.int64) + 1

    def distribution(self, bg: Floats, b_lo: int, b_hi: int, count_words: bool = True) -> _Kept:
        """The distribution of I kept where it can still matter: a prefix that cannot reach b_lo is
        dropped, one sure to reach b_hi folded into a mass already above; the counts of words too
        with count_words (they cost as much again)."""
        # natively: the finest steps go through millions of cells in a column
        base, prob, words, above, cells = _native.lattice_bracket(self.Q, bg, self.suffix_max, b_lo, b_hi,
                                                                  count_words)
        dist = np.stack([prob, words]) if count_words else prob[None]  # probabilities, and counts of words
        cum = np.concatenate([np.cumsum(dist[:, ::-1], axis=1)[:, ::-1], np.zeros((dist.shape[0], 1))], axis=1)
        return _Kept(base, cum, above, cells)

    def bounds(self, kept: _Kept, s: Floats, err: Floats) -> tuple[Floats, Floats, Floats | None]:
        """Lower and upper bounds of the tails at scores s, and the number of words between them
        (None when the word counts were not kept), from a distribution kept from below every
        out_below(s) (and folded past every sure_from)."""
        base, cum, above = kept.base, kept.cum, kept.above
        sure = np.clip(self.sure_from(s, err) - base, 0, cum.shape[1] - 1)
        may = np.clip(self.out_below(s, err) - base, 0, cum.shape[1] - 1)
        band = cum[1, may] - cum[1, sure] if cum.shape[0] > 1 else None
        return above + cum[0, sure], above + cum[0, may], band

    def bracket(self, bg: Floats, s: Floats, err: Floats) -> tuple[Floats, Floats, Floats | None, int]:
        """bounds at sorted scores s, and the cells the recursion went through."""
        kept = self.distribution(bg, int(self.out_below(s[:1], err[:1])[0]),
                                 int(self.sure_from(s[-1:], err[-1:])[0]))
        return (*self.bounds(kept, s, err), kept.cells)


class _Lattice(_Grid):
    """The full distribution of I: its tail at every integer, and (given `count`) how many words
    reach each where at most `count` do (elsewhere the largest float32: more than that)."""

    def __init__(self, M: Floats, bg: Floats, bins: int, count: int | None = None) -> None:
        super().__init__(M, self.steps(bins, M.shape[1]))
        top = int(self.suffix_max[0])
        # the recursion with nothing dropped or folded: the whole distribution
        _, prob, _, _, _ = _native.lattice_bracket(self.Q, bg, self.suffix_max, 0, top + 1, False)
        # tail[i] = P(I >= i), words[i] = number of words with I >= i; one extra zero past the top
        self.tail = self._tail_of(prob)
        self.top = top
        self.words: NDArray[np.float32] | None = None
        if count is not None:
            # No word is likelier than max(bg)**L: where the tail holds more than `count` times that,
            # more than `count` words reach, so the counts (which cost as much as the probabilities)
            # are needed only from the first sum past it, where the recursion keeps few cells.
            few = count * float(np.max(bg)) ** M.shape[1] * (1.0 + 1e-9)
            lo = int(np.searchsorted(-self.tail, -few, side="left"))
            base, _, words, _, _ = _native.lattice_bracket(self.Q, bg, self.suffix_max, lo, top + 1)
            # The counts only size listings, so single precision (half the room) serves.
            counts = np.full(top + 2, np.finfo(np.float32).max, dtype=np.float32)
            if lo <= top:
                kept = self._tail_of(words)
                counts[lo:base] = kept[0]
                counts[base:base + kept.size] = np.minimum(kept, np.finfo(np.float32).max)
            counts[top + 1] = 0.0
            self.words = counts

    @staticmethod
    def steps(bins: int, L: int) -> int:
        """The steps of a lattice of `bins` for width L: a short motif has fewer words than steps,
        and more steps would only take room."""
        return min(bins, int(4 ** min(L, 16)))

    @property
    def counts(self) -> NDArray[np.float32]:
        """words, on a lattice made to count them."""
        assert self.words is not None, "this lattice does not count words"
        return self.words

    @staticmethod
    def _tail_of(dist: Floats) -> Floats:
        return np.append(np.cumsum(dist[::-1])[::-1], 0.0)

    def _at(self, table: Floats, i: Ints) -> Floats:
        return table[np.clip(i, 0, self.top + 1)]

    def upper(self, s: Floats, err: Floats) -> Floats:
        return self._at(self.tail, self.out_below(s, err))

    def lower(self, s: Floats, err: Floats) -> Floats:
        return self._at(self.tail, self.sure_from(s, err))

    def score_below(self, i: int, err: float) -> float:
        """A score whose sure_from is at most i, so that its tail is at least tail[i]."""
        return self.lo + self.r_min + self.eps * (i - 1) - err - self.eps * 1e-6

    def score_at(self, b: int, err: float) -> float:
        """Smallest score whose out_below is at least b (nudged up past the division's rounding)."""
        x = self.lo + self.r_max + err + self.eps * (b + 1)
        return float(np.nextafter(x + abs(x) * 4 * _UNIT, np.inf))
