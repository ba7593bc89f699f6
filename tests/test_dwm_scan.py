"""The native DWM scanner (morvane._scan.Scanner(..., model="dwm")) hit for hit against
DiNucleotideMatrix.score_sequence of the forward codes and of their reverse complement, on every
SIMD level; exact DWM tails against brute force; sampled ones' intervals over seeds."""
import threading

import numpy as np
import pytest

from morvane import _scan
from morvane.motifs import Motif
from morvane.utils import sequences as s

LEVELS = ["base", "avx2", "avx512"]


@pytest.fixture(params=LEVELS)
def level(request):
    got = _scan._force_simd_level(request.param)
    if got != request.param:
        _scan._force_simd_level(None)
        pytest.skip(f"this processor has no {request.param}")
    yield got
    _scan._force_simd_level(None)


def random_sites(rng, L, n=40, noise=0.15):
    consensus = rng.integers(0, 4, L)
    sites = np.where(rng.random((n, L)) < noise, rng.integers(0, 4, (n, L)), consensus)
    # a dependency between two positions, which a PWM cannot hold
    if L >= 4:
        flip = rng.random(n) < 0.5
        sites[flip, 1] = (sites[flip, 1] + 1) % 4
        sites[flip, L - 2] = (sites[flip, L - 2] + 2) % 4
    return ["".join("ATCG"[c] for c in row) for row in sites]


def trained_background(rng, L):
    """A DWM whose background is counted from sequences, not independent bases."""
    m = s.DiNucleotideMatrix(L)
    for site in random_sites(rng, L, 30):
        m.add_sequence(s.nuc_to_num(site))
    for _ in range(25):
        m.add_background(rng.integers(0, 4, L).astype(np.int64))
    m.prepare_mat()
    return m


def module_scores(dwm, codes):
    """Forward and reverse score of every window start, as today's pipeline computed them."""
    L = int(dwm.length)
    forward = np.minimum(codes.astype(np.int64), 4)
    reverse = forward[::-1].copy()
    reverse[reverse < 4] ^= 1
    nw, half = max(len(codes) - L + 1, 0), L // 2
    return dwm.score_sequence(forward)[half:half + nw], dwm.score_sequence(reverse)[half:half + nw][::-1]


def expected(dwms, thresholds, codes, strand="both", limit=None):
    rows, tested = [], []
    for k, (dwm, t) in enumerate(zip(dwms, thresholds)):
        fwd, rev = module_scores(dwm, codes)
        end = len(fwd) if limit is None else min(limit, len(fwd))
        sides = [(1, fwd), (-1, rev)] if strand == "both" else [(1, fwd)] if strand == "+" else [(-1, rev)]
        n_free = np.convolve(codes > 3, np.ones(int(dwm.length)), "valid")[:end] == 0  # NaN scores count too
        tested.append(int(np.count_nonzero(n_free)) * len(sides))
        for sign, scores in sides:
            rows += [(int(i), k, sign, scores[i]) for i in np.flatnonzero(scores[:end] >= t)]
    rows.sort(key=lambda r: (r[0], r[1], -r[2]))
    return rows, tested


def assert_hits(result, want, tested, codes, widths, offset=0):
    hits, got_tested = result
    assert hits.dtype.names == ("motif", "start", "strand", "score", "window")
    got = list(zip(hits["start"].tolist(), hits["motif"].tolist(), hits["strand"].tolist()))
    assert got == [(r[0] + offset, r[1], r[2]) for r in want]
    assert np.array_equal(hits["score"].view(np.uint64), np.array([r[3] for r in want], np.float64).view(np.uint64))
    for h, r in zip(hits, want):
        window = codes[r[0]:r[0] + widths[r[1]]]
        if r[2] < 0:
            window = window[::-1] ^ 1
        assert h["window"] == bytes(b"ATCG"[c] for c in window)
    assert got_tested.tolist() == tested


def genome(rng, n, sites=(), n_runs=4):
    codes = rng.integers(0, 4, n).astype(np.uint8)
    for site in sites:                       # planted, on either strand
        at = int(rng.integers(0, n - len(site)))
        c = _scan.encode(site)
        codes[at:at + len(site)] = c if rng.random() < 0.5 else (c[::-1] ^ 1)
    for _ in range(n_runs):
        at = int(rng.integers(0, n))
        codes[at:at + int(rng.integers(1, 30))] = rng.choice([4, 9, 255])
    return codes


def quantile(dwm, codes, q):
    fwd, rev = module_scores(dwm, codes)
    both = np.concatenate([fwd, rev])
    return float(np.quantile(both[~np.isnan(both)], q, method="inverted_cdf"))


@pytest.mark.parametrize("L", [1, 2, 3, 5, 8, 10, 13, 17, 20, 26])
@pytest.mark.parametrize("strand", ["+", "-", "both"])
def test_hits_equal_module_scores(level, L, strand):
    rng = np.random.default_rng(100 * L + len(strand))
    sites = random_sites(rng, L)
    dwms = [Motif.from_sites(sites).dwm, trained_background(rng, L)]
    codes = genome(rng, 6000, sites[:20])
    thresholds = [quantile(dwms[0], codes, 0.995), quantile(dwms[1], codes, 0.99)]
    want, tested = expected(dwms, thresholds, codes, strand)
    assert len(want) > 5
    assert_hits(_scan.Scanner(dwms, thresholds, strand, model="dwm").scan(codes), want, tested, codes, [L, L])


@pytest.mark.parametrize("widths", [(4, 11, 19), (20, 6)])
def test_many_models_chunk_edges_and_offsets(level, widths):
    rng = np.random.default_rng(sum(widths))
    site_sets = [random_sites(rng, L) for L in widths]
    dwms = [Motif.from_sites(sites).dwm for sites in site_sets]
    codes = genome(rng, 20_000, [site for sites in site_sets for site in sites[:10]], n_runs=12)
    thresholds = [quantile(d, codes, 0.999) for d in dwms]
    scanner = _scan.Scanner(dwms, thresholds, model="dwm")
    for lo, hi, limit in [(0, 20_000, None), (8190, 8300, 50), (100, 8300, 8192 - 100), (19_990, 20_000, None)]:
        part = codes[lo:hi]
        want, tested = expected(dwms, thresholds, part, limit=limit)
        assert_hits(scanner.scan(part, limit, offset=lo), want, tested, part, list(widths), offset=lo)


def test_soft_masked_text_scans_as_upper_case():
    rng = np.random.default_rng(3)
    sites = random_sites(rng, 12)
    dwm = Motif.from_sites(sites).dwm
    text = "".join(rng.choice(list("ACGTN"), 5000, p=[0.24, 0.24, 0.24, 0.24, 0.04])) + sites[0] + "acgt" * 30
    masked = "".join(c.lower() if i % 7 < 3 else c for i, c in enumerate(text))
    scanner = _scan.Scanner([dwm], [quantile(dwm, _scan.encode(text), 0.99)], model="dwm")
    upper, lower = scanner.scan(_scan.encode(text)), scanner.scan(_scan.encode(masked))
    assert upper[0].tobytes() == lower[0].tobytes() and len(upper[0]) > 0


@pytest.mark.parametrize("spoil", ["ninf", "huge", "nan"])
def test_models_the_bound_cannot_serve_are_scored_in_full(level, spoil):
    rng = np.random.default_rng(5)
    dwm = Motif.from_sites(random_sites(rng, 7)).dwm
    value = {"ninf": -np.inf, "huge": -3000.0, "nan": np.nan}[spoil]
    dwm.bias_dwm_log = dwm.bias_dwm_log.copy()
    dwm.bias_dwm_log[0, 1, 2, 4] = value
    codes = genome(rng, 3000)
    for t in (-np.inf, quantile(dwm, codes, 0.9) if spoil != "nan" else 0.0):
        want, tested = expected([dwm], [t], codes)
        assert_hits(_scan.Scanner([dwm], [t], model="dwm").scan(codes), want, tested, codes, [7])


def test_thresholds_at_a_hit_score_and_beyond(level):
    rng = np.random.default_rng(8)
    sites = random_sites(rng, 9)
    dwm = Motif.from_sites(sites).dwm
    codes = genome(rng, 4000, sites[:5])
    fwd, rev = module_scores(dwm, codes)
    top = float(np.nanmax(np.concatenate([fwd, rev])))
    for t in (top, np.nextafter(top, np.inf), np.inf, -np.inf):
        want, tested = expected([dwm], [t], codes)
        assert_hits(_scan.Scanner([dwm], [t], model="dwm").scan(codes), want, tested, codes, [9])
    assert len(expected([dwm], [top], codes)[0]) >= 1


def test_threads_share_one_scanner():
    rng = np.random.default_rng(9)
    sites = random_sites(rng, 15)
    dwm = Motif.from_sites(sites).dwm
    chunks = [genome(rng, 30_000, sites[:8]) for _ in range(4)]
    scanner = _scan.Scanner([dwm], [quantile(dwm, chunks[0], 0.999)], model="dwm")
    alone = [scanner.scan(c)[0].tobytes() for c in chunks]
    got = [None] * 4

    def run(i):
        got[i] = scanner.scan(chunks[i])[0].tobytes()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == alone


@pytest.mark.parametrize("args, exc, message", [
    (([object()], [0.0]), AttributeError, "length"),
    (([s.DiNucleotideMatrix(3)], [0.0]), AttributeError, "bias_pwm_log"),
    (([s.DiNucleotideMatrix(0)], [0.0]), ValueError, "width 0"),
    (([], [], "both", "hmm"), ValueError, "model must be 'pwm' or 'dwm'"),
])
def test_refuses_what_it_cannot_scan(args, exc, message):
    with pytest.raises(exc, match=message):
        _scan.Scanner(*args, model="dwm") if len(args) == 2 else _scan.Scanner(*args)


def test_refuses_log_matrices_too_small_for_the_width():
    m = s.DiNucleotideMatrix(4)
    m.prepare_mat()
    m.bias_dwm_log = m.bias_dwm_log[:, :, :3, :]
    with pytest.raises(ValueError, match="bias_dwm_log is too small"):
        _scan.Scanner([m], [0.0], model="dwm")


# ---------------------------------------------------------------- statistics


def every_word(L):
    words = np.array(np.meshgrid(*[np.arange(4)] * L, indexing="ij")).reshape(L, -1).T
    laid = np.full((len(words), L + 1), 4, np.int64)
    laid[:, :L] = words
    return words, laid.ravel()


@pytest.mark.parametrize("L", [1, 2, 4, 6])
def test_exact_tails_equal_brute_force(L):
    rng = np.random.default_rng(L)
    bg = np.array([0.3, 0.3, 0.15, 0.25])        # A, C, G, T
    motif = Motif.from_sites(random_sites(rng, L), background=bg)
    words, laid = every_word(L)
    scores = motif.dwm.score_sequence(laid)[L // 2::L + 1]
    probs = bg[[0, 3, 1, 2]][words].prod(axis=1)
    queries = np.concatenate([np.sort(scores)[::max(1, len(scores) // 30)], [scores.max(), np.inf, -np.inf]])
    got = motif.dwm_pvalue(queries)
    want = [probs[scores >= q].sum() for q in queries]
    np.testing.assert_allclose(got.value, want, rtol=1e-12, atol=0)
    assert got.low is got.value or np.array_equal(got.low, got.value)
    assert got.n == 4 ** L
    for p in (1e-3, 0.05, 0.5):
        t = motif.dwm_threshold(p).value
        reachable = [x for x in np.unique(scores) if probs[scores >= x].sum() <= p]
        assert t == (min(reachable) if reachable else np.inf)


def test_exact_agrees_with_sampling_at_width_twelve():
    rng = np.random.default_rng(12)
    motif = Motif.from_sites(random_sites(rng, 12))
    t = motif.dwm_threshold(1e-3)
    assert t.low == t.value == t.high and t.n == 4 ** 12
    sampled = motif.dwm_pvalue(t.value, exact=False)
    assert sampled.low <= motif.dwm_pvalue(t.value).value <= sampled.high


def test_sampled_intervals_cover_the_exact_tail():
    rng = np.random.default_rng(21)
    motif = Motif.from_sites(random_sites(rng, 8))
    queries = [motif.dwm_threshold(p).value for p in (1e-2, 1e-3, 1e-4)]
    truth = motif.dwm_pvalue(queries).value
    seeds = 60
    covered = np.zeros(len(queries))
    for seed in range(seeds):
        est = motif.dwm_pvalue(queries, n=4000, seed=seed, exact=False)
        covered += (est.low <= truth) & (truth <= est.high)
        assert np.all(est.low <= est.value) and np.all(est.value <= est.high)
    # 95% intervals: fewer than 85% of 60 would be a faulty interval, not bad luck
    assert np.all(covered / seeds >= 0.85), covered / seeds


@pytest.mark.parametrize("n", [1, 2, 5])
def test_few_samples_give_p_values_within_one(n):
    motif = Motif.from_sites(random_sites(np.random.default_rng(n), 14))
    est = motif.dwm_pvalue([-1e9, -50.0, 0.0, 50.0], n=n)
    for a in (est.value, est.low, est.high):
        assert np.all((a >= 0) & (a <= 1))
    assert est.value[0] == 1.0 or est.high[0] == 1.0
