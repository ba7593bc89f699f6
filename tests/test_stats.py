import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as hs

from morvane.stats import PwmNull, _native, bh_qvalues, dwm_pvalue, dwm_threshold, pwm, tables
from morvane.stats.dwm import _window_scores
from morvane.stats.lattice import _Grid, _Lattice
from morvane.stats.tails import _last_within
from morvane.utils import sequences

BACKGROUNDS = {
    "uniform": np.full(4, 0.25),
    "random": np.random.default_rng(7).dirichlet([2.0] * 4),
    "skewed": np.array([0.02, 0.03, 0.45, 0.5]),
}


def all_words(L):
    return np.indices((4,) * L).reshape(L, 4**L).T


def enumerate_scores(M, bg):
    """Every word's score, added column by column from 0.0 as scanning adds it, and its probability."""
    w = all_words(M.shape[1])
    d = np.zeros(len(w))
    p = np.ones(len(w))
    for m in range(M.shape[1]):
        d = d + M[w[:, m], m]
        p = p * bg[w[:, m]]
    return d, p


def true_tail(d, p, s):
    """P(score >= s), adding the words' probabilities from the best score down."""
    order = np.argsort(-d, kind="stable")
    cum = np.concatenate(([0.0], np.cumsum(p[order])))
    return np.minimum(cum[np.searchsorted(-d[order], -np.atleast_1d(s), side="right")], 1.0)


def tied_tail(null, d, p, s):
    """P(score >= s - tau(s)): the words within the null's rounding bound below s tie with s."""
    s = np.atleast_1d(np.asarray(s, dtype=np.float64))
    return true_tail(d, p, s - null._err(s))


def symmetric(M):
    """M made equal to its own reverse complement (rows A, T, C, G: complement swaps 0-1 and 2-3)."""
    M = M.copy()
    L = M.shape[1]
    for j in range(L // 2):
        M[:, L - 1 - j] = M[[1, 0, 3, 2], j]
    if L % 2:
        M[[1, 3], L // 2] = M[[0, 2], L // 2]
    return M


def reverse_complements(words):
    return (words ^ 1)[:, ::-1]  # codes 0-3 are A, T, C, G: complement flips the low bit


def matrix(kind, L, rng):
    if kind == "random":
        return rng.normal(scale=1.5, size=(4, L))
    # few distinct values: many words tie, and sums of the same values in another order differ by an ulp
    values = np.log2([0.1, 0.3, 1.6, 0.8, 1 / 3, 3.0])
    return values[rng.integers(0, len(values), size=(4, L))]


@pytest.fixture(params=["listed", "bound", "both"])
def method(request, monkeypatch):
    """The two ways to a tail: listing its words (every tail of a short motif), the fine lattice's
    bound (every tail too long to list; forced here on short motifs, with a lattice coarse enough
    to leave its bands open), and both at once, met at the listing's lowest score."""
    if request.param != "listed":
        monkeypatch.setattr(pwm, "_ENUM_BUDGET", 0 if request.param == "bound" else 300)
        monkeypatch.setattr(pwm, "_FINE_BINS", 1 << 9)
    return request.param


def assert_tails(null, d, p, s, got, exact=None):
    """got never below the tails at s, and above them only by the words within the fine lattice's
    band below s; exactly the tails where listed (all of them unless `exact` says otherwise)."""
    truth = tied_tail(null, d, p, s)
    listed = null._listable(null._lowered(np.atleast_1d(s))) if exact is None else exact
    np.testing.assert_allclose(got[listed], truth[listed], rtol=1e-9, atol=0)
    assert np.all(got >= truth * (1 - 1e-12)), "a bound must never understate the tail"
    grid = null._grid(pwm._FINE_BINS)
    band = grid.r_max - grid.r_min + 3 * grid.eps
    assert np.all(got <= tied_tail(null, d, p, s - band) * (1 + 1e-9))


@pytest.mark.parametrize("L", [1, 2, 5, 8])
@pytest.mark.parametrize("bg_name", list(BACKGROUNDS))
@pytest.mark.parametrize("kind", ["random", "tied"])
def test_pvalue_equals_enumeration(method, L, bg_name, kind):
    rng = np.random.default_rng(L * 31 + len(bg_name))
    bg = BACKGROUNDS[bg_name]
    M = matrix(kind, L, rng)
    d, p = enumerate_scores(M, bg)
    achievable = np.unique(d)
    queries = np.concatenate([
        achievable[rng.integers(0, achievable.size, 150)],
        achievable[-20:],
        np.nextafter(achievable[rng.integers(0, achievable.size, 30)], -np.inf),
        rng.uniform(d.min() - 1, d.max() + 1, 30),
    ])
    null = PwmNull(M, bg)
    top = null.pvalue(achievable[-5:])  # lists only the top, to be extended by the next call
    got = null.pvalue(queries)
    assert_tails(null, d, p, queries, got, None if method != "listed" else np.ones(queries.size, bool))
    np.testing.assert_array_equal(top, null.pvalue(achievable[-5:]))
    order = np.argsort(queries)
    assert np.all(np.diff(got[order]) <= 0), "p-value must not rise with the score"


@settings(max_examples=60, deadline=None)
@given(L=hs.integers(1, 5), seed=hs.integers(0, 2**32 - 1),
       values=hs.lists(hs.floats(-8, 8, allow_nan=False, width=32), min_size=1, max_size=5),
       p=hs.floats(1e-4, 1.0))
def test_any_small_motif(L, seed, values, p):
    """Matrices built from a few arbitrary values (ties and near-ties), any background."""
    rng = np.random.default_rng(seed)
    M = np.array(values)[rng.integers(0, len(values), size=(4, L))] * rng.choice([1.0, 1 / 3], size=(4, L))
    bg = rng.dirichlet([0.5] * 4)
    bg /= bg.sum()
    d, prob = enumerate_scores(M, bg)
    null = PwmNull(M, bg)
    achievable = np.unique(d)
    tails = tied_tail(null, d, prob, achievable)
    np.testing.assert_allclose(null.pvalue(achievable), tails, rtol=1e-9)
    t = null.threshold(p)
    close = 1e-12  # the reference's own sums round too
    if t == math.inf:
        assert tails[-1] > p * (1 - close)
    else:
        k = int(np.searchsorted(achievable, t))
        assert achievable[k] == t and tails[k] <= p * (1 + close)
        assert k == 0 or tails[k - 1] > p * (1 - close)


@pytest.mark.parametrize("L", [6, 9])
@pytest.mark.parametrize("kind", ["random", "tied"])
def test_reverse_complements_share_their_pvalue(method, L, kind):
    """Under a symmetric matrix a word and its reverse complement have equal exact sums, whose
    doubles may differ in the last bits: their p-values must not."""
    rng = np.random.default_rng(L)
    bg = np.array([0.3, 0.3, 0.2, 0.2])  # A = T, C = G: the same null on both strands
    M = symmetric(matrix(kind, L, rng))
    d, p = enumerate_scores(M, bg)
    words = all_words(L)
    d_rc = d[np.ravel_multi_index(reverse_complements(words).T, (4,) * L)]
    apart = np.flatnonzero(d != d_rc)
    assert apart.size > 0, "no word differs from its reverse complement: the test would prove nothing"
    pick = apart[rng.permutation(apart.size)[:400]]
    pick = np.concatenate([pick, np.argsort(d)[-200:]])  # the far tail too, where hits live
    both = PwmNull(M, bg).pvalue(np.concatenate([d[pick], d_rc[pick]]))  # one call, as a scan makes
    np.testing.assert_array_equal(both[:pick.size], both[pick.size:])


@pytest.mark.parametrize("kind", ["random", "tied"])
def test_real_ties_share_their_pvalue(kind):
    """Words whose exactly rounded sums (fsum) are equal get one p-value, whatever their doubles."""
    rng = np.random.default_rng(11)
    L = 6
    M = matrix(kind, L, rng)
    bg = BACKGROUNDS["random"]
    d, p = enumerate_scores(M, bg)
    words = all_words(L)
    exact = np.array([math.fsum(M[w, np.arange(L)].tolist()) for w in words])
    pv = PwmNull(M, bg).pvalue(d)
    _, group = np.unique(exact, return_inverse=True)
    spread = np.zeros(group.max() + 1)
    np.maximum.at(spread, group, pv)
    low = np.full(group.max() + 1, np.inf)
    np.minimum.at(low, group, pv)
    assert np.array_equal(spread, low)
    if kind == "tied":
        assert np.unique(d).size > np.unique(exact).size, "no real tie split by rounding"


def test_pvalue_extremes_and_shapes():
    M = np.random.default_rng(1).normal(size=(5, 6))  # a fifth (N) row is ignored
    null = PwmNull(M, BACKGROUNDS["random"])
    top = null.max_score
    assert null.pvalue(np.nextafter(top, np.inf)) == 0.0
    assert null.pvalue(1e300) == 0.0
    assert null.pvalue(null.min_score) == 1.0
    assert null.pvalue(-np.inf) == 1.0
    assert math.isnan(null.pvalue(np.nan))
    assert isinstance(null.pvalue(0.5), float)
    d, p = enumerate_scores(M[:4], BACKGROUNDS["random"])
    assert null.pvalue(top) == pytest.approx(tied_tail(null, d, p, top)[0], rel=1e-12) and top == d.max()
    grid = np.array([[np.nan, top], [0.0, null.min_score - 1]])
    out = null.pvalue(grid)
    assert out.shape == (2, 2) and math.isnan(out[0, 0]) and out[1, 1] == 1.0


@pytest.mark.parametrize("L", [3, 7])
@pytest.mark.parametrize("bg_name", ["uniform", "skewed"])
@pytest.mark.parametrize("pv", [1e-4, 1e-3, 0.02, 0.3, 1.0])
@pytest.mark.parametrize("kind", ["random", "tied"])
def test_threshold_is_the_boundary(method, L, bg_name, pv, kind):
    rng = np.random.default_rng(L + int(pv * 1e4))
    bg = BACKGROUNDS[bg_name]
    M = matrix(kind, L, rng)
    if kind == "tied":
        M = symmetric(M)  # many ties of a word with its reverse complement, an ulp apart
    d, p = enumerate_scores(M, bg)
    achievable = np.unique(d)
    null = PwmNull(M, bg)
    tails = null.pvalue(achievable)
    t = null.threshold(pv)
    # a hit exactly when its p-value is within the cut-off
    np.testing.assert_array_equal(achievable >= t, tails <= pv)
    if method == "listed":
        assert t == math.inf or t in achievable
        np.testing.assert_allclose(tails, tied_tail(null, d, p, achievable), rtol=1e-9)
    if t != math.inf and t not in achievable:  # a score the bound proves: the lowest double within pv
        assert null.pvalue(t) <= pv < null.pvalue(np.nextafter(t, -np.inf))


def test_threshold_long_motif_bounds_its_pvalue():
    rng = np.random.default_rng(30)
    null = PwmNull(rng.normal(scale=2, size=(4, 30)), BACKGROUNDS["random"])
    for pv in (1e-4, 1e-5, 1e-6):
        t = null.threshold(pv)
        assert null.min_score < t < null.max_score
        assert null.pvalue(t) <= pv
        # within the lattice's resolution of the exact threshold: just below, the tail exceeds pv
        step = null._lattice(pwm._COARSE_BINS).eps
        assert null.pvalue(t - (null.width + 2) * step) > pv
        assert null.threshold(pv) == t


def test_bound_when_the_tail_is_too_long_to_list(monkeypatch):
    """Past the listed tail, the fine lattice's upper end: one function of the score, the same
    double whatever else is asked with it and whichever score the lattice was first kept from."""
    monkeypatch.setattr(pwm, "_ENUM_BUDGET", 50)
    monkeypatch.setattr(pwm, "_FINE_BINS", 1 << 9)
    rng = np.random.default_rng(5)
    bg = BACKGROUNDS["random"]
    M = matrix("random", 8, rng)
    d, p = enumerate_scores(M, bg)
    null = PwmNull(M, bg)
    queries = np.unique(np.concatenate([d[rng.integers(0, d.size, 200)], np.unique(d)[-30:]]))
    got = null.pvalue(queries)
    exact = null._listable(null._lowered(queries))
    assert exact.any() and not exact.all()
    assert_tails(null, d, p, queries, got)
    assert np.all(np.diff(got) <= 0)
    grid = _Grid(M, pwm._FINE_BINS)
    # residuals spread about half a step a column, not a whole one: the bracket is that much narrower
    assert grid.r_max - grid.r_min < 0.75 * M.shape[1] * grid.eps
    # and the sums in that band count their words in part (Chernoff), not whole: a share of the excess
    x, truth = null._lowered(queries), tied_tail(null, d, p, queries)
    whole = _Lattice(M, bg, pwm._FINE_BINS).upper(x, null._err(x))
    assert np.all(got <= whole * (1 + 1e-12))
    assert (got - truth)[~exact].sum() < 0.4 * (whole - truth)[~exact].sum()
    high_first = PwmNull(M, bg)
    high_first.pvalue(queries[-40:])
    np.testing.assert_array_equal([high_first.pvalue(q) for q in queries[::-1]], got[::-1])


@pytest.mark.parametrize("L", [4, 8])
@pytest.mark.parametrize("fpr", [1e-3, 1e-2])
def test_agrees_with_biopython_threshold(L, fpr):
    matrices = pytest.importorskip("Bio.motifs.matrix")
    rng = np.random.default_rng(L)
    bg = BACKGROUNDS["random"]
    M = rng.normal(size=(4, L))
    # Biopython's rows are A, C, G, T; ours A, T, C, G
    pssm = matrices.PositionSpecificScoringMatrix(
        "ACGT", {b: M[row].tolist() for b, row in zip("ACGT", (0, 2, 3, 1))})
    dist = pssm.distribution(background=dict(zip("ATCG", bg.tolist())), precision=10**3)
    t_bio = dist.threshold_fpr(fpr)
    # every column is rounded to the nearest step: a word's binned score is within L/2 steps of its own
    slack = L * dist.step / 2 + 1e-9
    null = PwmNull(M, bg)
    t = null.threshold(fpr)
    low, high = t_bio - slack, t_bio + dist.step + slack
    assert null.pvalue(low) >= fpr
    assert null.pvalue(high) < fpr
    assert low <= t
    # above `high` only when no word scores in between: then both have the same tail
    assert t <= high or null.pvalue(t) == pytest.approx(null.pvalue(high), rel=1e-12)


@pytest.mark.parametrize("pv", [0.0, -0.1, 1.0000001, 2, np.nan, np.inf])
def test_bad_pvalue(pv):
    null = PwmNull(np.ones((4, 3)), BACKGROUNDS["uniform"])
    with pytest.raises(ValueError, match="pvalue"):
        null.threshold(pv)


@pytest.mark.parametrize("M", [np.zeros((3, 4)), np.zeros(4), np.full((4, 2), np.inf), np.zeros((4, 0)),
                               np.full((4, 3), 1e308), np.full((4, 2), -1e300), np.zeros((4, pwm.MAX_WIDTH + 1))])
def test_bad_matrix(M):
    with pytest.raises(ValueError, match="log_odds"):
        PwmNull(M, BACKGROUNDS["uniform"])


def two_valued(L, bg, rng):
    """A matrix whose columns give two bases one value and two another: its 2**L patterns are every
    word's score (added column by column, as scanning adds them) and their probabilities."""
    M = np.empty((4, L))
    d, p = np.zeros(1), np.ones(1)
    for m in range(L):
        v, first = rng.normal(scale=1.5, size=2), rng.permutation(4)[:2]
        M[:, m] = v[1]
        M[first, m] = v[0]
        q = bg[first].sum()
        d = np.concatenate([d + v[0], d + v[1]])
        p = np.concatenate([p * q, p * (1.0 - q)])
    return M, d, p


@pytest.mark.parametrize("L", [17, 20])
@pytest.mark.parametrize("bg_name", ["uniform", "skewed"])
def test_hits_agree_with_enumeration_past_width_16(L, bg_name):
    """Every word near the cut-off, at widths no halves can pair: a word is a hit exactly when its
    p-value is within the cut-off, and no p-value is below the exact tail."""
    rng = np.random.default_rng(L)
    bg = BACKGROUNDS[bg_name]
    M, d, p = two_valued(L, bg, rng)
    null = PwmNull(M, bg)
    for pv in (1e-2, 1e-3, 1e-4, 1e-6):
        t = null.threshold(pv)
        near = np.unique(d[np.abs(d - t) < 2.0])
        got = null.pvalue(near)
        np.testing.assert_array_equal(near >= t, got <= pv)
        assert_tails(null, d, p, near, got)


def degenerate(kind, rng):
    if kind == "ties":  # every column the same four values
        return np.tile(np.log2([0.1, 0.3, 1.6, 0.8])[:, None], (1, 20))
    if kind == "scaled column":
        M = rng.normal(size=(4, 20))
        M[:, 7] *= 1e6
        return M
    if kind == "near-zero probabilities":  # one base of probability 1, three of 1e-300
        M = np.full((4, 30), np.log2(4e-300))
        M[rng.integers(0, 4, 30), np.arange(30)] = 2.0
        return M
    if kind == "uniform columns":
        M = np.zeros((4, 40))
        M[:, ::9] = rng.normal(size=(4, 5))
        return M
    if kind == "flat":
        return np.zeros((4, 24))
    return rng.normal(scale=2.0, size=(4, 40))


@pytest.mark.parametrize("kind", ["ties", "scaled column", "near-zero probabilities", "uniform columns", "flat",
                                  "width 40"])
def test_degenerate_matrices_finish_and_agree(kind):
    """Words drawn from tilted backgrounds reach scores around every threshold: each is a hit exactly
    when its p-value is within the cut-off."""
    rng = np.random.default_rng(2)
    M = degenerate(kind, rng)
    bg = BACKGROUNDS["random"]
    null = PwmNull(M, bg)
    scores = []
    for tilt in (0.0, 0.3, 1.0, 3.0):
        w = bg[:, None] * np.exp(tilt * (M - M.max(axis=0)))
        w /= w.sum(axis=0)
        words = np.array([rng.choice(4, 3000, p=w[:, m]) for m in range(M.shape[1])])
        d = np.zeros(3000)
        for m in range(M.shape[1]):
            d = d + M[words[m], m]
        scores.append(d)
    s = np.unique(np.concatenate(scores))
    got = null.pvalue(s)
    assert np.all((got >= 0) & (got <= 1)) and np.all(np.diff(got) <= 0)
    for pv in (1e-2, 1e-4, 1e-12):
        t = null.threshold(pv)
        np.testing.assert_array_equal(s >= t, got <= pv)
        if kind == "flat":
            assert t == math.inf and got.tolist() == [1.0]


@pytest.mark.parametrize("L", [12, 30])
def test_scan_decisions_are_those_of_single_pvalues(L):
    """The p-value of a score is the same double asked alone or among 20,000 others, from a null
    prepared from a scan's threshold or fresh: the decision never depends on the call."""
    rng = np.random.default_rng(L)
    M, bg = rng.normal(scale=1.5, size=(4, L)), BACKGROUNDS["skewed"]
    t = PwmNull(M, bg).threshold(1e-2)
    many = np.unique(rng.uniform(t, t + 6.0, 20000))
    prepared = PwmNull(M, bg)
    prepared.prepare(t)
    got = prepared.pvalue(many)
    fresh = PwmNull(M, bg)
    pick = rng.choice(many.size, 40)
    np.testing.assert_array_equal([fresh.pvalue(x) for x in many[pick]], got[pick])
    np.testing.assert_array_equal(got <= 1e-2, many >= fresh.threshold(1e-2))


# ----------------------------------------------------------------------------- q-values


def bh_rejections(p, n, alpha):
    """The step-up procedure: reject the k smallest, k the largest rank with p_(k) <= k alpha / n."""
    order = np.argsort(p)
    ok = np.flatnonzero(p[order] <= np.arange(1, p.size + 1) * alpha / n)
    rejected = np.zeros(p.size, bool)
    if ok.size:
        rejected[order[: ok[-1] + 1]] = True
    return rejected


@pytest.mark.parametrize("seed", range(4))
def test_qvalues_reproduce_the_step_up_procedure(seed):
    rng = np.random.default_rng(seed)
    p = np.concatenate([rng.uniform(size=300), rng.uniform(0, 1e-3, 40), [1e-3] * 5])
    q = bh_qvalues(p, p.size)
    for alpha in (0.001, 0.01, 0.05, 0.2):
        np.testing.assert_array_equal(q <= alpha, bh_rejections(p, p.size, alpha))
    assert np.all(q >= p * (1 - 1e-12)) and np.all(q <= 1)
    # reporting only the smallest ones among more tests: never below the full BH q-values
    hits = np.argsort(p)[:60]
    q_hits = bh_qvalues(p[hits], p.size)
    assert np.all(q_hits >= q[hits])
    assert np.sum(q_hits > q[hits]) < hits.size  # not a uniform inflation


def test_qvalues_nan_and_bad_count():
    q = bh_qvalues([0.01, np.nan, 0.02], 10)
    assert math.isnan(q[1]) and q[0] == q[2] == pytest.approx(0.1)
    with pytest.raises(ValueError, match="n_tests"):
        bh_qvalues([0.1, 0.2, 0.3], 2)


@pytest.mark.parametrize("bad", [-1e-9, 1.0000001, np.inf, -np.inf])
def test_qvalues_refuse_pvalues_outside_0_1(bad):
    with pytest.raises(ValueError, match=r"\[0, 1\]"):
        bh_qvalues([0.01, bad, 0.02], 10)


# ----------------------------------------------------------------------------- DWM tails


def prepared_dwm(L, seed=3):
    rng = np.random.default_rng(seed)
    sites = rng.integers(0, 4, size=(60, L))
    sites[:, 1] = 0
    sites[:30, 3 % L] = 2  # a pair of positions that vary together
    sites[:30, 4 % L] = 1
    dwm = sequences.DiNucleotideMatrix(L)
    for site in sites:
        dwm.add_sequence(site.astype(np.int64))
    dwm.prepare_mat()
    return dwm


@pytest.fixture(scope="module")
def dwm_truth():
    L = 6
    dwm = prepared_dwm(L)
    words = all_words(L)
    bg = BACKGROUNDS["skewed"]
    x = _window_scores(dwm, words)
    return dwm, bg, x, np.prod(bg[words], axis=1)


def test_windows_are_scored_by_scanning(dwm_truth):
    dwm, _, x, _ = dwm_truth
    words = all_words(6)
    for i in (0, 1, 777, 4095):
        assert x[i] == dwm.score_sequence(words[i].astype(np.int64))[3]


def test_dwm_interval_covers_the_truth(dwm_truth):
    dwm, bg, x, prob = dwm_truth
    scores = np.quantile(x, [0.1, 0.5, 0.9, 0.99, 0.999])
    truth = true_tail(x, prob, scores)
    covered = []
    for seed in range(12):
        est = dwm_pvalue(dwm, bg, scores, n=20_000, seed=seed, exact=False)
        assert np.all(est.low <= est.value) and np.all(est.value <= est.high) and est.n == 20_000
        assert np.all(np.diff(est.value) <= 0)
        covered += ((est.low <= truth) & (truth <= est.high)).tolist()
    assert np.mean(covered) >= 0.85  # 95% intervals


def test_dwm_importance_sampling_against_plain_and_truth(dwm_truth):
    dwm, bg, x, prob = dwm_truth
    order = np.argsort(-x)

    def tail_at(pv):
        return x[order][np.searchsorted(np.cumsum(prob[order]), pv)]

    # a tail of about 1e-4: plain sampling sees tens of windows in 300000, weighted sampling needs
    # 3000 (where plain sampling would see fewer than 10 and hands over to it)
    s = tail_at(1e-4)
    truth = true_tail(x, prob, s)[0]
    plain = [dwm_pvalue(dwm, bg, s, n=300_000, seed=seed, exact=False) for seed in range(3)]
    weighted = [dwm_pvalue(dwm, bg, s, n=3_000, seed=seed, exact=False) for seed in range(10)]
    assert sum(e.low <= truth <= e.high for e in plain) >= 2
    assert sum(e.low <= truth <= e.high for e in weighted) >= 8
    mean = np.mean([e.value for e in weighted])
    assert min(e.low for e in plain) <= mean <= max(e.high for e in plain)
    assert np.mean([e.high - e.low for e in weighted]) < 2 * np.mean([e.high - e.low for e in plain])
    # a tail far below 1/n: only the weighted estimate can reach it
    tiny = tail_at(2e-6)
    truth = true_tail(x, prob, tiny)[0]
    est = [dwm_pvalue(dwm, bg, tiny, n=20_000, seed=seed, exact=False) for seed in range(5)]
    assert truth < 1 / 20_001 and all(e.value < 1 / 20_001 for e in est)
    assert sum(e.low <= truth <= e.high for e in est) >= 4


def test_dwm_plain_floor_and_reproducibility(dwm_truth):
    dwm, bg, x, _ = dwm_truth
    uniform_proposal = np.full((4, 6), 0.25)
    above = dwm_pvalue(dwm, BACKGROUNDS["uniform"], x.max() + 1, n=1000, proposal=uniform_proposal, exact=False)
    assert above.value == pytest.approx(1 / 1001)  # uniform proposal = the background: unit weights
    a = dwm_pvalue(dwm, bg, [0.0, 1.0], n=3000, seed=5, exact=False)
    b = dwm_pvalue(dwm, bg, [0.0, 1.0], n=3000, seed=5, exact=False)
    c = dwm_pvalue(dwm, bg, [0.0, 1.0], n=3000, seed=6, exact=False)
    np.testing.assert_array_equal(a.value, b.value)
    assert not np.array_equal(a.value, c.value)
    assert math.isnan(dwm_pvalue(dwm, bg, np.nan, n=100, exact=False).value)


@pytest.mark.parametrize("pv,n", [(1e-2, 50_000), (1e-3, 50_000), (1e-5, 5_000)])
def test_dwm_threshold_interval_holds_the_exact_one(dwm_truth, pv, n):
    dwm, bg, x, prob = dwm_truth
    achievable = np.unique(x)
    exact = achievable[true_tail(x, prob, achievable) <= pv].min()
    est = dwm_threshold(dwm, bg, pv, n=n, exact=False)
    assert est.low <= exact <= est.high and est.low <= est.value <= est.high
    # the threshold of the reported p-values: at it within the cut-off, just below it not
    assert dwm_pvalue(dwm, bg, est.value, n=n, exact=False).value <= pv
    assert dwm_pvalue(dwm, bg, np.nextafter(est.value, -np.inf), n=n, exact=False).value > pv


@pytest.mark.parametrize("exact", [False, True])
def test_dwm_pvalues_are_one_function_of_the_score(dwm_truth, exact):
    """A score's p-value is the same double whatever else one call asks (a scan asks chunk by
    chunk), and p-values fall as scores rise, across the plain and the weighted estimates."""
    dwm, bg, x, _ = dwm_truth
    scores = np.concatenate([np.quantile(x, [0.5, 0.99, 0.999]), np.sort(x)[-40:], [x.max() + 1, -np.inf]])
    together = dwm_pvalue(dwm, bg, scores, n=5_000, seed=2, exact=exact).value
    alone = [dwm_pvalue(dwm, bg, v, n=5_000, seed=2, exact=exact).value for v in scores[::-1]][::-1]
    halves = [dwm_pvalue(dwm, bg, part, n=5_000, seed=2, exact=exact).value for part in (scores[1::2], scores[::2])]
    np.testing.assert_array_equal(together, alone)
    np.testing.assert_array_equal(together[1::2], halves[0])
    np.testing.assert_array_equal(together[::2], halves[1])
    order = np.argsort(scores)
    assert np.all(np.diff(together[order]) <= 0) and together[-1] == 1.0


@pytest.mark.parametrize("call", [
    lambda d: dwm_threshold(d, BACKGROUNDS["uniform"], 0.0, exact=False),
    lambda d: dwm_threshold(d, BACKGROUNDS["uniform"], 1.5, exact=False),
    lambda d: dwm_pvalue(d, BACKGROUNDS["uniform"], 1.0, n=0, exact=False),
    lambda d: dwm_pvalue(d, BACKGROUNDS["uniform"], 1e9, n=10, proposal=np.zeros((4, 6)), exact=False),
])
def test_dwm_bad_input(dwm_truth, call):
    with pytest.raises(ValueError):
        call(dwm_truth[0])


# ------------------------------------------------------- native lattice kernels


def numpy_bracket(Q, bg, reach, b_lo, b_hi, tilt=None):
    """The pruned recursion over lattice sums, written with NumPy arrays: (base, prob, words, above);
    words weighted by tilt[base, column] where given."""
    base, dist, above = 0, np.ones((2, 1)), 0.0
    for m in range(Q.shape[1]):
        q = Q[:, m]
        weights = np.stack([bg, np.ones(4) if tilt is None else tilt[:, m]])
        new = np.zeros((2, dist.shape[1] + int(q.max())))
        for c in range(4):
            new[:, q[c]:q[c] + dist.shape[1]] += dist * weights[:, c:c + 1]
        keep_lo = max(base, b_lo - int(reach[m + 1]))
        keep_hi = max(min(base + new.shape[1], b_hi), keep_lo)
        above += float(new[0, keep_hi - base:].sum())
        dist, base = new[:, keep_lo - base:keep_hi - base], keep_lo
    return base, dist[0], dist[1], above


def lattice_case(seed, L, bins):
    rng = np.random.default_rng(seed)
    M = np.ascontiguousarray(matrix("random" if seed % 2 else "tied", L, rng))
    bg = BACKGROUNDS[list(BACKGROUNDS)[seed % 3]]
    grid = _Grid(M, bins)
    return rng, M, bg, grid


@pytest.mark.parametrize("L", [1, 3, 7])
@pytest.mark.parametrize("bins", [64, 5000])
@given(seed=hs.integers(0, 10**6), cut=hs.tuples(hs.floats(-0.2, 1.2), hs.floats(-0.2, 1.2)))
@settings(max_examples=25, deadline=None)
def test_native_bracket_is_the_numpy_recursion(L, bins, seed, cut):
    """Same doubles as the recursion in NumPy, bands below, inside, across and past the lattice,
    the words counted or tilted per base and column."""
    rng, _, bg, grid = lattice_case(seed, L, bins)
    top = int(grid.suffix_max[0])
    b_lo, b_hi = sorted(int(round(c * top)) for c in cut)
    base, prob, words, above, cells = _native.lattice_bracket(grid.Q, bg, grid.suffix_max, b_lo, b_hi)
    want = numpy_bracket(grid.Q, bg, grid.suffix_max, b_lo, b_hi)
    assert base == want[0] and above == want[3]
    np.testing.assert_array_equal(prob, want[1])
    np.testing.assert_array_equal(words, want[2])
    assert cells >= top
    tilt = grid.tilt(bg, rng.uniform(0, 3) / grid.eps) * rng.uniform(0.5, 2, size=(4, L))
    tilted = _native.lattice_bracket(grid.Q, bg, grid.suffix_max, b_lo, b_hi, False, tilt)
    want = numpy_bracket(grid.Q, bg, grid.suffix_max, b_lo, b_hi, tilt)
    np.testing.assert_array_equal(tilted[1], want[1])
    np.testing.assert_array_equal(tilted[2], want[2])


@given(m=hs.integers(0, 40), pad=hs.integers(0, 5), cut=hs.floats(0, 1), seed=hs.integers(0, 10**6))
@settings(max_examples=60, deadline=None)
def test_fine_table_is_the_tails_and_ratios_rounded_up(m, pad, cut, seed):
    """The tails from each sum on summed from the top, as NumPy's cumsum; each ratio the double one
    rounded up to single precision, 1 where the tilted weight may have lost digits or no word lies."""
    rng = np.random.default_rng(seed)
    prob = rng.choice([0.0, 1e-30, 0.1, 0.25], size=m) * rng.uniform(0.5, 1, size=m)
    tilt = prob * rng.choice([0.0, 1e-290, 0.3, 1.0, 1e300], size=m)
    n = int(round(cut * (pad + m)))
    tails, ratio = _native.fine_table(prob, tilt, pad, n)
    full = np.concatenate((np.zeros(pad), prob))
    want = np.append(np.cumsum(full[::-1])[::-1], 0.0)[:n + 1]
    np.testing.assert_array_equal(tails, want)
    t, p = np.concatenate((np.zeros(pad), tilt))[:n], full[:n]
    with np.errstate(divide="ignore", invalid="ignore"):
        exact = np.minimum(np.where((t >= 2.0**-1000) & (p > 0), t / p, 1.0), 1.0)
    assert ratio.dtype == np.float32 and np.all(ratio >= exact)
    assert np.all(np.nextafter(ratio, np.float32(0)) < exact)
    with pytest.raises(ValueError, match="pad"):
        _native.fine_table(prob, tilt, pad, pad + m + 1)


@pytest.mark.parametrize("L", [1, 4, 6])
@given(seed=hs.integers(0, 10**6), cut=hs.tuples(hs.floats(-0.2, 1.2), hs.floats(-0.2, 1.2)))
@settings(max_examples=25, deadline=None)
def test_native_listing_is_every_word_in_the_band(L, seed, cut):
    _, M, bg, grid = lattice_case(seed, L, 200)
    top = int(grid.suffix_max[0])
    lo, hi = sorted(int(round(c * top)) for c in cut)
    words = all_words(L)
    I = grid.Q[words, np.arange(L)].sum(axis=1)
    d, p = enumerate_scores(M, bg)
    inside = (I >= lo) & (I < hi)  # all_words is in lexicographic order, as the listing is
    listed, work = _native.lattice_words(grid.Q, M, bg, grid.suffix_max, lo, hi, 4**L, 0, 4**(L + 1))
    np.testing.assert_array_equal(listed[0], d[inside])
    np.testing.assert_array_equal(listed[1], p[inside])
    np.testing.assert_array_equal(listed[2], I[inside])
    assert work >= inside.sum()
    if inside.sum() > 1:  # limits give up, and still count what they went through
        over, counted = _native.lattice_words(grid.Q, M, bg, grid.suffix_max, lo, hi, inside.sum() - 1, 5, 4**L)
        assert over is None and counted > 5


@given(x=hs.lists(hs.sampled_from([0.0, -0.0, 1.5, -1.5, 1e-300, -2.0**60, 3.25, math.inf, -math.inf]), max_size=60)
       | hs.lists(hs.floats(allow_nan=False), max_size=60))
def test_best_first_is_a_stable_descending_sort(x):
    x = np.array(x, dtype=np.float64)
    p = np.random.default_rng(x.size).random(x.size) * 10.0 ** -np.arange(x.size)  # sums that round
    order = np.argsort(-x, kind="stable")
    d, cum = _native.best_first(x, p)
    np.testing.assert_array_equal(d, x[order])
    # running sums correctly rounded, as the tails of listed words are
    np.testing.assert_array_equal(cum, [math.fsum(p[order][:k + 1]) for k in range(x.size)])


@pytest.mark.parametrize("L", [1, 4, 6])
@given(seed=hs.integers(0, 10**6), cut=hs.floats(-0.2, 1.2), n=hs.integers(0, 40))
@settings(max_examples=25, deadline=None)
def test_native_tails_are_correctly_rounded(L, seed, cut, n):
    """Scores drawn among the words' own (exact ties), between them, clustered and spread: each tail
    is the correctly rounded sum of its words' probabilities, whatever the other scores asked for."""
    rng, M, bg, grid = lattice_case(seed, L, 200)
    lo = int(round(cut * int(grid.suffix_max[0])))
    I = grid.Q[all_words(L), np.arange(L)].sum(axis=1)
    d, p = enumerate_scores(M, bg)
    d, p = d[I >= lo], p[I >= lo]
    x = np.unique(np.concatenate([rng.choice(d, n) if d.size else [], rng.uniform(-3, 3, n) ** 3]))
    want = [math.fsum(p[d >= v]) for v in x]
    got = _native.lattice_tails(grid.Q, M, bg, grid.suffix_max, lo, x)
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(_native.lattice_tails(grid.Q, M, bg, grid.suffix_max, lo, x[::3]), got[::3])
    with pytest.raises(ValueError, match="strictly ascending"):
        _native.lattice_tails(grid.Q, M, bg, grid.suffix_max, lo, np.array([1.0, 1.0]))


def no_listing_or_recursion(monkeypatch):
    def fail(*args):
        raise AssertionError("a prepared null made its tables again")
    for name in ("lattice_tails", "lattice_words", "lattice_bracket"):
        monkeypatch.setattr(_native, name, fail)


@pytest.mark.parametrize("L", [5, 9, 15, 20])
def test_prepared_tails_are_the_same_doubles(L, monkeypatch):
    """A scan prepares a null from its threshold while it scans; p-values read off what it prepared
    (a chunk's hit scores: unsorted, some repeated, a few beyond the best) are those a fresh null
    gives, bit for bit, with no word listed and no recursion run again, and it never changes them."""
    rng = np.random.default_rng(L)
    M, bg = rng.normal(size=(4, L)), BACKGROUNDS["random"]
    fresh, prepared = PwmNull(M, bg), PwmNull(M, bg)
    t = fresh.threshold(1e-3)
    prepared.prepare(t)
    s = np.concatenate([[t, prepared.max_score, np.inf], rng.uniform(t, prepared.max_score, 300)])
    s = rng.permutation(np.concatenate([s, s[:40]]))
    want, half = fresh.pvalue(s), fresh.pvalue(s[::2])
    no_listing_or_recursion(monkeypatch)
    np.testing.assert_array_equal(prepared.pvalue(s), want)
    np.testing.assert_array_equal(prepared.pvalue(s[::2]), half)
    for out_of_range in (np.inf, prepared.max_score + 1.0, prepared.min_score):
        prepared.prepare(out_of_range)  # nothing to do, and no warning


def test_a_chunk_read_off_in_one_pass_is_each_motif_asked_alone():
    """A chunk's hits (packed records, motifs interleaved) read off every motif's kept tables in
    one native pass get, bit for bit, the p-values each motif gives alone; what the tables do not
    serve (a motif with none, scores below what was prepared, NaN) comes back NaN, never a guess."""
    rng = np.random.default_rng(5)
    nulls = [PwmNull(rng.normal(size=(4, L)), BACKGROUNDS["random"]) for L in (5, 12, 15, 20, 28, 9)]
    cuts = [null.threshold(1e-3) for null in nulls]
    for null, t in zip(nulls[:-1], cuts):
        null.prepare(t)
    nulls[-1]._drop_tables()
    fresh = [PwmNull(null._M, null._bg) for null in nulls]
    records = np.zeros(6000, np.dtype({"names": ["motif", "score"], "formats": ["<i4", "<f8"], "offsets": [1, 6],
                                       "itemsize": 15}))
    records["motif"] = rng.integers(0, len(nulls), records.size)
    lows, tops = np.array(cuts)[records["motif"]], np.array([n.max_score for n in nulls])[records["motif"]]
    records["score"] = rng.uniform(lows, tops)
    records["score"][:60] = np.repeat([np.nan, np.inf, -np.inf, 1e300, -1e300, 0.0], 10)
    records["score"][60:120] = tops[60:120]
    records["score"][120:400] -= 3.0                    # some below the prepared tables
    got = _native.read_off(records["motif"], records["score"], [n.kept_tables() for n in nulls])
    want = np.empty(records.size)
    for k, rows in enumerate(np.flatnonzero(records["motif"] == k) for k in range(len(nulls))):
        want[rows] = fresh[k].pvalue(records["score"][rows])
    served = ~np.isnan(got)
    np.testing.assert_array_equal(got[served], want[served])
    above = (records["score"] >= lows) & (records["motif"] < len(nulls) - 1)
    assert served[above].all() and not served[records["motif"] == len(nulls) - 1].any()
    assert not served[:10].any() and not served[120:400].all()
    with pytest.raises(ValueError, match="has no table"):
        _native.read_off(records["motif"], records["score"], [None])
    with pytest.raises(TypeError, match="kept tables"):
        _native.read_off(records["motif"], records["score"], [(1.0,)] * len(nulls))
    kept = nulls[4].kept_tables()          # a bounded one: both tables
    for at, bad, message in [(10, 0.0, "not positive"), (17, 1e-300, None), (8, np.inf, "not finite"),
                             (0, np.nan, "not finite")]:
        tables_ = [kept[:at] + (bad,) + kept[at + 1:]]
        if message is None:   # steps too fine for any integer: every lookup clamped, none out of bounds
            assert _native.read_off(None, records["score"][:100], tables_).shape == (100,)
        else:
            with pytest.raises(ValueError, match=message):
                _native.read_off(None, records["score"], tables_)


@given(d=hs.lists(hs.sampled_from([3.0, 2.5, 2.5, 1.0, 0.0, -0.0, -1.0]), min_size=1, max_size=30),
       p=hs.floats(0.0, 1.2))
def test_last_within_is_the_last_score_whose_tail_with_ties_fits(d, p):
    d = -np.sort(-np.array(d))
    cum = np.cumsum(np.full(d.size, 0.05))
    tails = np.array([cum[np.flatnonzero(d >= x)[-1]] for x in d])  # a score's tail holds its ties
    fits = np.flatnonzero(tails <= p)
    assert _last_within(d, cum, p) == (fits[-1] if fits.size else -1)


def test_tables_share_a_bounded_room(monkeypatch):
    """Nulls that find the room shared by all full give their tables back, and make them again
    when asked: the same p-values, bit for bit."""
    monkeypatch.setattr(tables, "_TABLES", tables._Budget(1 << 16))  # a room of its own
    rng = np.random.default_rng(8)
    nulls = [PwmNull(rng.normal(size=(4, 18)), BACKGROUNDS["random"]) for _ in range(3)]
    scores = [np.sort(rng.uniform(n.threshold(1e-3), n.max_score, 50)) for n in nulls]
    first = [n.pvalue(s) for n, s in zip(nulls, scores)]
    assert nulls[0]._table_bytes() > 1 << 16  # alone in the room, it keeps its tables even past it
    assert all(n._table_bytes() == 0 for n in nulls[1:])
    for n, s, want in zip(nulls, scores, first):
        np.testing.assert_array_equal(n.pvalue(s), want)


@pytest.mark.parametrize("call", ["lattice_tails", "lattice_bracket"])
def test_native_statistics_answer_ctrl_c(call):
    """Each recursion here would run for hours: Ctrl-C (SIGINT, a second in) must end it with
    KeyboardInterrupt, as it ends Python code. (Listing words goes through the visit the tails
    take, without the room a listing of that many words would fill.)"""
    import os
    import signal
    import threading

    rng = np.random.default_rng(0)
    M, bg = rng.normal(size=(4, 24)), BACKGROUNDS["uniform"]
    grid = _Grid(M, 1 << (26 if call == "lattice_bracket" else 12))
    calls = {
        "lattice_tails": lambda: _native.lattice_tails(grid.Q, M, bg, grid.suffix_max, 0, np.array([0.0])),
        "lattice_bracket": lambda: _native.lattice_bracket(grid.Q, bg, grid.suffix_max, 0, np.iinfo(np.int64).max),
    }
    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            calls[call]()
    finally:
        timer.cancel()


def test_nulls_asked_in_turn_keep_the_tables_that_fit(monkeypatch):
    """A scan asks every motif in turn, chunk after chunk: the nulls that fit in the room keep their
    tables round after round (giving back the least recent first would leave none)."""
    rng = np.random.default_rng(9)
    nulls = [PwmNull(rng.normal(size=(4, 18)), BACKGROUNDS["random"]) for _ in range(4)]
    scores = [np.sort(rng.uniform(n.threshold(1e-3), n.max_score, 50)) for n in nulls]
    alone = [PwmNull(n._M, n._bg) for n in nulls]
    for n, s in zip(alone, scores):  # what each keeps once asked twice, with room for all
        n.threshold(1e-3), n.pvalue(s), n.pvalue(s)
    full = [n._table_bytes() for n in alone]
    del alone
    room = int(2.5 * max(full))
    monkeypatch.setattr(tables, "_TABLES", tables._Budget(room))
    for _ in range(2):
        for n, s in zip(nulls, scores):
            n.pvalue(s)
    held = [n._table_bytes() for n in nulls]
    assert held[:2] == full[:2] and sum(held) <= room and held[2:] != full[2:]


def test_a_null_asked_again_and_again_keeps_its_listed_words(monkeypatch):
    """Asked chunk after chunk with no scan's prepare (a caller of Motif.pvalue in a loop), a null
    goes through its listed words once, keeps them at the next call and then only reads them
    off: the same doubles as fresh nulls give."""
    rng = np.random.default_rng(12)
    M, bg = rng.normal(size=(4, 12)), BACKGROUNDS["random"]
    null = PwmNull(M, bg)
    t = PwmNull(M, bg).threshold(1e-4)
    chunks = [rng.uniform(t, null.max_score, 100) for _ in range(5)]
    chunks[1][0] = t  # the lowest any later chunk asks
    want = [PwmNull(M, bg).pvalue(c) for c in chunks]
    got = [null.pvalue(c) for c in chunks[:2]]
    no_listing_or_recursion(monkeypatch)
    got += [null.pvalue(c) for c in chunks[2:]]
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


@pytest.mark.parametrize("spill", ["works", "cannot be written", "forked"])
def test_a_null_past_the_room_spills_its_listed_words(spill, monkeypatch, tmp_path):
    """With no room for tables, a null asked chunk after chunk lists its words at its second call
    and spills them; later calls read them back without listing again. A spill that cannot be
    written, or one made by another process, leaves the null going through its words each time.
    The same doubles as fresh nulls give, every way."""
    monkeypatch.setattr(tables, "_TABLES", tables._Budget(0))
    monkeypatch.setattr(tables, "SPILL", tables._Spill())
    monkeypatch.setattr(pwm, "SPILL", tables.SPILL)
    monkeypatch.setattr(tables.tempfile, "tempdir", str(tmp_path))
    if spill == "cannot be written":
        monkeypatch.setattr(tables.tempfile, "TemporaryFile", lambda **_: open(tmp_path, "w+b"))  # a folder
    rng = np.random.default_rng(13)
    M, bg = rng.normal(size=(4, 12)), BACKGROUNDS["random"]
    null = PwmNull(M, bg)
    t = PwmNull(M, bg).threshold(1e-4)
    chunks = [rng.uniform(t, null.max_score, 100) for _ in range(6)]
    chunks[1][0] = t
    want = [PwmNull(M, bg).pvalue(c) for c in chunks]
    got = [null.pvalue(c) for c in chunks[:2]]
    assert null._table_bytes() == 0
    if spill == "forked":
        pid = tables.os.getpid()
        monkeypatch.setattr(tables.os, "getpid", lambda: pid + 1)
    if spill == "works":
        no_listing_or_recursion(monkeypatch)
    got += [null.pvalue(c) for c in chunks[2:]]
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)
    assert (null._spilled is not None) == (spill != "cannot be written")


def test_tables_given_back_are_spilled_and_read_back(monkeypatch, tmp_path):
    """Listed words a null gives back for room are spilled on the way out: asked again, it reads
    them back instead of listing them anew, the same doubles."""
    monkeypatch.setattr(tables, "SPILL", tables._Spill())
    monkeypatch.setattr(pwm, "SPILL", tables.SPILL)
    monkeypatch.setattr(tables.tempfile, "tempdir", str(tmp_path))
    rng = np.random.default_rng(14)
    M, bg = rng.normal(size=(4, 11)), BACKGROUNDS["random"]
    null = PwmNull(M, bg)
    s = rng.uniform(null.threshold(1e-3), null.max_score, 200)
    want = null.pvalue(s)
    assert null._tail_words is not None
    null._drop_tables()
    no_listing_or_recursion(monkeypatch)
    np.testing.assert_array_equal(null.pvalue(s), want)


def test_prepare_all_keeps_first_what_serves_every_hit(monkeypatch):
    """With room for the bounds of bounded motifs but not for all their listed tops, every motif
    keeps its bound and the tops fill what is left, in turn, those past it spilled; p-values are
    the same either way, and read back from the spill nothing is listed again."""
    rng = np.random.default_rng(10)
    nulls = [PwmNull(rng.normal(size=(4, 18)), BACKGROUNDS["random"]) for _ in range(3)]
    lows = [n.threshold(1e-3) for n in nulls]
    scores = [rng.uniform(t, n.max_score, 200) for n, t in zip(nulls, lows)]
    want = [PwmNull(n._M, n._bg).pvalue(s) for n, s in zip(nulls, scores)]
    for n in nulls:
        n._drop_tables()
        n.prepare(lows[0] + 100.0)  # nothing: past the best score
    bounds = sum(sum(a.nbytes for a in PwmNull(n._M, n._bg)._fine(n._lowered(np.array([t]))).arrays())
                 for n, t in zip(nulls, lows))
    monkeypatch.setattr(tables, "_TABLES", tables._Budget(bounds + 20 * (pwm._ENUM_BUDGET + 1)))
    tables.prepare_all(nulls, lows)
    assert all(n._fine_kept is not None for n in nulls)
    assert [n._tail_words is not None for n in nulls] == [True, False, False]
    assert [n._spilled is not None for n in nulls] == [False, True, True]
    no_listing_or_recursion(monkeypatch)
    for n, s, w in zip(nulls, scores, want):
        np.testing.assert_array_equal(_native.read_off(None, s, [n.kept_tables(spilled=True)]), w)
        np.testing.assert_array_equal(n.pvalue(s), w)


def test_too_wide_a_motif_is_refused_by_name(tmp_path):
    """Past the widest motif the statistics serve, p-values and thresholds are refused, naming the
    motif, before a scan writes anything."""
    from morvane import Motif, scan

    rng = np.random.default_rng(1)
    motif = Motif.from_counts(rng.dirichlet([0.4] * 4, size=pwm.MAX_WIDTH + 1).T * 100, id="wide")
    for call in (lambda: motif.threshold(1e-4), lambda: motif.pvalue(1.0)):
        with pytest.raises(ValueError, match=rf"'wide'.*{pwm.MAX_WIDTH + 1} columns.*up to {pwm.MAX_WIDTH}"):
            call()
    genome = tmp_path / "g.fa"
    genome.write_text(">chr1\n" + "".join(rng.choice(list("ACGT"), 500)) + "\n")
    with pytest.raises(ValueError, match="'wide'"):
        scan(str(genome), motif, pvalue=1e-3)


@pytest.mark.parametrize("L, bg_name", [(6, "uniform"), (12, "skewed"), (20, "random"), (40, "uniform")])
def test_lattice_counts_words_where_few_reach(L, bg_name):
    """The coarse lattice counts the words only where at most `count` reach a sum: there its counts
    are those of the whole recursion, elsewhere they say "more"."""
    from morvane.stats.lattice import _Lattice

    M, bg = np.random.default_rng(L).normal(size=(4, L)), BACKGROUNDS[bg_name]
    lat = _Lattice(M, bg, 1 << 12, count=300)
    _, _, words, _, _ = _native.lattice_bracket(lat.Q, bg, lat.suffix_max, 0, lat.top + 1)
    full = np.append(np.cumsum(words[::-1])[::-1], 0.0)
    few = full <= 300
    assert few.sum() > 1
    np.testing.assert_array_equal(lat.counts[few], full[few])
    assert np.all(lat.counts[~few] > 300)
