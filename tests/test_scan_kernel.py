"""morvane._scan: one-byte coding and the fused scanner, hit for hit against
NucleotideMatrix.score_sequence of the forward codes and of their reverse complement."""
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
        tested.append(int(np.count_nonzero(~np.isnan(fwd[:end]))) * len(STRANDS[strand]))
        for sign, sc in ((1, fwd), (-1, rev)):
            if sign in STRANDS[strand]:
                for i in np.flatnonzero(sc[:end] >= t):
                    rows.append((int(i), k, sign, sc[i]))
    rows.sort(key=lambda r: r[:2] + (-r[2],))
    return rows, tested


def as_rows(result):
    hits, _ = result
    return list(zip(hits["start"].tolist(), hits["motif"].tolist(), hits["strand"].tolist(), hits["score"].tolist()))


HIT_FIELDS = [("motif", "i4"), ("start", "i8"), ("strand", "i1"), ("score", "f8")]


def window_bytes(codes, start, strand, width, room):
    """A window as read on its strand, upper case, NUL up to `room` bytes."""
    window = codes[start:start + width]
    if strand < 0:
        window = window[::-1] ^ 1
    return bytes(b"ATCG"[c] for c in window).ljust(room, b"\0")


def assert_same(result, want, tested, codes, mats, offset=0):
    hits, got_tested = result
    room = max(P.shape[1] for P in mats)
    assert hits.dtype == np.dtype(HIT_FIELDS + [("window", f"S{room}")]) and hits.dtype.itemsize == 21 + room
    assert got_tested.dtype == np.int64
    got = as_rows(result)
    assert [r[:3] for r in got] == [(r[0] + offset, *r[1:3]) for r in want]
    # bit for bit, not merely equal
    assert np.array_equal(hits["score"].view(np.uint64),
                          np.array([r[3] for r in want], np.float64).view(np.uint64))
    # the raw bytes of every window, padding included
    windows = hits.tobytes()
    assert [windows[i * hits.itemsize + 21:(i + 1) * hits.itemsize] for i in range(len(hits))] == [
        window_bytes(codes, r[0], r[2], mats[r[1]].shape[1], room) for r in want]
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
    assert_same(_scan.Scanner(mats, thresholds, strand).scan(codes), want, tested, codes, mats)


@pytest.mark.parametrize("L", [1, 3, 8, 11, 25])
def test_every_window_at_minus_infinity(L):
    rng = np.random.default_rng(L)
    codes = random_codes(rng, 500)
    mats = [random_matrix(rng, L)]
    want, tested = expected_hits(mats, [-np.inf], codes)
    assert len(want) == tested[0] > 0
    assert_same(_scan.Scanner(mats, [-np.inf]).scan(codes), want, tested, codes, mats)


def test_many_motifs_of_mixed_widths():
    rng = np.random.default_rng(7)
    codes = random_codes(rng, 20_000, n_runs=10)
    mats = [random_matrix(rng, int(L)) for L in rng.integers(1, 41, 60)]
    thresholds = [quantile_threshold(P, codes, 0.995) for P in mats]
    want, tested = expected_hits(mats, thresholds, codes)
    assert_same(_scan.Scanner(mats, thresholds).scan(codes), want, tested, codes, mats)


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
        assert_same(_scan.Scanner(mats, [t]).scan(codes), want, tested, codes, mats)


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
        assert_same(_scan.Scanner([P], [t]).scan(codes), want, tested, codes, [P])


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
    assert_same(scanner.scan(codes), want, tested, codes, mats)
    overlap = L
    for chunk in (8192, 8192 + 7, 5000):
        rows = []
        for a in range(0, len(codes), chunk):
            rows += as_rows(scanner.scan(codes[a:min(a + chunk, len(codes)) + overlap], limit=chunk, offset=a))
        assert rows == [tuple(w) for w in want]


def test_limit_and_overlapping_chunks_cover_each_window_once():
    rng = np.random.default_rng(3)
    codes = random_codes(rng, 5000, n_runs=6)
    mats = [random_matrix(rng, L) for L in (1, 6, 19, 40)]
    thresholds = [quantile_threshold(P, codes, 0.98) for P in mats]
    scanner = _scan.Scanner(mats, thresholds)
    whole = scanner.scan(codes)
    overlap = max(P.shape[1] for P in mats) - 1
    parts, tested = [], np.zeros(len(mats), np.int64)
    for a in range(0, len(codes), 777):
        b = min(a + 777, len(codes))
        part, counts = scanner.scan(codes[a:b + overlap], b - a, a)
        parts.append(part)
        tested += counts
    assert np.concatenate(parts).tobytes() == whole[0].tobytes()  # windows and all
    assert tested.tolist() == whole[1].tolist()


@pytest.mark.parametrize("limit, keep", [(0, 0), (-5, 0), (10, 10), (10**30, None), (-10**30, 0), (np.int64(3), 3)])
def test_limit_values(limit, keep):
    rng = np.random.default_rng(5)
    codes = random_codes(rng, 300, n_fraction=0, n_runs=0)
    mats = [random_matrix(rng, 5)]
    want, tested = expected_hits(mats, [-np.inf], codes, limit=keep)
    assert_same(_scan.Scanner(mats, [-np.inf]).scan(codes, limit=limit), want, tested, codes, mats)


@pytest.mark.parametrize("n", [0, 1, 4, 5, 6])
def test_short_sequences(n):
    rng = np.random.default_rng(n)
    codes = rng.integers(0, 4, n).astype(np.uint8)
    mats = [random_matrix(rng, 5), random_matrix(rng, 1)]
    want, tested = expected_hits(mats, [-np.inf] * 2, codes)
    assert_same(_scan.Scanner(mats, [-np.inf] * 2).scan(codes), want, tested, codes, mats)


def test_lower_case_scores_as_upper_case():
    rng = np.random.default_rng(11)
    text = "".join(rng.choice(list("ACGT"), 2000))
    mixed = "".join(ch.lower() if rng.random() < 0.5 else ch for ch in text)
    mats = [random_matrix(rng, 12)]
    scanner = _scan.Scanner(mats, [-np.inf])
    hits = scanner.scan(_scan.encode(mixed))[0]
    assert hits.tobytes() == scanner.scan(_scan.encode(text))[0].tobytes()  # windows in upper case too
    assert len(hits) == 2 * (2000 - 11)


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
        assert_same(scanner.scan(codes), want, tested, codes, [P])


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
    assert_same(_scan.Scanner(mats, thresholds, strand).scan(codes, limit), want, tested, codes, mats)


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


def test_hit_arrays_keep_their_records_while_later_scans_reuse_memory():
    """The memory of dead hit arrays serves later scans, larger or smaller: every array's records
    stay its own and are those a new scanner writes."""
    rng = np.random.default_rng(5)
    mats = [random_matrix(rng, 2), random_matrix(rng, 9)]
    thresholds = [-np.inf, 0.0]  # the first: every window a hit, megabytes of records
    scanner = _scan.Scanner(mats, thresholds)
    big, small = random_codes(rng, 150_000), random_codes(rng, 3_000)

    def fresh(codes, offset=0):
        hits, tested = _scan.Scanner(mats, thresholds).scan(codes, offset=offset)
        return hits.tobytes(), tested.tolist()

    want_big = fresh(big)
    for codes, offset in [(big, 0), (small, 7), (big, -3), (big[:90_000], 0), (small, 0), (big[:1], 2)]:
        kept = scanner.scan(big)  # alive while the next scan runs
        hits, tested = scanner.scan(codes, offset=offset)
        assert (hits.tobytes(), tested.tolist()) == fresh(codes, offset)
        assert not np.shares_memory(hits, kept[0])
        assert (kept[0].tobytes(), kept[1].tolist()) == want_big
        del kept, hits


# ---------------------------------------------------------------- instruction-set levels


@pytest.fixture
def widest_level():
    yield
    _scan._force_simd_level(None)


def machine_levels():
    """The instruction-set levels this machine runs, narrowest first (the widest as the module names it)."""
    widest = _scan._force_simd_level(None)
    levels = []
    for name in ("base", "avx2", "avx512"):
        if _scan._force_simd_level(name) != name:
            break
        levels.append(name)
    _scan._force_simd_level(None)
    return levels if widest in levels else levels + [widest]


def genome_like_codes(rng, n):
    """Codes of text as genomes have it: soft-masked (lower-case) stretches, N runs short and long,
    now and then another IUPAC letter."""
    text = rng.choice(np.array(list("ACGT")), n)
    for _ in range(n // 3000):
        a = int(rng.integers(0, n))
        b = a + int(rng.integers(50, 2000))
        text[a:b] = np.char.lower(text[a:b])
    for _ in range(n // 8000):
        a = int(rng.integers(0, n))
        text[a:a + int(rng.choice([1, 3, 40, 2500]))] = "N"
    text[rng.random(n) < 0.0005] = "R"
    return _scan.encode("".join(text))


def test_levels_force_and_report():
    levels = machine_levels()
    assert levels[0] == "base" and len(set(levels)) == len(levels)
    try:
        for name in levels:
            assert _scan._force_simd_level(name) == name == _scan._simd_level()
        with pytest.raises(ValueError, match="sse9"):
            _scan._force_simd_level("sse9")
        assert _scan._simd_level() == levels[-1]  # a refused name changes nothing
        with pytest.raises(TypeError):
            _scan._force_simd_level(2)
    finally:
        assert _scan._force_simd_level(None) == levels[-1] == _scan._simd_level()


@pytest.mark.parametrize("strand", ["both", "+", "-"])
def test_every_level_finds_the_same_hits(strand, widest_level):
    rng = np.random.default_rng(len(strand))
    codes = genome_like_codes(rng, 60_000)
    mats = [weak_column_matrix(rng, L) for L in (6, 8, 11, 15, 19, 21)] + \
        [random_matrix(rng, L) for L in (1, 2, 3, 30)]
    thresholds = [quantile_threshold(P, codes, 0.999) for P in mats]
    scanner = _scan.Scanner(mats, thresholds, strand)
    overlap = max(scanner.widths) - 1

    def scans():
        out = [scanner.scan(codes)]
        for a in range(0, len(codes), 10_007):  # chunks ending anywhere, as morvane.scan reads them
            out.append(scanner.scan(codes[a:a + 10_007 + overlap], 10_007, a))
        return [(hits.tobytes(), tested.tolist()) for hits, tested in out]

    results = {}
    for name in machine_levels():
        _scan._force_simd_level(name)
        results[name] = scans()
    want, tested = expected_hits(mats, thresholds, codes, strand)
    assert len(want) > 500
    hits = np.frombuffer(results["base"][0][0], scanner.dtype)
    assert as_rows((hits, None)) == [tuple(w) for w in want] and results["base"][0][1] == tested
    for name, result in results.items():
        assert result == results["base"], name


# ---------------------------------------------------------------- bad input


def test_widths_and_dtype():
    scanner = _scan.Scanner([np.zeros((4, 3)), np.zeros((5, 1))], [0, 1])
    assert scanner.widths == (3, 1) and scanner.dtype == np.dtype(HIT_FIELDS + [("window", "S3")])
    empty = _scan.Scanner([], [])
    assert empty.widths == () and empty.dtype == np.dtype(HIT_FIELDS + [("window", "S1")])
    hits, tested = empty.scan(np.zeros(5, np.uint8))
    assert hits.dtype == empty.dtype and len(hits) == 0 and tested.shape == (0,)


def test_converting_an_item_cannot_change_what_is_read():
    # __array__ and __float__ run Python code while the arguments are read; emptying the lists
    # there must not make the scanner read past their new ends
    class Emptying:
        def __init__(self, value):
            self.value = value

        def __array__(self, dtype=None, copy=None):
            mats.clear()
            return np.asarray(self.value, dtype=dtype)

        def __float__(self):
            thresholds.clear()
            return 0.5

    mats = [Emptying(np.zeros((4, 2)))] + [np.zeros((4, 3))] * 30
    thresholds = [Emptying(None)] + [1.0] * 30
    scanner = _scan.Scanner(mats, thresholds)
    assert scanner.widths == (2,) + (3,) * 30 and not mats and not thresholds


def test_offsets():
    scanner = _scan.Scanner([np.zeros((4, 2))], [-np.inf], "+")
    codes = np.zeros(10, np.uint8)
    assert scanner.scan(codes, offset=-4)[0]["start"].tolist() == list(range(-4, 5))
    last = 2**63 - 1 - len(codes)
    assert scanner.scan(codes, offset=last)[0]["start"][-1] == last + 8
    for offset in (last + 1, 2**70):
        with pytest.raises(OverflowError):
            scanner.scan(codes, offset=offset)
    with pytest.raises(TypeError):
        scanner.scan(codes, offset="3")


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
