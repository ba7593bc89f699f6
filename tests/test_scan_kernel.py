"""morvane._scan: one-byte coding and the fused scanner, hit for hit against
NucleotideMatrix.score_sequence of the forward codes and of their reverse complement."""
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from morvane import _scan
from morvane.utils import sequences as s

STRANDS = {"+": (1,), "-": (-1,), "both": (1, -1)}


# ---------------------------------------------------------------- reference


def module_scores(P, codes):
    """Forward and reverse score of every window start (NaN where the module gives NaN)."""
    L = P.shape[1]
    m = s.NucleotideMatrix(L)
    m.pssm = np.ascontiguousarray(P[:5]) if P.shape[0] >= 5 else np.vstack([P, np.zeros((1, L))])
    c = np.minimum(codes.astype(np.int64), 4)
    rc = np.where(c < 4, c ^ 1, 4)[::-1].copy()
    n, F = len(c), L // 2
    nw = max(n - L + 1, 0)
    fwd = m.score_sequence(c)[F:F + nw]
    rev = m.score_sequence(rc)[F:F + nw][::-1]  # window s of the forward codes is window n-s-L of rc
    return fwd, rev


def expected_hits(mats, thresholds, codes, strand="both", limit=None):
    rows, tested = [], []
    for k, (P, t) in enumerate(zip(mats, thresholds)):
        fwd, rev = module_scores(P, codes)
        end = len(fwd) if limit is None else min(limit, len(fwd))
        tested.append(int(np.count_nonzero(~np.isnan(fwd[:end]))))
        for sign, sc in ((1, fwd), (-1, rev)):
            if sign in STRANDS[strand]:
                for i in np.flatnonzero(sc[:end] >= t):
                    rows.append((int(i), k, sign, sc[i]))
    rows.sort(key=lambda r: r[:2] + (-r[2],))
    return rows, tested


def as_rows(result):
    motif, start, strand, score, _ = result
    return list(zip(start.tolist(), motif.tolist(), strand.tolist(), score.tolist()))


def assert_same(result, want, tested):
    motif, start, strand, score, got_tested = result
    assert (motif.dtype, start.dtype, strand.dtype, score.dtype, got_tested.dtype) == (
        np.int32, np.int64, np.int8, np.float64, np.int64)
    got = as_rows(result)
    assert [r[:3] for r in got] == [r[:3] for r in want]
    # bit for bit, not merely equal
    assert np.array_equal(score.view(np.uint64), np.array([r[3] for r in want], np.float64).view(np.uint64))
    assert got_tested.tolist() == tested


def random_matrix(rng, L, rows=5, scale=3.0):
    P = rng.normal(0.0, scale, (rows, L))
    P[4:] = 1e300  # rows past the bases are never read
    return P


def random_codes(rng, n, n_fraction=0.02, n_runs=3):
    codes = rng.integers(0, 4, n).astype(np.uint8)
    codes[rng.random(n) < n_fraction] = 4
    for _ in range(n_runs):
        a = int(rng.integers(0, n))
        codes[a:a + int(rng.integers(1, 60))] = rng.choice([4, 7, 255])
    return codes


def quantile_threshold(P, codes, q):
    fwd, _ = module_scores(P, codes)
    fwd = fwd[~np.isnan(fwd)]
    return float(np.quantile(fwd, q, method="inverted_cdf")) if len(fwd) else 0.0  # a score some window has


# ---------------------------------------------------------------- encode


@pytest.mark.parametrize("text", [
    "", "ACGTN", "acgtn", "RYKM-.*", "A\u00c4T", "G\u0100c", "t\U0001F600a", "\x00A\xff",
])
def test_encode_matches_nuc_to_num(text):
    got = _scan.encode(text)
    assert got.dtype == np.uint8 and got.shape == (len(text),)
    assert got.tolist() == s.nuc_to_num(text).tolist()


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8)])
def test_encode_bytes_like(kind):
    rng = np.random.default_rng(0)
    raw = rng.integers(0, 256, 200_000, dtype=np.uint8).tobytes()  # long enough to run without the GIL
    got = _scan.encode(kind(raw))
    assert got.tolist() == s.nuc_to_num(raw.decode("latin-1")).tolist()


@pytest.mark.parametrize("bad", [None, 5, ["A"], np.zeros(8, np.uint8)[::2]])
def test_encode_rejects(bad):
    with pytest.raises((TypeError, ValueError, BufferError)):
        _scan.encode(bad)


# ---------------------------------------------------------------- scanning against the module


@pytest.mark.parametrize("L", [1, 2, 3, 4, 5, 6, 7, 9, 10, 12, 13, 17, 20, 24, 30, 31, 40])
@pytest.mark.parametrize("strand", ["+", "-", "both"])
def test_hits_equal_module_scores(L, strand):
    rng = np.random.default_rng(1000 * L + len(strand))
    codes = random_codes(rng, 3000)
    mats = [random_matrix(rng, L), random_matrix(rng, max(1, L - 3), scale=0.5), random_matrix(rng, L + 2)]
    thresholds = [quantile_threshold(P, codes, q) for P, q in zip(mats, (0.99, 0.9, 0.999))]
    want, tested = expected_hits(mats, thresholds, codes, strand)
    assert len(want) > 10
    assert_same(_scan.Scanner(mats, thresholds, strand).scan(codes), want, tested)


@pytest.mark.parametrize("L", [1, 3, 8, 11, 25])
def test_every_window_at_minus_infinity(L):
    rng = np.random.default_rng(L)
    codes = random_codes(rng, 500)
    mats = [random_matrix(rng, L)]
    want, tested = expected_hits(mats, [-np.inf], codes)
    assert len(want) == 2 * tested[0] > 0
    assert_same(_scan.Scanner(mats, [-np.inf]).scan(codes), want, tested)


def test_many_motifs_of_mixed_widths():
    rng = np.random.default_rng(7)
    codes = random_codes(rng, 20_000, n_runs=10)
    mats = [random_matrix(rng, int(L)) for L in rng.integers(1, 41, 60)]
    thresholds = [quantile_threshold(P, codes, 0.995) for P in mats]
    want, tested = expected_hits(mats, thresholds, codes)
    assert_same(_scan.Scanner(mats, thresholds).scan(codes), want, tested)


@pytest.mark.parametrize("matrix", [
    # entries that rule out bounds: log of zero counts, huge magnitudes, exact ties
    lambda rng, L: np.where(rng.random((5, L)) < 0.2, -np.inf, rng.normal(0, 2, (5, L))),
    lambda rng, L: rng.choice([1e300, -1e300, 1.0, 1e-300], (5, L)),
    lambda rng, L: rng.choice([0.1, 0.2, 0.3], (5, L)),
    lambda rng, L: rng.normal(0, 1e-310, (5, L)),
])
@pytest.mark.parametrize("L", [4, 15, 33])
def test_awkward_values(matrix, L):
    rng = np.random.default_rng(L)
    codes = random_codes(rng, 2000)
    mats = [matrix(rng, L)]
    fwd, _ = module_scores(mats[0], codes)
    finite = fwd[np.isfinite(fwd)]
    for t in ([float(np.median(finite))] if len(finite) else []) + [-np.inf, 0.0, float(np.nanmax(fwd))]:
        want, tested = expected_hits(mats, [t], codes)
        assert_same(_scan.Scanner(mats, [t]).scan(codes), want, tested)


@pytest.mark.parametrize("entries", [
    # the best window's score as the threshold: it must stay a hit, one step above it nothing is
    lambda rng, L: rng.normal(0, 2, (5, L)),
    # +inf entries: windows reading them score +inf, a hit even at threshold +inf
    lambda rng, L: np.where(rng.random((5, L)) < 0.1, np.inf, rng.normal(0, 2, (5, L))),
    # -inf entries beside the best ones
    lambda rng, L: np.where(rng.random((5, L)) < 0.3, -np.inf, rng.normal(0, 2, (5, L))),
])
@pytest.mark.parametrize("L", [1, 3, 6])
def test_thresholds_at_the_best_score(entries, L):
    rng = np.random.default_rng(L)
    codes = rng.integers(0, 4, 4000).astype(np.uint8)  # every L-mer, for L <= 5, is present
    P = entries(rng, L)
    fwd, rev = module_scores(P, codes)
    scores = np.concatenate([fwd, rev])
    top = float(np.max(scores[~np.isnan(scores)]))
    for t in (top, np.nextafter(top, np.inf), np.inf):
        want, tested = expected_hits([P], [t], codes)
        assert_same(_scan.Scanner([P], [t]).scan(codes), want, tested)


def weak_column_matrix(rng, L):
    """Log-odds of counts with sharp and nearly flat columns, as in JASPAR profiles."""
    alphas = np.where(rng.random(L) < 0.3, 50.0, 0.3)  # flat columns, sharp columns
    counts = np.array([rng.dirichlet(np.full(4, a)) for a in alphas]).T * 100 + 0.8
    P = np.log2(counts / counts.sum(axis=0) / 0.25)
    return np.vstack([P, np.zeros((1, L))])


@pytest.mark.parametrize("L", [1, 2, 3, 4, 8, 10, 13, 18, 25])
def test_thresholds_on_window_scores_across_blocks_and_chunks(L):
    # windows scored exactly at the threshold, at the edges of the filter's batches (64 windows) and
    # blocks (8192), beside N runs, in chunks that end anywhere
    rng = np.random.default_rng(100 + L)
    codes = random_codes(rng, 3 * 8192 + 100, n_fraction=0.001, n_runs=8)
    for a in (8192 - 2, 2 * 8192 - L, 64 * 5 - 1):
        codes[a:a + 3] = 4
    mats = [weak_column_matrix(rng, L), weak_column_matrix(rng, L + 1)]
    fwd, _ = module_scores(mats[0], codes)
    thresholds = [float(fwd[8192]) if not np.isnan(fwd[8192]) else quantile_threshold(mats[0], codes, 0.999),
                  quantile_threshold(mats[1], codes, 0.9999)]
    want, tested = expected_hits(mats, thresholds, codes)
    assert len(want) > 2
    scanner = _scan.Scanner(mats, thresholds)
    assert_same(scanner.scan(codes), want, tested)
    overlap = L
    for chunk in (8192, 8192 + 7, 5000):
        rows = []
        for a in range(0, len(codes), chunk):
            r = scanner.scan(codes[a:min(a + chunk, len(codes)) + overlap], limit=chunk)
            rows += [(st + a, *rest) for st, *rest in as_rows(r)]
        assert rows == [tuple(w) for w in want]


def test_limit_and_overlapping_chunks_cover_each_window_once():
    rng = np.random.default_rng(3)
    codes = random_codes(rng, 5000, n_runs=6)
    mats = [random_matrix(rng, L) for L in (1, 6, 19, 40)]
    thresholds = [quantile_threshold(P, codes, 0.98) for P in mats]
    scanner = _scan.Scanner(mats, thresholds)
    whole = scanner.scan(codes)
    overlap = max(P.shape[1] for P in mats) - 1
    rows, tested = [], np.zeros(len(mats), np.int64)
    for a in range(0, len(codes), 777):
        b = min(a + 777, len(codes))
        r = scanner.scan(codes[a:b + overlap], limit=b - a)
        rows += [(st + a, *rest) for st, *rest in as_rows(r)]
        tested += r[4]
    assert rows == as_rows(whole)
    assert tested.tolist() == whole[4].tolist()


@pytest.mark.parametrize("limit, keep", [(0, 0), (-5, 0), (10, 10), (10**30, None), (-10**30, 0), (np.int64(3), 3)])
def test_limit_values(limit, keep):
    rng = np.random.default_rng(5)
    codes = random_codes(rng, 300, n_fraction=0, n_runs=0)
    mats = [random_matrix(rng, 5)]
    want, tested = expected_hits(mats, [-np.inf], codes, limit=keep)
    assert_same(_scan.Scanner(mats, [-np.inf]).scan(codes, limit=limit), want, tested)


@pytest.mark.parametrize("n", [0, 1, 4, 5, 6])
def test_short_sequences(n):
    rng = np.random.default_rng(n)
    codes = rng.integers(0, 4, n).astype(np.uint8)
    mats = [random_matrix(rng, 5), random_matrix(rng, 1)]
    want, tested = expected_hits(mats, [-np.inf] * 2, codes)
    assert_same(_scan.Scanner(mats, [-np.inf] * 2).scan(codes), want, tested)


def test_lower_case_scores_as_upper_case():
    rng = np.random.default_rng(11)
    text = "".join(rng.choice(list("ACGT"), 2000))
    mixed = "".join(ch.lower() if rng.random() < 0.5 else ch for ch in text)
    mats = [random_matrix(rng, 12)]
    scanner = _scan.Scanner(mats, [-np.inf])
    assert as_rows(scanner.scan(_scan.encode(mixed))) == as_rows(scanner.scan(_scan.encode(text)))


def test_matrix_layouts_are_copied():
    rng = np.random.default_rng(13)
    codes = random_codes(rng, 1000)
    P = random_matrix(rng, 9)
    t = quantile_threshold(P, codes, 0.9)
    want, tested = expected_hits([P], [t], codes)
    layouts = [np.copy, np.asfortranarray, lambda a: a[:4].copy(), lambda a: a[:, ::-1].copy()[:, ::-1],
               lambda a: np.repeat(a, 2, axis=1)[:, ::2], lambda a: a.tolist()]
    for layout in layouts:
        given = layout(P)
        scanner = _scan.Scanner([given], [t])
        if isinstance(given, np.ndarray):
            given[...] = 0.0  # later changes do not reach the scanner
        assert_same(scanner.scan(codes), want, tested)


@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_property_random_scans(data):
    seed = data.draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    n = data.draw(st.integers(0, 400))
    codes = random_codes(rng, n, n_fraction=data.draw(st.sampled_from([0.0, 0.01, 0.2])), n_runs=2) if n else \
        np.zeros(0, np.uint8)
    widths = data.draw(st.lists(st.integers(1, 40), min_size=1, max_size=4))
    mats = [random_matrix(rng, L, scale=data.draw(st.sampled_from([0.01, 1.0, 100.0]))) for L in widths]
    qs = data.draw(st.lists(st.sampled_from([0.0, 0.5, 0.9, 0.999, 1.0]), min_size=len(mats), max_size=len(mats)))
    thresholds = [quantile_threshold(P, codes, q) for P, q in zip(mats, qs)]
    strand = data.draw(st.sampled_from(list(STRANDS)))
    limit = data.draw(st.one_of(st.none(), st.integers(0, n)))
    want, tested = expected_hits(mats, thresholds, codes, strand, limit)
    assert_same(_scan.Scanner(mats, thresholds, strand).scan(codes, limit), want, tested)


def test_threads_share_one_scanner():
    rng = np.random.default_rng(17)
    codes = random_codes(rng, 200_000)
    mats = [random_matrix(rng, L) for L in (8, 21)]
    thresholds = [quantile_threshold(P, codes[:20_000], 0.999) for P in mats]
    scanner = _scan.Scanner(mats, thresholds)
    want = as_rows(scanner.scan(codes))
    results = [None] * 4

    def work(i):
        results[i] = as_rows(scanner.scan(codes))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == want for r in results) and want


# ---------------------------------------------------------------- bad input


def test_widths():
    assert _scan.Scanner([np.zeros((4, 3)), np.zeros((5, 1))], [0, 1]).widths == (3, 1)
    assert _scan.Scanner([], []).widths == ()


@pytest.mark.parametrize("mats, thresholds, strand, error, text", [
    ([np.zeros((4, 0))], [0.0], "both", ValueError, r"matrices\[0\]"),
    ([np.zeros((4, 2)), np.zeros((3, 2))], [0.0, 0.0], "both", ValueError, r"matrices\[1\]"),
    ([np.zeros(4)], [0.0], "both", ValueError, r"matrices\[0\] must be 2-D"),
    ([np.zeros((4, 2))], [float("nan")], "both", ValueError, r"thresholds\[0\] is NaN"),
    ([np.zeros((4, 2))], [0.0, 1.0], "both", ValueError, "2 thresholds for 1 matrices"),
    ([np.zeros((4, 2))], ["x"], "both", TypeError, None),
    ([np.zeros((4, 2))], [0.0], "forward", ValueError, "strand"),
    ([np.zeros((4, 2))], [0.0], 1, TypeError, None),
    (None, [], "both", TypeError, "matrices"),
    ([np.zeros((4, 2), complex)], [0.0], "both", TypeError, None),
])
def test_scanner_rejects(mats, thresholds, strand, error, text):
    with pytest.raises(error, match=text):
        _scan.Scanner(mats, thresholds, strand)


@pytest.mark.parametrize("codes, error", [
    (np.zeros(10, np.int64), TypeError),
    (np.zeros(10, np.int8), TypeError),
    (np.zeros(10, bool), TypeError),
    (np.zeros((2, 5), np.uint8), ValueError),
    (np.zeros(20, np.uint8)[::2], ValueError),
    ("ACGT", TypeError),
    (None, TypeError),
])
def test_scan_rejects(codes, error):
    scanner = _scan.Scanner([np.zeros((4, 2))], [0.0])
    with pytest.raises(error):
        scanner.scan(codes)
    with pytest.raises(TypeError):
        scanner.scan(np.zeros(10, np.uint8), limit="3")


def test_stub_is_faithful_to_the_module(tmp_path):
    pytest.importorskip("mypy")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "morvane._scan"], cwd=tmp_path,
                         capture_output=True, text=True)
    assert out.returncode == 0 and "Success" in out.stdout, out.stdout + out.stderr
